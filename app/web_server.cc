#include "app/web_server.h"

#include <fcntl.h>
#include <httplib.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>
#include <vips/vips8>

#include "Plugin/file_url.h"
#include "app/inspect_report.h"
#include "host/codes.h"
#include "host/settings_json.h"

namespace kadro::app {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

constexpr char kPublishSuffix[] = ".kadro-publish";
constexpr int kThumbnailSize = 480;

// One holder at a time, like a mutex, but a task's worker thread may give
// back what a request thread took.
class HostGate {
 public:
  void lock() {
    std::unique_lock guard(mutex_);
    free_.wait(guard, [this] { return !held_; });
    held_ = true;
  }
  void unlock() {
    {
      std::lock_guard guard(mutex_);
      held_ = false;
    }
    free_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable free_;
  bool held_ = false;
};

struct Photo {
  int id = 0;
  fs::path path;
  std::string name;
  bool uploaded = false;
};

// One Open With or publishing task and what the pages see of it.
struct TaskRun {
  int id = 0;
  std::string kind;  // "export" or "open-with"
  std::shared_ptr<ph::FileHandlingPluginTask> task;
  std::vector<int> photos;
  unsigned done = 0;
  unsigned count = 0;
  std::string text;
  bool finished = false;
  std::string message;           // the outcome, once finished
  bool failed = false;           // a file could not be done
  std::string folder;            // where an export writes
  json results = json::array();  // {"photo": id, "path": output}
  std::uint64_t version = 0;     // grows with every change
};

std::string randomToken() {
  unsigned char bytes[24];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n > 0) got += static_cast<std::size_t>(n);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string token;
  for (unsigned char b : bytes) token += {kHex[b >> 4], kHex[b & 15]};
  return token;
}

// Same length and contents, in time that does not depend on where they differ.
bool sameSecret(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool isPhotoName(const fs::path& path) {
  const std::string ext = lower(path.extension().string());
  return ext == ".png" || ext == ".jpg" || ext == ".jpeg";
}

void sendJson(httplib::Response& res, int status, const json& body) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_content(body.dump(), "application/json");
}

void fail(httplib::Response& res, int status, const std::string& message) {
  sendJson(res, status, {{"message", message}});
}

std::optional<json> parseBody(const httplib::Request& req, httplib::Response& res) {
  json body = json::parse(req.body, nullptr, /*allow_exceptions=*/false);
  if (body.is_discarded()) {
    fail(res, 400, "the request body is no JSON");
    return std::nullopt;
  }
  return body;
}

// `path` made absolute and free of symbolic links and "..", when it exists.
std::optional<fs::path> realPath(const fs::path& path) {
  std::error_code ec;
  fs::path result = fs::canonical(path, ec);
  if (ec) return std::nullopt;
  return result;
}

bool isInside(const fs::path& path, const fs::path& folder) {
  const auto rel = path.lexically_relative(folder);
  return !rel.empty() && *rel.begin() != ".." && !rel.is_absolute();
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::string contentType(const fs::path& path) {
  const std::string ext = path.extension().string();
  if (ext == ".html") return "text/html; charset=utf-8";
  if (ext == ".css") return "text/css; charset=utf-8";
  if (ext == ".js") return "text/javascript; charset=utf-8";
  if (ext == ".svg") return "image/svg+xml";
  if (ext == ".png") return "image/png";
  return "application/octet-stream";
}

// A file name without folders or characters that would confuse a folder
// listing; empty when nothing usable is left.
std::string safeFileName(const std::string& name) {
  std::string base = fs::path(name).filename().string();
  std::string out;
  for (char c : base)
    if (static_cast<unsigned char>(c) >= 0x20 && c != '/' && c != '\\' && c != 0x7f) out += c;
  if (out == "." || out == "..") return "";
  return out;
}

json errorJson(const ph::Error& error) { return ph::errorToJson(error); }

// The element an error of the plug-in is about: the one whose title its
// description names ("Invalid value for Max Size.").
std::string elementNamedIn(const ph::SettingsElementsGroups& groups, const std::string& text) {
  std::string found;
  std::size_t longest = 0;
  std::function<void(const ph::SettingsElements&)> visit = [&](const ph::SettingsElements& list) {
    for (const auto& e : list) {
      if (const auto g = std::dynamic_pointer_cast<ph::SettingsElementsGroup>(e)) {
        visit(g->elements());
      } else if (!e->title().empty() && e->title().size() > longest &&
                 text.find(" " + e->title()) != std::string::npos) {
        found = e->identifier();
        longest = e->title().size();
      }
    }
  };
  for (const auto& g : groups) visit(g->elements());
  return found;
}

}  // namespace

struct WebServer::State {
  httplib::Server http;
  HostSession session;
  WebServerOptions options;
  int port = 0;
  std::string token;
  std::string cookieName;
  fs::path webRoot;
  fs::path uploadDir;

  // One host operation at a time: the plug-in guards none of its state.
  HostGate host;
  // Photos, chosen folders and the task, for requests that do not call the
  // plug-in.
  std::mutex data;
  std::condition_variable changed;
  std::atomic<bool> stopping{false};

  // The preference panels: a revision that grows with every change, so a
  // window that has not seen the latest change cannot save over it.
  std::uint64_t revision = 1;
  bool dirty = false;

