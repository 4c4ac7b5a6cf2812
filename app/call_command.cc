// kadro call: the host's conversation with the plug-in as JSON, for front
// ends that run in another program (a photo editor's script): one request
// on standard input, JSON lines on standard output. The plug-in is driven
// through the host layer only, as kadro export and kadro open-with do.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "SmartCrop/diagnostics.h"
#include "app/commands.h"
#include "app/host_session.h"
#include "app/task_progress.h"
#include "host/codes.h"
#include "host/settings_json.h"

namespace kadro::app {
namespace {

namespace fs = std::filesystem;

constexpr char kCommand[] = "call";
constexpr char kErrorDomain[] = "kadro.call";
constexpr char kOpenWithPrefix[] = "Kadro: ";

// Codes of the program's own errors (the plug-in's come with its domain).
enum CallErrorCode : long {
  kMalformedRequest = 1,
  kNoSuchAction = 2,
  kFileProblem = 3,
  kEventRefused = 4,
};

void printUsage(std::ostream& out) {
  out << R"(Usage: kadro call [--bundle DIR] < REQUEST

Reads one JSON request from standard input, hands it to the Kadro plug-in as
the photo editor would, and answers with JSON lines on standard output (one
JSON object a line). The plug-in's diagnostic lines go to standard error.

Requests ("request" names the kind; "settings" is an export recipe's settings
map, element identifier to value, as the recipe panel's elements hold them;
members it lacks take the plug-in's defaults):

  {"request": "actions", "fileTypes": ["jpeg", "png"]}
      -> {"publishing": [ACTION...], "openWith": [ACTION...]}
      ACTION is {"title", "identifier", "image"}; Open With actions also have
      "preset", the preset's name. "fileTypes" are the exported files' types
      (default jpeg and png); "images": true adds the icons as data URLs.

  {"request": "panel", "settings": {...}}
      -> {"panel": [GROUP...]}   the recipe panel for these settings

  {"request": "edit", "settings": {...}, "events": [{"identifier", "value"}...]}
      -> {"settings": {...}, "refresh": B, "panel": [GROUP...]}
      Each event is checked against the panel of the settings so far, handed
      to the plug-in and written into the map. "refresh" is true when the
      plug-in asked for the panel to be drawn again.

  {"request": "validate", "settings": {...}}
      -> {"valid": true}  or  {"valid": false, "error": ERROR}

  {"request": "publish", "settings": {...}, "files": [PATH...]}
      Checks the settings, then writes cropped copies of the files into the
      settings' destination folder under names not yet taken there.
      -> {"progress": {"done", "count", "message"}}  one line per file written
      -> {"result": {"url", "message", "done", "count", "failed"}}
      "failed" is the file that could not be cropped (null when none).

  {"request": "open-with", "preset": NAME, "files": [PATH...], "moveInto": DIR}
      Crops the files in place with the stored preset NAME. With "moveInto",
      each file is first moved into the folder DIR, under its own name or,
      when that is taken, "name 1.ext", "name 2.ext" and so on.
      -> {"moved": {"from", "to"}}                  one line per file moved
      -> {"progress": {"done", "count", "message"}} one line per file cropped
      -> {"result": {"status", "done", "count", "files", "failed"}}
      "status" is 1 when every file was cropped; "files" the paths worked on.

GROUP and its elements are the JSON form of settings elements:
  {"kind": "group", "identifier", "title", "elements": [ELEMENT...]}
  {"kind": "text" | "checkbox" | "label", "identifier", "title", "value"}
  {"kind": "list", "identifier", "title", "value",
   "options": [{"value", "title", "image"}...]}
  {"kind": "file", "identifier", "title", "value": [URL], "directory": URL,
   "chooseDirectories", "chooseFiles", "multiple"}
A refused request, a failed check or a file that cannot be handled gives
  {"error": {"domain", "code", "description", "reason"}}
with the plug-in's own texts where it refused.

Exit status: 0 when the request was carried out (for a task: every file
done), 1 when the plug-in refused it or a file failed, 2 for a request that
is not understood.

Options:
  --bundle DIR  load this Kadro.plugin bundle instead of the installed one
)";
}

// Standard output is the JSON channel; everything else written to it (the
// plug-in module's diagnostic lines among them) is sent to standard error.
class JsonChannel {
 public:
  JsonChannel() {
    std::cout.flush();
    std::fflush(stdout);
    const int fd = ::dup(STDOUT_FILENO);
    if (fd >= 0) out_ = ::fdopen(fd, "w");
    ::dup2(STDERR_FILENO, STDOUT_FILENO);
    setDiagnosticStream(&std::cerr);
  }
  ~JsonChannel() {
    setDiagnosticStream(nullptr);
    std::cout.flush();
    std::fflush(stdout);
    if (out_) std::fclose(out_);
  }
  JsonChannel(const JsonChannel&) = delete;
  JsonChannel& operator=(const JsonChannel&) = delete;

