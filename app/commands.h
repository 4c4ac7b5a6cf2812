// The kadro program's commands. Each takes the arguments after its name and
// returns the exit status.
#pragma once

#include <string>
#include <vector>

namespace kadro::app {

using Args = std::vector<std::string>;

// True when the arguments ask for the command's help (-h or --help).
bool wantsHelp(const Args& args);

int runCrop(const Args& args);
int runInspect(const Args& args);
int runPresets(const Args& args);
int runActions(const Args& args);
int runOpenWith(const Args& args);
int runExport(const Args& args);
int runPreferences(const Args& args);
int runCall(const Args& args);
int runServe(const Args& args);

}  // namespace kadro::app