  // The export recipe: its action and settings map, as the editor keeps them.
  std::shared_ptr<ph::PluginAction> publishAction;
  ph::SettingsMap recipe;

  std::set<fs::path> chosenFolders;
  std::vector<Photo> photos;
  int nextPhoto = 1;
  std::shared_ptr<TaskRun> task;
  int nextTask = 1;
  std::thread worker;

  // ---- access checks ----

  bool hostAllowed(const httplib::Request& req) const {
    const std::string host = req.get_header_value("Host");
    const std::string p = std::to_string(port);
    return host == "127.0.0.1:" + p || host == "localhost:" + p;
  }

  bool originAllowed(const httplib::Request& req) const {
    if (req.get_header_value("Sec-Fetch-Site") == "cross-site") return false;
    if (!req.has_header("Origin")) return true;
    const std::string origin = req.get_header_value("Origin");
    const std::string p = std::to_string(port);
    return origin == "http://127.0.0.1:" + p || origin == "http://localhost:" + p;
  }

  bool hasToken(const httplib::Request& req) const {
    if (req.has_header("X-Kadro-Token"))
      return sameSecret(req.get_header_value("X-Kadro-Token"), token);
    const std::string cookies = req.get_header_value("Cookie");
    std::size_t start = 0;
    while (start < cookies.size()) {
      std::size_t end = cookies.find(';', start);
      if (end == std::string::npos) end = cookies.size();
      std::string pair = cookies.substr(start, end - start);
      pair.erase(0, pair.find_first_not_of(' '));
      const auto eq = pair.find('=');
      if (eq != std::string::npos && pair.substr(0, eq) == cookieName &&
          sameSecret(pair.substr(eq + 1), token))
        return true;
      start = end + 1;
    }
    return false;
  }

  httplib::Server::HandlerResponse screen(const httplib::Request& req, httplib::Response& res) {
    using R = httplib::Server::HandlerResponse;
    if (!hostAllowed(req)) {
      fail(res, 403, "this server answers only http://127.0.0.1:" + std::to_string(port) + "/");
      return R::Handled;
    }
    if (!originAllowed(req)) {
      fail(res, 403, "requests from other sites are refused");
      return R::Handled;
    }
    // The page itself holds nothing: it reads the token from the address and
    // trades it for the cookie.
    if (req.method == "GET" && (req.path == "/" || req.path == "/index.html")) return R::Unhandled;
    if (!hasToken(req)) {
      fail(res, 401,
           "open the address that kadro serve printed: it carries the token this server "
           "asks for");
      return R::Handled;
    }
    return R::Unhandled;
  }

  std::string uploadTooLarge() const {
    return "a photo may have at most " + std::to_string(options.uploadLimit >> 20) +
           " MB; pick it from the disk instead";
  }

  // Holds the host for one operation; nothing (and a 503) while a task runs,
  // as the task holds it to its end.
  std::optional<std::unique_lock<HostGate>> lockHost(httplib::Response& res) {
    {
      std::lock_guard guard(data);
      if (task && !task->finished) {
        fail(res, 503, "Kadro is busy with a task: wait for it to end or cancel it");
        return std::nullopt;
      }
    }
    return std::unique_lock(host);
  }

  // ---- preferences ----

  std::optional<ph::SettingsElementsGroups> panels(ph::Error* error) {
    if (!session.settings) {
      error->localizedDescription = "The plug-in has no preference panels.";
      return std::nullopt;
    }
    return session.settings->settingsWithError(error);
  }

  json preferencesJson(const ph::SettingsElementsGroups& groups) const {
    return {{"revision", revision},
            {"dirty", dirty},
            {"panels", ph::settingsGroupsToJson(groups, ph::pngDataUrl)}};
  }

  void getPreferences(httplib::Response& res) {
    auto lock = lockHost(res);
    if (!lock) return;
    ph::Error error;
    const auto groups = panels(&error);
    if (!groups) return sendJson(res, 500, {{"error", errorJson(error)}});
    sendJson(res, 200, preferencesJson(*groups));
  }

  void preferencesEvent(const httplib::Request& req, httplib::Response& res) {
    const auto body = parseBody(req, res);
    if (!body) return;
    ph::SettingsEventFault fault;
    const auto event = ph::parseSettingsEvent(*body, &fault);
    if (!event) return fail(res, 400, fault.message);
    auto lock = lockHost(res);
    if (!lock) return;
    ph::Error error;
    const auto groups = panels(&error);
    if (!groups) return sendJson(res, 500, {{"error", errorJson(error)}});
    // A window that missed another window's change would edit or save what
    // it has not seen.
    if (const auto seen = body->find("revision"); seen != body->end()) {
      if (!seen->is_number_unsigned()) return fail(res, 400, "\"revision\" is a number");
      if (seen->get<std::uint64_t>() != revision) {
        json answer = preferencesJson(*groups);
        answer["message"] =
            "Another window changed the presets. Look at them again and repeat the change.";
        return sendJson(res, 409, answer);
      }
    }
    const auto item = ph::resolveSettingsEvent(*groups, *event, &fault);
    if (!item)
      return fail(res, fault.kind == ph::SettingsEventFault::Kind::unknownIdentifier ? 404 : 422,
                  fault.message);
    bool refresh = false;
    const bool ok =
        ph::sendSettingsEvent(*session.settings, *item, *event, &error,
                              [&](ph::SettingsCallbackAction action, std::optional<ph::Value>) {
                                if (action == ph::kSettingsCallbackActionRefresh) refresh = true;
                              });
    if (ok) {
      ++revision;
      // The working copy differs from the stored preset after an edit; a
      // press stores it and choosing a preset starts afresh.
      const bool chosePreset = item->kind() == ph::SettingsElementKind::list &&
                               body->value("identifier", "").ends_with(".preset-list");
      dirty = !event->isPress() && !chosePreset;
    }
    const auto after = panels(&error);
    if (!after) return sendJson(res, 500, {{"error", errorJson(error)}});
    json answer = preferencesJson(*after);
    answer["refresh"] = refresh;
    if (!ok) {
      answer["error"] = errorJson(error);
      answer["identifier"] = event->identifier;
      return sendJson(res, 422, answer);
    }
    sendJson(res, 200, answer);
  }