  void send(const ph::Value& line) {
    if (!out_) return;
    const std::string text = line.dump(-1, ' ', false, ph::Value::error_handler_t::replace) + "\n";
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fflush(out_);
  }

 private:
  std::FILE* out_ = nullptr;
};

ph::Error callError(long code, std::string description, std::string reason = "") {
  return {kErrorDomain, code, std::move(description), std::move(reason)};
}

// Thrown for the program's own refusals; carries the exit status.
struct Refusal {
  ph::Error error;
  int status;
};

[[noreturn]] void malformed(std::string description, std::string reason = "") {
  throw Refusal{callError(kMalformedRequest, std::move(description), std::move(reason)), 2};
}

[[noreturn]] void refuse(const ph::Error& error) { throw Refusal{error, 1}; }

const ph::Value* member(const ph::Value& request, const char* name) {
  const auto it = request.find(name);
  return it == request.end() ? nullptr : &*it;
}

ph::SettingsMap settingsOf(const ph::Value& request) {
  ph::SettingsMap map;
  const ph::Value* settings = member(request, "settings");
  if (!settings || settings->is_null()) return map;
  if (!settings->is_object())
    malformed("\"settings\" is a JSON object: element identifier to value");
  for (const auto& [key, value] : settings->items()) map[key] = value;
  return map;
}

std::vector<std::string> filesOf(const ph::Value& request) {
  const ph::Value* files = member(request, "files");
  if (!files || !files->is_array()) malformed("\"files\" is a list of file paths");
  std::vector<std::string> list;
  for (const ph::Value& f : *files) {
    if (!f.is_string() || f.get<std::string>().empty())
      malformed("\"files\" is a list of file paths");
    list.push_back(f.get<std::string>());
  }
  // The photo editor hands over files it has just exported; say so before
  // anything is written rather than stopping halfway.
  for (const std::string& f : list) {
    std::error_code ec;
    if (!fs::is_regular_file(f, ec))
      refuse(callError(kFileProblem, f + " is no file",
                       ec ? ec.message() : "It does not exist or is not a regular file."));
  }
  return list;
}

ph::Value imageOf(const std::shared_ptr<ph::Image>& image, bool wanted) {
  if (!wanted || !image) return ph::Value();
  return ph::pngDataUrl(*image);
}

class Call {
 public:
  Call(HostSession& session, JsonChannel& out) : session_(session), out_(out) {}

  int run(const ph::Value& request) {
    const ph::Value* kind = member(request, "request");
    if (!kind || !kind->is_string())
      malformed("a request names its kind in \"request\"",
                "One of actions, panel, edit, validate, publish, open-with.");
    const std::string name = kind->get<std::string>();
    if (name == "actions") return actions(request);
    if (name == "panel") return panel(request);
    if (name == "edit") return edit(request);
    if (name == "validate") return validate(request);
    if (name == "publish") return publish(request);
    if (name == "open-with") return openWith(request);
    malformed("unknown request \"" + name + "\"",
              "One of actions, panel, edit, validate, publish, open-with.");
  }

 private:
  ph::PublishingPlugin& publishing() {
    if (!session_.publishing)
      refuse(callError(kNoSuchAction, "the plug-in offers no publishing action"));
    return *session_.publishing;
  }

  std::shared_ptr<ph::PluginAction> publishingAction(unsigned fileCount) {
    ph::Error error;
    const auto actions = publishing().publishingActionsFileCount(fileCount, &error);
    if (!actions) refuse(error);
    if (actions->empty() || !actions->front())
      refuse(callError(kNoSuchAction, "the plug-in offers no publishing action"));
    return actions->front();
  }

  ph::SettingsElementsGroups recipePanel(const std::shared_ptr<ph::PluginAction>& action,
                                         const ph::SettingsMap& settings) {
    ph::Error error;
    auto groups = publishing().settingsForAction(action, settings, &error);
    if (!groups) refuse(error);
    return std::move(*groups);
  }

