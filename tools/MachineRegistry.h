// The machine the host's commands prepare runs on: its registry, kept in a .reg file, loaded and checked for
// writing before anything changes; and the companion's commands on drives and such a registry.
#pragma once

#include <string>
#include <vector>

// Loads FILE.reg, or a fresh registry bound to it when missing, holding the Session Manager's key and, in a fresh
// one, BootExecute 'autocheck autochk *' as on a fresh Windows. Nothing is saved here.
bool LoadMachineRegistry(const std::string& registryFile, std::string* error);

// Whether FILE.reg can be replaced: written atomically beside itself, so its folder must take a new file. "" when
// it can, else why not.
std::string RegistryNotWritable(const std::string& registryFile);

// spindraxel install|uninstall|schedule|cancel|status|analyze|log --drive C=IMAGE --registry FILE.reg ...: the
// Windows companion's commands, its own code, on drives backed by images and a registry file.
int RunCompanionCommand(const std::string& command, const std::vector<std::string>& args);
