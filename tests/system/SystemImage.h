// The machine every system test runs on: one NTFS image for the whole test binary, mounted as drive C:, with the
// process-wide logger writing to \??\C:\Logs\. Tests read the log back to check the exact lines the system wrote.
#pragma once

#include <string>

// Writes `bytes` to the native `path` (created or replaced) through the native calls.
void WriteNativeFile(const std::u16string& path, const std::string& bytes);

// The whole content of a file through the native calls; empty when it cannot be opened.
std::string ReadNativeFile(const std::u16string& path);

// The process log's text once it holds `marker` (the writer is asynchronous); fails the test after ten seconds.
std::string LogTextWith(const std::string& marker);
std::string FileTextWith(const std::u16string& path, const std::string& marker);

// The whole line (with its line end) of `text` that holds `marker`.
std::string LineWith(const std::string& text, const std::string& marker);

// Logs a unique marker line and returns the log text from just after the previous call's marker up to it: what
// the system logged in between.
std::string LoggedSinceLastMark();

// Adds a fault rule (as --fault takes it) that only calls made on this thread count toward, so the logger's writer
// and other threads keep working: "NtCreateEvent#1=0xC000009A" fails this thread's next NtCreateEvent, "#37" its
// 37th from now.
void FailNextCallOnThisThread(const char* text);