  // ---- the export recipe ----

  // The publishing action, asked for once.
  bool ensurePublishAction(ph::Error* error) {
    if (publishAction) return true;
    if (!session.publishing) {
      error->localizedDescription = "The plug-in offers no publishing action.";
      return false;
    }
    const auto actions = session.publishing->publishingActionsFileCount(1, error);
    if (!actions || actions->empty() || !actions->front()) {
      if (actions) error->localizedDescription = "The plug-in offers no publishing action.";
      return false;
    }
    publishAction = actions->front();
    return true;
  }

  std::optional<ph::SettingsElementsGroups> recipePanels(ph::Error* error) {
    if (!ensurePublishAction(error)) return std::nullopt;
    return session.publishing->settingsForAction(publishAction, recipe, error);
  }

  json exportJson(const ph::SettingsElementsGroups& groups) const {
    json panels = ph::settingsGroupsToJson(groups, ph::pngDataUrl);
    // The panel is built leniently (an unreadable number reads as its
    // default), but the recipe keeps what was typed and the check before
    // the export refuses it: the field shows what the recipe holds.
    for (json& group : panels)
      for (json& element : group["elements"])
        if (element["kind"] == "text")
          if (const auto kept = recipe.find(element["identifier"]);
              kept != recipe.end() && kept->second.is_string())
            element["value"] = kept->second;
    return {{"action", publishAction->displayName()}, {"panels", panels}};
  }

  void getExport(httplib::Response& res) {
    auto lock = lockHost(res);
    if (!lock) return;
    ph::Error error;
    const auto groups = recipePanels(&error);
    if (!groups) return sendJson(res, 500, {{"error", errorJson(error)}});
    sendJson(res, 200, exportJson(*groups));
  }

  // Folder URLs of a chooser's value that the user did not choose here.
  std::optional<std::string> unchosenFolder(const json& urls) {
    std::lock_guard guard(data);
    for (const json& url : urls) {
      const auto path = pathFromFileUrl(url.get<std::string>());
      const auto real = path ? realPath(*path) : std::nullopt;
      if (!real || !chosenFolders.count(*real)) return url.get<std::string>();
    }
    return std::nullopt;
  }

  void exportEvent(const httplib::Request& req, httplib::Response& res) {
    const auto body = parseBody(req, res);
    if (!body) return;
    ph::SettingsEventFault fault;
    const auto event = ph::parseSettingsEvent(*body, &fault);
    if (!event) return fail(res, 400, fault.message);
    if (event->isPress()) return fail(res, 422, "the export settings have no buttons");
    auto lock = lockHost(res);
    if (!lock) return;
    ph::Error error;
    const auto groups = recipePanels(&error);
    if (!groups) return sendJson(res, 500, {{"error", errorJson(error)}});
    const auto item = ph::resolveSettingsEvent(*groups, *event, &fault);
    if (!item)
      return fail(res, fault.kind == ph::SettingsEventFault::Kind::unknownIdentifier ? 404 : 422,
                  fault.message);
    if (item->kind() == ph::SettingsElementKind::file) {
      if (const auto url = unchosenFolder(*event->value))
        return fail(res, 403, *url + " is no folder chosen in the folder chooser");
    }
    recipe[event->identifier] = *event->value;
    ph::ActionSettingsCallbackAction callback = ph::kActionSettingsCallbackActionNone;
    session.publishing->didUpdateValue(*event->value, event->identifier, publishAction, recipe,
                                       &callback, &error);
    const auto after = recipePanels(&error);
    if (!after) return sendJson(res, 500, {{"error", errorJson(error)}});
    json answer = exportJson(*after);
    answer["refresh"] = callback == ph::kActionSettingsCallbackActionRefresh;
    sendJson(res, 200, answer);
  }

  // ---- folders and photos ----