  static ph::Value panelJson(const ph::SettingsElementsGroups& groups) {
    return ph::settingsGroupsToJson(groups, nullptr);
  }

  int actions(const ph::Value& request) {
    std::vector<std::string> types = {"jpeg", "png"};
    if (const ph::Value* given = member(request, "fileTypes")) {
      if (!given->is_array()) malformed("\"fileTypes\" is a list of file types such as \"jpeg\"");
      types.clear();
      for (const ph::Value& t : *given) {
        if (!t.is_string()) malformed("\"fileTypes\" is a list of file types such as \"jpeg\"");
        types.push_back(t.get<std::string>());
      }
    }
    const ph::Value* images = member(request, "images");
    const bool withImages = images && images->is_boolean() && images->get<bool>();

    ph::Value answer = {{"publishing", ph::Value::array()}, {"openWith", ph::Value::array()}};
    ph::Error error;
    if (session_.publishing) {
      const auto list = session_.publishing->publishingActionsFileCount(0, &error);
      if (!list) refuse(error);
      for (const auto& action : *list) {
        if (!action) continue;
        answer["publishing"].push_back({{"title", action->displayName()},
                                        {"identifier", action->identifier()},
                                        {"image", imageOf(action->image(), withImages)}});
      }
    }
    if (session_.openWith) {
      ph::SettingsMap fileInfo;
      for (const std::string& t : types) fileInfo[t] = 1;
      const auto list = session_.openWith->openWithActionsWithFileInfo(
          fileInfo, ph::kOpenWithPluginRoleOpenWith, &error);
      if (!list) refuse(error);
      for (const auto& action : *list) {
        if (!action) continue;
        ph::Value entry = {{"title", action->displayName()},
                           {"identifier", action->identifier()},
                           {"image", imageOf(action->image(), withImages)}};
        if (action->displayName().starts_with(kOpenWithPrefix))
          entry["preset"] = action->displayName().substr(sizeof kOpenWithPrefix - 1);
        answer["openWith"].push_back(std::move(entry));
      }
    }
    out_.send(answer);
    return 0;
  }

  int panel(const ph::Value& request) {
    const ph::SettingsMap settings = settingsOf(request);
    out_.send({{"panel", panelJson(recipePanel(publishingAction(0), settings))}});
    return 0;
  }

  int edit(const ph::Value& request) {
    ph::SettingsMap settings = settingsOf(request);
    std::vector<ph::Value> events;
    if (const ph::Value* list = member(request, "events")) {
      if (!list->is_array()) malformed("\"events\" is a list of events");
      events.assign(list->begin(), list->end());
    } else if (const ph::Value* one = member(request, "event")) {
      events.push_back(*one);
    } else {
      malformed("an edit carries its \"events\"", "Each is {\"identifier\": I, \"value\": V}.");
    }
    const auto action = publishingAction(0);
    bool refresh = false;
    for (const ph::Value& json : events) {
      ph::SettingsEventFault fault;
      const auto event = ph::parseSettingsEvent(json, &fault);
      if (!event) malformed(fault.message);
      // Elements come and go with earlier edits: each event is checked
      // against the panel as it is at that point.
      const auto item = ph::resolveSettingsEvent(recipePanel(action, settings), *event, &fault);
      if (!item) throw Refusal{callError(kEventRefused, fault.message), 1};
      ph::ActionSettingsCallbackAction callback = ph::kActionSettingsCallbackActionNone;
      ph::Error error;
      if (!publishing().didUpdateValue(*event->value, event->identifier, action, settings,
                                       &callback, &error))
        refuse(error);
      if (callback == ph::kActionSettingsCallbackActionRefresh) refresh = true;
      settings[event->identifier] = *event->value;
    }
    out_.send({{"settings", ph::Value(settings)},
               {"refresh", refresh},
               {"panel", panelJson(recipePanel(action, settings))}});
    return 0;
  }

  int validate(const ph::Value& request) {
    const ph::SettingsMap settings = settingsOf(request);
    ph::Error error;
    if (!publishing().validateSettings(settings, publishingAction(0), &error)) {
      out_.send({{"valid", false}, {"error", ph::errorToJson(error)}});
      return 1;
    }
    out_.send({{"valid", true}});
    return 0;
  }

