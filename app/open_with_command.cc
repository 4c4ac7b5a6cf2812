// kadro actions and kadro open-with: the Open With flow of an export recipe,
// as the photo editor runs it.
#include <algorithm>
#include <filesystem>
#include <iostream>

#include "app/commands.h"
#include "app/host_session.h"
#include "app/task_progress.h"
#include "host/codes.h"

namespace kadro::app {
namespace {

// The recipe's file info: one entry per file type key with its file count.
ph::SettingsMap fileInfoOf(const std::vector<std::string>& files) {
  ph::SettingsMap info;
  for (const std::string& f : files) {
    ph::Value& count = info[fileTypeKey(f)];
    count = count.is_number() ? count.get<unsigned>() + 1 : 1u;
  }
  return info;
}

// The Open With actions for the files' types; nothing after a host error.
std::optional<ph::PluginActions> openWithActions(HostSession& session,
                                                 const std::vector<std::string>& files,
                                                 const std::string& command) {
  if (!session.openWith) {
    std::cerr << "kadro " << command << ": the plug-in offers no Open With actions\n";
    return std::nullopt;
  }
  ph::Error error;
  auto actions = session.openWith->openWithActionsWithFileInfo(
      fileInfoOf(files), ph::kOpenWithPluginRoleOpenWith, &error);
  if (!actions) printHostError(command, error);
  return actions;
}

std::string typesOf(const std::vector<std::string>& files) {
  std::string text;
  for (const auto& [key, count] : fileInfoOf(files))
    text += (text.empty() ? "" : ", ") + (key.empty() ? std::string("(no extension)") : key);
  return text;
}

}  // namespace

int runActions(const Args& input) {
  Args args = input;
  if (wantsHelp(args)) {
    std::cout << "Usage: kadro actions [--bundle DIR] [--icons DIR] FILE...\n\n"
                 "Lists the Open With actions the Kadro plug-in offers for an export of\n"
                 "these files' types (JPEG or PNG): one line per stored preset with its\n"
                 "display name and identifier.\n\n"
                 "Options:\n"
                 "  --bundle DIR  load this Kadro.plugin bundle instead of the installed one\n"
                 "  --icons DIR   also write each action's icon as DIR/<identifier>.png\n";
    return 0;
  }
  const auto bundle = takeBundleOption(args, "actions");
  if (!bundle) return 2;
  std::optional<std::string> iconDir;
  std::vector<std::string> files;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--icons") {
      if (i + 1 == args.size()) {
        std::cerr << "kadro actions: --icons needs a folder\n";
        return 2;
      }
      iconDir = args[++i];
    } else if (args[i].rfind("--", 0) == 0) {
      std::cerr << "kadro actions: unknown option " << args[i] << "\n";
      return 2;
    } else {
      files.push_back(args[i]);
    }
  }
  if (files.empty()) {
    std::cerr << "kadro actions: name at least one file (see kadro actions --help)\n";
    return 2;
  }
  auto session = openSession(*bundle, "actions");
  if (!session) return 1;
  const auto actions = openWithActions(*session, files, "actions");
  if (!actions) return 1;
  if (actions->empty()) {
    std::cerr << "kadro actions: no Open With actions for files of type " << typesOf(files)
              << " (Kadro crops JPEG and PNG files)\n";
    return 1;
  }
  if (iconDir) {
    std::error_code ec;
    std::filesystem::create_directories(*iconDir, ec);
  }
  int status = 0;
  for (const auto& action : *actions) {
    std::cout << action->displayName() << "\t" << action->identifier() << "\n";
    if (!iconDir) continue;
    const std::string path = (std::filesystem::path(*iconDir) / (action->identifier() + ".png"));
    if (!action->image() || !action->image()->savePng(path)) {
      std::cerr << "kadro actions: cannot write the icon " << path << "\n";
      status = 1;
    }
  }
  return status;
}

int runOpenWith(const Args& input) {
  Args args = input;
  if (wantsHelp(args)) {
    std::cout << "Usage: kadro open-with [--bundle DIR] [--] PRESET FILE...\n\n"
                 "Crops the files in place with the stored preset PRESET, as the photo\n"
                 "editor's \"Open With\" of an export recipe does: the files are replaced by\n"
                 "their cropped versions, keeping their resolution. A file changed or removed\n"
                 "by another program while it is cropped is left as it is. Ctrl-C (or\n"
                 "SIGTERM, SIGHUP) stops after the file being worked on; the rest stay\n"
                 "untouched. After --, names that begin with - are files (or the preset).\n\n"
                 "Exit status 0 when every file was done, 1 when a file could not be cropped,\n"
                 "128 + the signal's number after Ctrl-C (130), SIGTERM (143) or SIGHUP (129).\n"
                 "Every end says how many files were written.\n";
    return 0;
  }
  const auto bundle = takeBundleOption(args, "open-with");
  if (!bundle) return 2;
  std::vector<std::string> operands;
  bool optionsDone = false;
  for (const std::string& a : args) {
    if (!optionsDone && a == "--") {
      optionsDone = true;
    } else if (!optionsDone && a.size() > 1 && a[0] == '-') {
      std::cerr << "kadro open-with: unknown option " << a << " (see kadro open-with --help)\n";
      return 2;
    } else {
      operands.push_back(a);
    }
  }
  if (operands.size() < 2) {
    std::cerr << "kadro open-with: name a preset and at least one file (see kadro open-with "
                 "--help)\n";
    return 2;
  }
  const std::string preset = operands[0];
  const std::vector<std::string> files(operands.begin() + 1, operands.end());
  auto session = openSession(*bundle, "open-with");
  if (!session) return 1;
  const auto actions = openWithActions(*session, files, "open-with");
  if (!actions) return 1;
  if (actions->empty()) {
    std::cerr << "kadro open-with: no Open With actions for files of type " << typesOf(files)
              << " (Kadro crops JPEG and PNG files)\n";
    return 1;
  }
  std::shared_ptr<ph::PluginAction> chosen;
  for (const auto& action : *actions)
    if (action->displayName() == "Kadro: " + preset) chosen = action;
  if (!chosen) {
    std::cerr << "kadro open-with: no preset named \"" << preset << "\"; the presets are:\n";
    for (const auto& action : *actions)
      std::cerr << "  " << action->displayName().substr(7) << "\n";
    return 1;
  }

  ph::Error error;
  const auto tasks = session->openWith->tasksForAction(chosen, files, &error);
  if (!tasks || tasks->empty()) {
    printHostError("open-with", error);
    return 1;
  }
  ph::FileHandlingPluginTask& task = *tasks->front();
  TaskProgress progress;
  std::shared_ptr<ph::PluginActionOpenWithResult> result;
  int stopStatus = 0;
  {
    CancelOnInterrupt interrupt(task);
    result = session->openWith->startOpenWithTask(task, &error, progress.callback());
    stopStatus = interrupt.exitStatus();
  }
  progress.finish();
  if (!result) {
    printHostError("open-with", error);
    return 1;
  }
  const std::size_t n = files.size();
  const unsigned done = progress.done();
  if (result->status() == 1) {
    std::cout << "cropped " << n << " of " << n << " files in place with \"" << preset << "\"\n";
    return 0;
  }
  if (task.cancelled()) {
    std::cout << "cancelled: " << done << " of " << n << " files written, the rest untouched\n";
    return stopStatus;
  }
  std::cerr << "kadro open-with: could not crop " << files[std::min<std::size_t>(done, n - 1)]
            << "; " << done << " of " << n << " files written, the rest untouched\n";
  return 1;
}

}  // namespace kadro::app