  void listFolder(const httplib::Request& req, httplib::Response& res) {
    fs::path path =
        req.has_param("path") ? fs::path(req.get_param_value("path")) : fs::path(homeDirectory());
    const bool files = req.get_param_value("files") == "1";
    // A chooser opens where a recipe last pointed, which may be gone: the
    // nearest folder above it that is still there stands in.
    std::optional<fs::path> real = realPath(path);
    std::error_code ec;
    for (fs::path up = path;
         path.is_absolute() && (!real || !fs::is_directory(*real, ec)) && up.has_relative_path();) {
      up = up.parent_path();
      real = realPath(up);
    }
    if (!real || !fs::is_directory(*real, ec))
      return fail(res, 404, path.string() + " is no folder");
    json entries = json::array();
    std::vector<std::pair<std::string, bool>> found;
    for (fs::directory_iterator it(*real, fs::directory_options::skip_permission_denied, ec), end;
         !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (name.empty() || name[0] == '.') continue;
      std::error_code typeError;
      if (it->is_directory(typeError))
        found.emplace_back(name, true);
      else if (files && it->is_regular_file(typeError) && isPhotoName(it->path()))
        found.emplace_back(name, false);
    }
    if (ec) return fail(res, 403, real->string() + ": " + ec.message());
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
      if (a.second != b.second) return a.second;
      return lower(a.first) < lower(b.first);
    });
    for (const auto& entry : found) {
      json item = json::object();
      item["name"] = entry.first;
      item["path"] = (*real / entry.first).string();
      item["folder"] = entry.second;
      entries.push_back(std::move(item));
    }
    json answer = json::object();
    answer["path"] = real->string();
    answer["parent"] = *real != real->root_path() ? json(real->parent_path().string()) : json();
    answer["home"] = homeDirectory();
    answer["entries"] = std::move(entries);
    sendJson(res, 200, answer);
  }

  void chooseFolder(const httplib::Request& req, httplib::Response& res) {
    const auto body = parseBody(req, res);
    if (!body) return;
    if (!body->contains("path") || !(*body)["path"].is_string())
      return fail(res, 400, "name the folder as \"path\"");
    const std::string path = (*body)["path"];
    const auto real = realPath(path);
    std::error_code ec;
    if (!real || !fs::is_directory(*real, ec)) return fail(res, 404, path + " is no folder");
    std::string url = fileUrlFromPath(real->string());
    if (url.back() != '/') url += '/';
    {
      std::lock_guard guard(data);
      chosenFolders.insert(*real);
    }
    sendJson(res, 200, {{"path", real->string()}, {"url", url}});
  }

  json photoJson(const Photo& p) const {
    return {{"id", p.id},
            {"name", p.name},
            {"path", p.path.string()},
            {"uploaded", p.uploaded},
            {"type", lower(p.path.extension().string()).substr(p.path.has_extension() ? 1 : 0)}};
  }

  json photosJson() const {
    json list = json::array();
    for (const Photo& p : photos) list.push_back(photoJson(p));
    return {{"photos", list}};
  }

  void getPhotos(httplib::Response& res) {
    std::lock_guard guard(data);
    sendJson(res, 200, photosJson());
  }

  void pickPhotos(const httplib::Request& req, httplib::Response& res) {
    const auto body = parseBody(req, res);
    if (!body) return;
    if (!body->contains("paths") || !(*body)["paths"].is_array())
      return fail(res, 400, "name the photos as \"paths\", a list of paths");
    std::vector<fs::path> picked;
    for (const json& entry : (*body)["paths"]) {
      if (!entry.is_string()) return fail(res, 400, "\"paths\" holds texts");
      const auto real = realPath(entry.get<std::string>());
      std::error_code ec;
      if (!real || !fs::is_regular_file(*real, ec))
        return fail(res, 404, entry.get<std::string>() + " is no file");
      if (!isPhotoName(*real)) return fail(res, 422, real->string() + " is no JPEG or PNG file");
      picked.push_back(*real);
    }
    std::lock_guard guard(data);
    for (const fs::path& path : picked) {
      const bool known =
          std::any_of(photos.begin(), photos.end(), [&](const Photo& p) { return p.path == path; });
      if (!known) photos.push_back({nextPhoto++, path, path.filename().string(), false});
    }
    sendJson(res, 200, photosJson());
  }

  void uploadPhotos(const httplib::Request& req, httplib::Response& res) {
    if (!req.is_multipart_form_data())
      return fail(res, 400, "upload photos as multipart form data");
    std::vector<Photo> added;
    for (const auto& [field, file] : req.files) {
      if (field != "photo") continue;
      if (file.content.size() > options.uploadLimit) return fail(res, 413, uploadTooLarge());
      const std::string name = safeFileName(file.filename);
      if (name.empty() || !isPhotoName(name))
        return fail(res, 422,
                    (name.empty() ? std::string("the file") : name) + " is no JPEG or PNG file");
      int id;
      {
        std::lock_guard guard(data);
        id = nextPhoto++;
      }
      // Each upload in a folder of its own keeps its name.
      const fs::path folder = uploadDir / std::to_string(id);
      std::error_code ec;
      fs::create_directory(folder, ec);
      const fs::path path = folder / name;
      {
        std::ofstream out(path, std::ios::binary);
        out.write(file.content.data(), static_cast<std::streamsize>(file.content.size()));
        out.close();
        if (ec || !out) {
          fs::remove(path, ec);
          return fail(res, 507, "cannot keep the upload " + name + " in " + folder.string());
        }
      }
      added.push_back({id, path, name, true});
    }
    if (added.empty()) return fail(res, 400, "send the photos in fields named \"photo\"");
    std::lock_guard guard(data);
    photos.insert(photos.end(), added.begin(), added.end());
    sendJson(res, 200, photosJson());
  }

  void removePhoto(int id, httplib::Response& res) {
    std::lock_guard guard(data);
    if (task && !task->finished && std::count(task->photos.begin(), task->photos.end(), id))
      return fail(res, 409, "the photo is being worked on");
    const auto it =
        std::find_if(photos.begin(), photos.end(), [&](const Photo& p) { return p.id == id; });
    if (it == photos.end()) return fail(res, 404, "no photo " + std::to_string(id));
    if (it->uploaded) {
      std::error_code ec;
      fs::remove_all(it->path.parent_path(), ec);
    }
    photos.erase(it);
    sendJson(res, 200, photosJson());
  }

  std::optional<Photo> photo(int id) {
    std::lock_guard guard(data);
    for (const Photo& p : photos)
      if (p.id == id) return p;
    return std::nullopt;
  }

  // A file the pages may see: a picked or uploaded photo, or a file inside a
  // chosen folder (where exports go).
  bool mayRead(const fs::path& path) {
    std::lock_guard guard(data);
    for (const Photo& p : photos)
      if (p.path == path) return true;
    for (const fs::path& folder : chosenFolders)
      if (isInside(path, folder)) return true;
    return false;
  }

  void thumbnail(const httplib::Request& req, httplib::Response& res) {
    if (!req.has_param("path")) return fail(res, 400, "name the picture as ?path=");
    const std::string asked = req.get_param_value("path");
    const auto real = realPath(asked);
    if (!real || !mayRead(*real))
      return fail(res, 403, asked + " is neither a picked photo nor in a chosen folder");
    try {
      vips::VImage image = vips::VImage::thumbnail(
          real->c_str(), kThumbnailSize, vips::VImage::option()->set("height", kThumbnailSize));
      const bool alpha = image.has_alpha();
      void* buffer = nullptr;
      std::size_t size = 0;
      image.write_to_buffer(alpha ? ".png" : ".jpg", &buffer, &size);
      res.set_content(std::string(static_cast<char*>(buffer), size),
                      alpha ? "image/png" : "image/jpeg");
      g_free(buffer);
      res.set_header("Cache-Control", "no-store");
    } catch (const vips::VError& e) {
      vips_error_clear();
      std::string message = e.what();
      fail(res, 422,
           real->string() + ": cannot read image (" + message.substr(0, message.find('\n')) + ")");
    }
  }

  void inspectPhoto(int id, httplib::Response& res) {
    const auto p = photo(id);
    if (!p) return fail(res, 404, "no photo " + std::to_string(id));
    auto lock = lockHost(res);
    if (!lock) return;
    std::string error;
    const auto report = inspectFile(p->path.string(), &error);
    if (!report) return fail(res, 422, error);
    json answer = toJson(p->path.string(), *report);
    answer["id"] = id;
    sendJson(res, 200, answer);
  }

  // ---- Open With ----

  std::optional<std::vector<Photo>> photosById(const json& ids, httplib::Response& res) {
    if (!ids.is_array() || ids.empty()) {
      fail(res, 400, "name the photos as \"photos\", a list of photo numbers");
      return std::nullopt;
    }
    std::vector<Photo> list;
    for (const json& id : ids) {
      const auto p = id.is_number_integer() ? photo(id.get<int>()) : std::nullopt;
      if (!p) {
        fail(res, 404, "no photo " + id.dump());
        return std::nullopt;
      }
      list.push_back(*p);
    }
    return list;
  }

  std::optional<ph::PluginActions> openWithActions(const std::vector<Photo>& list,
                                                   ph::Error* error) {
    if (!session.openWith) {
      error->localizedDescription = "The plug-in offers no Open With actions.";
      return std::nullopt;
    }
    ph::SettingsMap info;
    for (const Photo& p : list) {
      ph::Value& count = info[fileTypeKey(p.path.string())];
      count = count.is_number() ? count.get<unsigned>() + 1 : 1u;
    }
    return session.openWith->openWithActionsWithFileInfo(info, ph::kOpenWithPluginRoleOpenWith,
                                                         error);
  }

  void getOpenWithActions(const httplib::Request& req, httplib::Response& res) {
    std::vector<Photo> list;
    {
      std::lock_guard guard(data);
      list = photos;
    }
    // Without photos the choice is the one for a JPEG export.
    if (list.empty()) list.push_back({0, "photo.jpg", "photo.jpg", false});
    (void)req;
    auto lock = lockHost(res);
    if (!lock) return;
    ph::Error error;
    const auto actions = openWithActions(list, &error);
    if (!actions) return sendJson(res, 500, {{"error", errorJson(error)}});
    json out = json::array();
    for (const auto& a : *actions)
      out.push_back({{"identifier", a->identifier()},
                     {"title", a->displayName()},
                     {"image", a->image() ? ph::pngDataUrl(*a->image()) : json()}});
    sendJson(res, 200, {{"actions", out}});
  }

  // ---- tasks ----

  json taskJson(const TaskRun& t) const {
    return {{"id", t.id},           {"kind", t.kind},       {"done", t.done},
            {"count", t.count},     {"text", t.text},       {"finished", t.finished},
            {"message", t.message}, {"failed", t.failed},   {"folder", t.folder},
            {"photos", t.photos},   {"results", t.results}, {"cancelled", t.task->cancelled()},
            {"version", t.version}};
  }

  void update(const std::function<void(TaskRun&)>& change) {
    {
      std::lock_guard guard(data);
      change(*task);
      ++task->version;
    }
    changed.notify_all();
  }

  // Starts `run` on the worker with the host held; false (after a 409) when
  // a task is still running.
  bool launch(std::shared_ptr<TaskRun> run, std::unique_lock<HostGate> hostLock,
              std::function<void()> body, httplib::Response& res) {
    {
      std::lock_guard guard(data);
      if (task && !task->finished) {
        fail(res, 409, "a task is still running");
        return false;
      }
      task = std::move(run);
    }
    if (worker.joinable()) worker.join();
    worker = std::thread([this, lock = std::move(hostLock), body = std::move(body)]() mutable {
      body();
      lock.unlock();
      changed.notify_all();
    });
    return true;
  }

  void startExport(const httplib::Request& req, httplib::Response& res) {
    const auto body = parseBody(req, res);
    if (!body) return;
    const auto list = photosById(body->value("photos", json()), res);
    if (!list) return;
    auto lock = lockHost(res);
    if (!lock) return;
    ph::Error error;
    const auto groups = recipePanels(&error);
    if (!groups) return sendJson(res, 500, {{"error", errorJson(error)}});
    // The destination must be a folder chosen here; the settings may still
    // hold another from an earlier recipe.
    std::string folderUrl;
    for (const auto& [key, value] : recipe)
      if (key.ends_with(".dest-folder-publish") && value.is_array() && !value.empty())
        folderUrl = value.front().get<std::string>();
    if (folderUrl.empty() || unchosenFolder(json::array({folderUrl})))
      return sendJson(res, 422,
                      {{"message", "Choose the folder the cropped copies go into."},
                       {"identifier", findDestIdentifier(*groups)}});
    if (!session.publishing->validateSettings(recipe, publishAction, &error))
      return sendJson(res, 422,
                      {{"error", errorJson(error)},
                       {"identifier", elementNamedIn(*groups, error.localizedDescription)}});
    std::vector<std::string> files;
    for (const Photo& p : *list) files.push_back(p.path.string());
    const auto tasks = session.publishing->tasksForAction(publishAction, files, &error);
    if (!tasks || tasks->empty() || !tasks->front())
      return sendJson(res, 500, {{"error", errorJson(error)}});

    auto run = std::make_shared<TaskRun>();
    run->kind = "export";
    run->task = tasks->front();
    run->count = static_cast<unsigned>(files.size());
    run->folder = pathFromFileUrl(folderUrl).value_or("");
    for (const Photo& p : *list) run->photos.push_back(p.id);
    {
      std::lock_guard guard(data);
      run->id = nextTask++;
    }
    const json started = {{"task", run->id}};
    const fs::path folder = run->folder;
    auto body2 = [this, run, folder]() {
      // Names in the folder before each file: what is new after it is the
      // file's output.
      auto listing = [&folder]() {
        std::set<fs::path> names;
        std::error_code ec;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
          names.insert(it->path());
        return names;
      };
      std::set<fs::path> before = listing();
      ph::Error error;
      const auto result = session.publishing->startPublishingTask(
          *run->task, &error,
          [&](const ph::PluginTask&, unsigned done, unsigned count, const std::string& text) {
            const std::set<fs::path> now = listing();
            std::vector<fs::path> fresh;
            std::set_difference(now.begin(), now.end(), before.begin(), before.end(),
                                std::back_inserter(fresh));
            before = now;
            update([&](TaskRun& t) {
              t.done = done;
              t.count = count;
              t.text = text;
              for (const fs::path& f : fresh)
                t.results.push_back({{"photo", t.photos.at(done - 1)}, {"path", f.string()}});
            });
          });
      update([&](TaskRun& t) {
        if (!result) {
          t.failed = true;
          t.message = error.localizedDescription + " " + error.localizedFailureReason;
        } else if (t.done == t.count) {
          t.message = result->message();
        } else if (t.task->cancelled()) {
          t.message = "Cancelled: " + std::to_string(t.done) + " of " + std::to_string(t.count) +
                      " photos written, the rest skipped.";
        } else {
          t.failed = true;
          t.message = "Could not crop photo " + std::to_string(t.done + 1) + "; " +
                      std::to_string(t.done) + " of " + std::to_string(t.count) +
                      " photos written, the rest skipped.";
        }
        t.finished = true;
      });
    };
    if (launch(run, std::move(*lock), body2, res)) sendJson(res, 202, started);
  }

  static std::string findDestIdentifier(const ph::SettingsElementsGroups& groups) {
    for (const auto& g : groups)
      for (const auto& e : g->elements())
        if (e->kind() == ph::SettingsElementKind::file) return e->identifier();
    return "";
  }

  void startOpenWith(const httplib::Request& req, httplib::Response& res) {
    const auto body = parseBody(req, res);
    if (!body) return;
    const auto list = photosById(body->value("photos", json()), res);
    if (!list) return;
    // Cropping in place replaces the files: the page has asked first.
    if (body->value("confirmed", false) != true)
      return fail(res, 400, "cropping in place replaces the photos: confirm it first");
    const std::string identifier = body->value("action", "");
    auto lock = lockHost(res);
    if (!lock) return;
    ph::Error error;
    const auto actions = openWithActions(*list, &error);
    if (!actions) return sendJson(res, 422, {{"error", errorJson(error)}});
    std::shared_ptr<ph::PluginAction> chosen;
    for (const auto& a : *actions)
      if (a->identifier() == identifier) chosen = a;
    if (!chosen) return fail(res, 404, "no Open With action " + identifier + " for these photos");
    std::vector<std::string> files;
    for (const Photo& p : *list) files.push_back(p.path.string());
    const auto tasks = session.openWith->tasksForAction(chosen, files, &error);
    if (!tasks || tasks->empty() || !tasks->front())
      return sendJson(res, 422, {{"error", errorJson(error)}});

    auto run = std::make_shared<TaskRun>();
    run->kind = "open-with";
    run->task = tasks->front();
    run->count = static_cast<unsigned>(files.size());
    for (const Photo& p : *list) run->photos.push_back(p.id);
    {
      std::lock_guard guard(data);
      run->id = nextTask++;
    }
    const json started = {{"task", run->id}};
    auto body2 = [this, run, files, title = chosen->displayName()]() {
      ph::Error error;
      const auto result = session.openWith->startOpenWithTask(
          *run->task, &error,
          [&](const ph::PluginTask&, unsigned done, unsigned count, const std::string& text) {
            update([&](TaskRun& t) {
              t.done = done;
              t.count = count;
              t.text = text;
              t.results.push_back({{"photo", t.photos.at(done - 1)}, {"path", files.at(done - 1)}});
            });
          });
      update([&](TaskRun& t) {
        if (!result) {
          t.failed = true;
          t.message = error.localizedDescription + " " + error.localizedFailureReason;
        } else if (result->status() == 1) {
          t.message = "Cropped " + std::to_string(t.count) + " of " + std::to_string(t.count) +
                      " photos in place with " + title + ".";
        } else if (t.task->cancelled()) {
          t.message = "Cancelled: " + std::to_string(t.done) + " of " + std::to_string(t.count) +
                      " photos cropped, the rest untouched.";
        } else {
          t.failed = true;
          t.message = "Could not crop photo " + std::to_string(t.done + 1) + "; " +
                      std::to_string(t.done) + " of " + std::to_string(t.count) +
                      " photos cropped, the rest untouched.";
        }
        t.finished = true;
      });
    };
    if (launch(run, std::move(*lock), body2, res)) sendJson(res, 202, started);
  }

  void getTask(httplib::Response& res) {
    std::lock_guard guard(data);
    if (!task) return sendJson(res, 200, {{"task", nullptr}});
    sendJson(res, 200, {{"task", taskJson(*task)}});
  }

  void cancelTask(httplib::Response& res) {
    std::lock_guard guard(data);
    if (!task || task->finished) return fail(res, 409, "no task is running");
    task->task->setCancelled();
    ++task->version;
    changed.notify_all();
    sendJson(res, 200, {{"task", taskJson(*task)}});
  }

  // Server-sent events: the task's state whenever it changes, until it ends.
  void taskEvents(httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, sent = std::uint64_t(0), last = 0](std::size_t, httplib::DataSink& sink) mutable {
          std::unique_lock lock(data);
          // Waits in slices so that a stopping server is noticed.
          while (!stopping && task && task->id == last && task->version == sent && !task->finished)
            changed.wait_for(lock, std::chrono::milliseconds(500));
          if (stopping || !task) {
            sink.done();
            return true;
          }
          const TaskRun& t = *task;
          const bool end = t.finished;
          last = t.id;
          sent = t.version;
          const std::string event = "data: " + taskJson(t).dump() + "\n\n";
          lock.unlock();
          if (!sink.write(event.data(), event.size())) return false;
          if (end) sink.done();
          return true;
        });
  }

  // ---- the page's files ----

  void staticFile(const httplib::Request& req, httplib::Response& res) {
    std::string name = req.path == "/" ? "index.html" : req.path.substr(1);
    // Only plain names of this one folder.
    const bool plain = !name.empty() && name.find('/') == std::string::npos &&
                       name.find("..") == std::string::npos && name[0] != '.';
    const fs::path path = webRoot / name;
    std::error_code ec;
    if (!plain || !fs::is_regular_file(path, ec)) return fail(res, 404, "no page " + req.path);
    res.set_header("Cache-Control", "no-cache");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("Content-Security-Policy",
                   "default-src 'self'; img-src 'self' data: blob:; style-src 'self'; "
                   "script-src 'self' 'unsafe-inline'; frame-ancestors 'none'");
    res.set_content(readFile(path), contentType(path).c_str());
  }

  void logo(httplib::Response& res) {
    const fs::path path = fs::path(options.bundle) / "Resources" / "logo-256.png";
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return fail(res, 404, "the bundle has no logo");
    res.set_content(readFile(path), "image/png");
  }

  void routes() {
    http.set_pre_routing_handler(
        [this](const httplib::Request& req, httplib::Response& res) { return screen(req, res); });
    http.Post("/api/session", [this](const httplib::Request&, httplib::Response& res) {
      res.set_header("Set-Cookie",
                     cookieName + "=" + token + "; Path=/; HttpOnly; SameSite=Strict");
      sendJson(res, 200, {{"port", port}});
    });
    http.Get("/api/session", [this](const httplib::Request&, httplib::Response& res) {
      sendJson(res, 200, {{"port", port}});
    });
    http.Get("/api/preferences",
             [this](const httplib::Request&, httplib::Response& res) { getPreferences(res); });
    http.Post("/api/preferences/event",
              [this](const httplib::Request& req, httplib::Response& res) {
                preferencesEvent(req, res);
              });
    http.Get("/api/logo", [this](const httplib::Request&, httplib::Response& res) { logo(res); });
    http.Get("/api/export",
             [this](const httplib::Request&, httplib::Response& res) { getExport(res); });
    http.Post("/api/export/event", [this](const httplib::Request& req, httplib::Response& res) {
      exportEvent(req, res);
    });
    http.Post("/api/export/start", [this](const httplib::Request& req, httplib::Response& res) {
      startExport(req, res);
    });
    http.Get("/api/folders",
             [this](const httplib::Request& req, httplib::Response& res) { listFolder(req, res); });
    http.Post("/api/folders/choose", [this](const httplib::Request& req, httplib::Response& res) {
      chooseFolder(req, res);
    });
    http.Get("/api/photos",
             [this](const httplib::Request&, httplib::Response& res) { getPhotos(res); });
    http.Post("/api/photos/pick", [this](const httplib::Request& req, httplib::Response& res) {
      pickPhotos(req, res);
    });
    http.Post("/api/photos/upload", [this](const httplib::Request& req, httplib::Response& res) {
      uploadPhotos(req, res);
    });
    http.Delete(R"(/api/photos/(\d+))",
                [this](const httplib::Request& req, httplib::Response& res) {
                  removePhoto(std::stoi(req.matches[1]), res);
                });
    http.Get(R"(/api/photos/(\d+)/inspect)",
             [this](const httplib::Request& req, httplib::Response& res) {
               inspectPhoto(std::stoi(req.matches[1]), res);
             });
    http.Get("/api/thumbnail",
             [this](const httplib::Request& req, httplib::Response& res) { thumbnail(req, res); });
    http.Get("/api/open-with", [this](const httplib::Request& req, httplib::Response& res) {
      getOpenWithActions(req, res);
    });
    http.Post("/api/open-with/start", [this](const httplib::Request& req, httplib::Response& res) {
      startOpenWith(req, res);
    });
    http.Get("/api/task",
             [this](const httplib::Request&, httplib::Response& res) { getTask(res); });
    http.Post("/api/task/cancel",
              [this](const httplib::Request&, httplib::Response& res) { cancelTask(res); });
    http.Get("/api/task/events",
             [this](const httplib::Request&, httplib::Response& res) { taskEvents(res); });
    http.Get(R"(/[^/]*)",
             [this](const httplib::Request& req, httplib::Response& res) { staticFile(req, res); });
  }
};