  ph::ProgressCallback progressLines(unsigned& done) {
    return [this, &done](const ph::PluginTask&, unsigned filesDone, unsigned count,
                         const std::string& message) {
      done = filesDone;
      out_.send({{"progress", {{"done", filesDone}, {"count", count}, {"message", message}}}});
    };
  }

  int publish(const ph::Value& request) {
    const ph::SettingsMap settings = settingsOf(request);
    const std::vector<std::string> files = filesOf(request);
    const auto count = static_cast<unsigned>(files.size());
    const auto action = publishingAction(count);
    ph::Error error;
    if (!publishing().validateSettings(settings, action, &error)) refuse(error);
    const auto tasks = publishing().tasksForAction(action, files, &error);
    if (!tasks) refuse(error);
    if (tasks->empty() || !tasks->front())
      refuse(callError(kNoSuchAction, "the plug-in made no task for the files"));
    ph::FileHandlingPluginTask& task = *tasks->front();
    unsigned done = 0;
    std::shared_ptr<ph::PluginActionPublishResult> result;
    {
      CancelOnInterrupt interrupt(task);
      result = publishing().startPublishingTask(task, &error, progressLines(done));
    }
    if (!result) refuse(error);
    const bool failed = done < count && !task.cancelled();
    out_.send({{"result",
                {{"url", result->url()},
                 {"message", result->message()},
                 {"done", done},
                 {"count", count},
                 {"failed", failed ? ph::Value(files[done]) : ph::Value()}}}});
    return done == count ? 0 : 1;
  }

  // The Open With action of the preset for these files' types.
  std::shared_ptr<ph::PluginAction> openWithAction(const std::string& preset,
                                                   const std::vector<std::string>& files) {
    if (!session_.openWith)
      refuse(callError(kNoSuchAction, "the plug-in offers no Open With actions"));
    ph::SettingsMap fileInfo;
    for (const std::string& f : files) {
      ph::Value& n = fileInfo[fileTypeKey(f)];
      n = n.is_number() ? n.get<unsigned>() + 1 : 1u;
    }
    ph::Error error;
    const auto actions = session_.openWith->openWithActionsWithFileInfo(
        fileInfo, ph::kOpenWithPluginRoleOpenWith, &error);
    if (!actions) refuse(error);
    for (const auto& action : *actions)
      if (action && action->displayName() == kOpenWithPrefix + preset) return action;
    if (actions->empty())
      refuse(callError(kNoSuchAction, "no Open With actions for these files",
                       "Kadro crops JPEG and PNG files, and only with a stored preset."));
    refuse(callError(kNoSuchAction, "no preset named \"" + preset + "\"",
                     "Open the Kadro presets to see or make one."));
  }

  int openWith(const ph::Value& request) {
    const ph::Value* preset = member(request, "preset");
    if (!preset || !preset->is_string()) malformed("\"preset\" names a stored preset");
    std::vector<std::string> files = filesOf(request);
    const auto action = openWithAction(preset->get<std::string>(), files);

    if (const ph::Value* into = member(request, "moveInto")) {
      if (!into->is_string() || into->get<std::string>().empty())
        malformed("\"moveInto\" is a folder path");
      const fs::path folder = into->get<std::string>();
      std::error_code ec;
      if (!fs::is_directory(folder, ec))
        refuse(callError(kFileProblem, folder.string() + " is no folder",
                         ec ? ec.message() : "It does not exist or is not a folder."));
      for (std::string& file : files) {
        // Already there: it stays under its name.
        if (fs::equivalent(fs::path(file).parent_path(), folder, ec)) continue;
        std::string problem;
        const auto moved = moveWithoutReplacing(file, folder, &problem);
        if (!moved)
          refuse(
              callError(kFileProblem, "cannot move " + file + " into " + folder.string(), problem));
        out_.send({{"moved", {{"from", file}, {"to", moved->string()}}}});
        file = moved->string();
      }
    }

    ph::Error error;
    const auto tasks = session_.openWith->tasksForAction(action, files, &error);
    if (!tasks) refuse(error);
    if (tasks->empty() || !tasks->front())
      refuse(callError(kNoSuchAction, "the plug-in made no task for the files"));
    ph::FileHandlingPluginTask& task = *tasks->front();
    unsigned done = 0;
    std::shared_ptr<ph::PluginActionOpenWithResult> result;
    {
      CancelOnInterrupt interrupt(task);
      result = session_.openWith->startOpenWithTask(task, &error, progressLines(done));
    }
    if (!result) refuse(error);
    const auto count = static_cast<unsigned>(files.size());
    const bool failed = result->status() != 1 && done < count && !task.cancelled();
    out_.send({{"result",
                {{"status", result->status()},
                 {"done", done},
                 {"count", count},
                 {"files", files},
                 {"failed", failed ? ph::Value(files[done]) : ph::Value()}}}});
    return result->status() == 1 ? 0 : 1;
  }

