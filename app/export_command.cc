// kadro export: the publishing flow of an export recipe that uses "Export
// with Kadro", as the photo editor runs it: the recipe's settings, their
// check before the export, then the publishing task.
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Plugin/file_url.h"
#include "app/commands.h"
#include "app/host_session.h"
#include "app/task_progress.h"

namespace kadro::app {
namespace {

namespace fs = std::filesystem;

constexpr char kCommand[] = "export";
// The publishing action's identifier is the plug-in identifier and this.
constexpr char kPublishSuffix[] = ".kadro-publish";

void printUsage(std::ostream& out) {
  out << "Usage: kadro export --dest DIR [OPTIONS] FILE...\n\n"
         "Writes cropped copies of the files into DIR, as an export recipe with the\n"
         "\"Export with Kadro\" action does: the recipe's settings come from the options,\n"
         "the plug-in checks them before anything is written, and names already taken\n"
         "in DIR get a number (\"portrait 1.png\"). The files themselves are not changed.\n"
         "Ctrl-C (or SIGTERM, SIGHUP) stops after the file being worked on.\n\n"
         "Options:\n"
         "  --dest DIR             the destination folder (must exist)\n"
         "  --type T               square, circle, hex or none (default square)\n"
         "  --max-size N           the largest side of the result in pixels (default 400)\n"
         "  --border, --no-border  draw a border or not (default: none)\n"
         "  --border-width N       the border's width in pixels (default 15)\n"
         "  --border-color C       white, black or #RRGGBB (default white)\n"
         "                         (--border-width and --border-color turn the border on\n"
         "                         unless --no-border is given)\n"
         "  --bundle DIR           load this Kadro.plugin bundle instead of the installed one\n"
         "  -h, --help             show this help\n\n"
         "Exit status 0 when every file was written, 1 when the settings were refused or\n"
         "a file could not be cropped, 128 + the signal's number after Ctrl-C (130),\n"
         "SIGTERM (143) or SIGHUP (129). Every end says how many files were written.\n";
}

struct Options {
  std::string dest;
  std::optional<std::string> type;
  std::optional<std::string> maxSize;
  std::optional<bool> border;
  std::optional<std::string> borderWidth;
  std::optional<std::string> borderColor;
  std::vector<std::string> files;
};

// Nothing (after saying why) when the arguments make no sense.
std::optional<Options> parse(const Args& args) {
  Options o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const auto operand = [&]() -> std::optional<std::string> {
      if (i + 1 < args.size()) return args[++i];
      std::cerr << "kadro export: " << a << " needs a value\n";
      return std::nullopt;
    };
    std::optional<std::string>* text = nullptr;
    if (a == "--dest" || a == "--type" || a == "--max-size" || a == "--border-width" ||
        a == "--border-color") {
      const auto value = operand();
      if (!value) return std::nullopt;
      if (a == "--dest") {
        o.dest = *value;
        continue;
      }
      text = a == "--type"           ? &o.type
             : a == "--max-size"     ? &o.maxSize
             : a == "--border-width" ? &o.borderWidth
                                     : &o.borderColor;
      *text = *value;
    } else if (a == "--border") {
      o.border = true;
    } else if (a == "--no-border") {
      o.border = false;
    } else if (a == "--") {
      o.files.insert(o.files.end(), args.begin() + static_cast<long>(i) + 1, args.end());
      break;
    } else if (a.size() > 1 && a[0] == '-') {
      std::cerr << "kadro export: unknown option " << a << " (see kadro export --help)\n";
      return std::nullopt;
    } else {
      o.files.push_back(a);
    }
  }
  if (o.dest.empty()) {
    std::cerr << "kadro export: name the destination folder with --dest DIR\n";
    return std::nullopt;
  }
  if (o.files.empty()) {
    std::cerr << "kadro export: name at least one file (see kadro export --help)\n";
    return std::nullopt;
  }
  if (!o.border && (o.borderWidth || o.borderColor)) o.border = true;
  return o;
}

// The recipe's settings as the recipe panel's elements would hand them over:
// each element under plug-in id + "." + plug-in id + "." + name + "-publish".
// `options` gets, for each element, the option that set it as the user typed
// it, so messages never show an element's identifier.
ph::SettingsMap recipeSettings(const Options& o, const std::string& pluginId,
                               const std::string& destUrl,
                               std::map<std::string, std::string>& options) {
  const auto id = [&](const std::string& name) {
    return pluginId + "." + pluginId + "." + name + "-publish";
  };
  ph::SettingsMap map;
  auto set = [&](const std::string& name, ph::Value value, const std::string& option) {
    map[id(name)] = std::move(value);
    options[id(name)] = option;
  };
  set("dest-folder", ph::Value::array({destUrl}), "--dest " + o.dest);
  if (o.type) set("type", *o.type, "--type " + *o.type);
  if (o.maxSize) set("max-size", *o.maxSize, "--max-size " + *o.maxSize);
  if (o.border) set("crop-border-enabled", *o.border, *o.border ? "--border" : "--no-border");
  if (o.borderWidth) set("crop-border-width", *o.borderWidth, "--border-width " + *o.borderWidth);
  if (o.borderColor) {
    const std::string option = "--border-color " + *o.borderColor;
    if (*o.borderColor == "white" || *o.borderColor == "black") {
      set("crop-border-color", *o.borderColor, option);
    } else {  // typed into the Custom Color field
      set("crop-border-color", "custom", option);
      set("crop-border-color-custom", *o.borderColor, option);
    }
  }
  return map;
}

// Why the recipe panel shows no element for an option: the panel leaves out
// the size for "none" and the border's fields without a border.
std::string whyNotOffered(const Options& o, const std::string& option) {
  if (option.starts_with("--max-size") && o.type == "none")
    return option + " does not go with --type none, which keeps the whole picture";
  if (option.starts_with("--border-") && o.border == false)
    return option + " does not go with --no-border";
  return option + " is not a setting of this recipe with the other options given";
}

// Every identifier of the recipe panel, groups included.
void collectIdentifiers(const ph::SettingsElements& elements, std::vector<std::string>& out) {
  for (const auto& e : elements) {
    out.push_back(e->identifier());
    if (const auto group = std::dynamic_pointer_cast<ph::SettingsElementsGroup>(e))
      collectIdentifiers(group->elements(), out);
  }
}

}  // namespace