WebServer::WebServer(std::unique_ptr<State> state) : state_(std::move(state)) {}

WebServer::~WebServer() {
  stop();
  if (state_->worker.joinable()) state_->worker.join();
  std::error_code ec;
  if (!state_->uploadDir.empty()) fs::remove_all(state_->uploadDir, ec);
}

std::unique_ptr<WebServer> WebServer::create(HostSession session, const WebServerOptions& options,
                                             std::string* error) {
  auto state = std::make_unique<State>();
  state->session = std::move(session);
  state->options = options;
  state->webRoot = options.webRoot;
  std::error_code ec;
  if (!fs::is_regular_file(state->webRoot / "index.html", ec)) {
    *error = "the page's files are missing: no index.html in " + options.webRoot;
    return nullptr;
  }
  std::string scratch = (fs::temp_directory_path(ec) / "kadro-serve-XXXXXX").string();
  if (!mkdtemp(scratch.data())) {
    *error = "cannot make a folder for uploads in " + fs::temp_directory_path(ec).string() + ": " +
             std::strerror(errno);
    return nullptr;
  }
  state->uploadDir = scratch;
  state->token = randomToken();
  state->http.new_task_queue = [] { return new httplib::ThreadPool(16); };
  state->http.set_keep_alive_timeout(2);
  state->http.set_payload_max_length(options.uploadLimit + (1u << 20));
  state->routes();
  const int port = options.port == 0
                       ? state->http.bind_to_any_port("127.0.0.1")
                       : (state->http.bind_to_port("127.0.0.1", options.port) ? options.port : -1);
  if (port <= 0) {
    *error = options.port == 0 ? "cannot listen on 127.0.0.1"
                               : "cannot listen on 127.0.0.1:" + std::to_string(options.port) +
                                     " (is the port taken?)";
    fs::remove_all(state->uploadDir, ec);
    return nullptr;
  }
  state->port = port;
  state->cookieName = "kadro-" + std::to_string(port);
  return std::unique_ptr<WebServer>(new WebServer(std::move(state)));
}

int WebServer::port() const { return state_->port; }
const std::string& WebServer::token() const { return state_->token; }

std::string WebServer::startUrl() const {
  return "http://127.0.0.1:" + std::to_string(state_->port) + "/#token=" + state_->token;
}

bool WebServer::run() { return state_->http.listen_after_bind(); }

void WebServer::stop() {
  state_->stopping = true;
  {
    std::lock_guard guard(state_->data);
    if (state_->task && !state_->task->finished) state_->task->task->setCancelled();
  }
  state_->changed.notify_all();
  state_->http.stop();
}

std::string defaultWebRoot() {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return "web";
  return (exe.parent_path().parent_path() / "share" / "kadro" / "web").string();
}

}  // namespace kadro::app