  // Moves `file` into `folder` under its own name or the first free
  // "name k.ext"; an existing file is never replaced. Nothing, with the
  // cause, when it cannot.
  static std::optional<fs::path> moveWithoutReplacing(const fs::path& file, const fs::path& folder,
                                                      std::string* problem) {
    const std::string stem = file.stem().string();
    const std::string ext = file.extension().string();
    for (unsigned k = 0; k < 100000; ++k) {
      const fs::path candidate =
          folder / (k == 0 ? file.filename().string() : stem + " " + std::to_string(k) + ext);
      // link() fails rather than replace what is there.
      if (::link(file.c_str(), candidate.c_str()) == 0) {
        if (::unlink(file.c_str()) != 0) {
          *problem = std::strerror(errno);
          ::unlink(candidate.c_str());
          return std::nullopt;
        }
        return candidate;
      }
      if (errno == EEXIST) continue;
      if (errno != EXDEV && errno != EPERM && errno != ENOTSUP) {
        *problem = std::strerror(errno);
        return std::nullopt;
      }
      // Another file system (or one without hard links): copy into a file
      // made afresh, then remove the original.
      const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (fd < 0) {
        if (errno == EEXIST) continue;
        *problem = std::strerror(errno);
        return std::nullopt;
      }
      if (!copyInto(file, fd, problem)) {
        ::close(fd);
        ::unlink(candidate.c_str());
        return std::nullopt;
      }
      if (::close(fd) != 0) {
        *problem = std::strerror(errno);
        ::unlink(candidate.c_str());
        return std::nullopt;
      }
      if (::unlink(file.c_str()) != 0) {
        *problem = std::strerror(errno);
        ::unlink(candidate.c_str());
        return std::nullopt;
      }
      return candidate;
    }
    *problem = "every name is taken";
    return std::nullopt;
  }

  static bool copyInto(const fs::path& file, int fd, std::string* problem) {
    const int in = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
      *problem = std::strerror(errno);
      return false;
    }
    char buffer[1 << 16];
    for (;;) {
      const ssize_t n = ::read(in, buffer, sizeof buffer);
      if (n == 0) break;
      if (n < 0) {
        if (errno == EINTR) continue;
        *problem = std::strerror(errno);
        ::close(in);
        return false;
      }
      for (ssize_t off = 0; off < n;) {
        const ssize_t w = ::write(fd, buffer + off, static_cast<std::size_t>(n - off));
        if (w < 0) {
          if (errno == EINTR) continue;
          *problem = std::strerror(errno);
          ::close(in);
          return false;
        }
        off += w;
      }
    }
    ::close(in);
    if (::fsync(fd) != 0) {
      *problem = std::strerror(errno);
      return false;
    }
    return true;
  }

  HostSession& session_;
  JsonChannel& out_;
};

}  // namespace

int runCall(const Args& input) {
  Args args = input;
  if (wantsHelp(args)) {
    printUsage(std::cout);
    return 0;
  }
  const auto bundle = takeBundleOption(args, kCommand);
  if (!bundle) return 2;
  if (!args.empty()) {
    std::cerr << "kadro call: the request comes on standard input, not as arguments "
                 "(see kadro call --help)\n";
    return 2;
  }
  JsonChannel out;
  const std::string text{std::istreambuf_iterator<char>(std::cin),
                         std::istreambuf_iterator<char>()};
  const ph::Value request = ph::Value::parse(text, nullptr, /*allow_exceptions=*/false);
  try {
    if (request.is_discarded() || !request.is_object())
      malformed("the request is not a JSON object", "See kadro call --help.");
    auto session = openSession(*bundle, kCommand);
    if (!session)
      throw Refusal{callError(kNoSuchAction, "cannot load the plug-in bundle " + *bundle), 1};
    Call call(*session, out);
    return call.run(request);
  } catch (const Refusal& refusal) {
    out.send({{"error", ph::errorToJson(refusal.error)}});
    return refusal.status;
  }
}

}  // namespace kadro::app
