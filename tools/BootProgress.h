// The status line of `spindraxel boot` on a terminal: the file the boot screen last named and how many moves the
// program has asked for since, redrawn in place on standard error and cleared before the boot screen writes and
// when the program ends. Nothing of it reaches standard output, and nothing at all is shown when standard error
// is not a terminal.
#pragma once

// Starts the status line when standard error is a terminal; call once, just before the program starts.
void StartBootProgress();