int runExport(const Args& input) {
  Args args = input;
  if (wantsHelp(args)) {
    printUsage(std::cout);
    return 0;
  }
  const auto bundle = takeBundleOption(args, kCommand);
  if (!bundle) return 2;
  const auto options = parse(args);
  if (!options) return 2;

  std::error_code ec;
  const fs::path dest = fs::absolute(options->dest, ec);
  if (ec || !fs::is_directory(dest, ec)) {
    std::cerr << "kadro export: " << options->dest << " is no folder\n";
    return 1;
  }
  // The photo editor hands over files it has just exported; say so before
  // anything is written rather than stopping halfway.
  for (const std::string& file : options->files) {
    if (!fs::is_regular_file(file, ec)) {
      std::cerr << "kadro export: " << file << " is no file\n";
      return 1;
    }
  }
  // A folder URL ends in "/", as a folder chooser gives it.
  std::string destUrl = fileUrlFromPath(dest.lexically_normal().string());
  if (destUrl.back() != '/') destUrl += '/';

  auto session = openSession(*bundle, kCommand);
  if (!session) return 1;
  if (!session->publishing) {
    std::cerr << "kadro export: the plug-in offers no publishing action\n";
    return 1;
  }
  ph::PublishingPlugin& plugin = *session->publishing;
  const std::vector<std::string>& files = options->files;
  const auto fileCount = static_cast<unsigned>(files.size());

  ph::Error error;
  const auto actions = plugin.publishingActionsFileCount(fileCount, &error);
  if (!actions || actions->empty() || !actions->front()) {
    if (!actions)
      printHostError(kCommand, error);
    else
      std::cerr << "kadro export: the plug-in offers no publishing action\n";
    return 1;
  }
  const std::shared_ptr<ph::PluginAction> action = actions->front();
  const std::string& actionId = action->identifier();
  if (!actionId.ends_with(kPublishSuffix) || actionId.size() == sizeof kPublishSuffix - 1) {
    std::cerr << "kadro export: unexpected publishing action " << actionId << "\n";
    return 1;
  }
  const std::string pluginId = actionId.substr(0, actionId.size() - (sizeof kPublishSuffix - 1));
  std::map<std::string, std::string> optionOf;
  const ph::SettingsMap settings = recipeSettings(*options, pluginId, destUrl, optionOf);

  // The recipe panel, as the editor shows it before an export; every
  // setting handed over must belong to one of its elements.
  const auto panel = plugin.settingsForAction(action, settings, &error);
  if (!panel) {
    printHostError(kCommand, error);
    return 1;
  }
  std::vector<std::string> known;
  for (const auto& group : *panel) {
    known.push_back(group->identifier());
    collectIdentifiers(group->elements(), known);
  }
  for (const auto& [key, value] : settings) {
    if (std::find(known.begin(), known.end(), key) == known.end()) {
      std::cerr << "kadro export: " << whyNotOffered(*options, optionOf[key]) << "\n";
      return 1;
    }
  }

  if (!plugin.validateSettings(settings, action, &error)) {
    printHostError(kCommand, error);
    return 1;
  }
  const auto tasks = plugin.tasksForAction(action, files, &error);
  if (!tasks || tasks->empty() || !tasks->front()) {
    printHostError(kCommand, error);
    return 1;
  }
  ph::FileHandlingPluginTask& task = *tasks->front();
  TaskProgress progress;
  std::shared_ptr<ph::PluginActionPublishResult> result;
  int stopStatus = 0;
  {
    CancelOnInterrupt interrupt(task);
    result = plugin.startPublishingTask(task, &error, progress.callback());
    stopStatus = interrupt.exitStatus();
  }
  progress.finish();
  if (!result) {
    printHostError(kCommand, error);
    return 1;
  }
  std::cout << result->message() << "\n"
            << "folder: " << result->url() << "\n";
  const unsigned done = progress.done();
  if (done == fileCount) return 0;
  if (task.cancelled()) {
    std::cout << "cancelled: " << done << " of " << fileCount
              << " files written, the rest skipped\n";
    return stopStatus;
  }
  std::cerr << "kadro export: could not crop " << files[done] << "; " << done << " of " << fileCount
            << " files written, the rest skipped\n";
  return 1;
}

}  // namespace kadro::app
