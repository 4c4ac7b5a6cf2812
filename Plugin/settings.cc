#include "Plugin/settings.h"

#include <errno.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <utility>
#include <vector>

#include "Plugin/bundle.h"
#include "Plugin/file_url.h"
#include "SmartCrop/diagnostics.h"

namespace kadro {
namespace {

namespace fs = std::filesystem;

// Used when the bundle has no identifier. It is the build's own bundle
// identifier, so the presets are the same ones whether the bundle is found.
constexpr const char* kFallbackDomain = "io.kadro.KadroPlugin";
constexpr const char* kPresetsKey = "presets";
constexpr const char* kInitializedKey = "initialized";
// Long enough for another process's write to finish; writes are tiny.
constexpr int kBusyTimeoutMs = 10000;

struct CloseDatabase {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using DatabaseHandle = std::unique_ptr<sqlite3, CloseDatabase>;

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  sqlite3_stmt* get() const { return stmt_; }
  std::string error() const { return sqlite3_errmsg(db_); }

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

bool exec(sqlite3* db, const char* sql, std::string& error) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
  error = sqlite3_errmsg(db);
  return false;
}

// Opens and checks the key-value file. Nothing is written to a file that is
// not a database: its header is read before the table is created.
DatabaseHandle openDatabase(const std::string& path, std::string& error) {
  if (!path.empty()) {
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
  }
  sqlite3* raw = nullptr;
  const int rc =
      sqlite3_open_v2(path.empty() ? ":memory:" : path.c_str(), &raw,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  DatabaseHandle db(raw);
  if (rc != SQLITE_OK) {
    error = raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
    return nullptr;
  }
  sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
  if (!exec(db.get(), "SELECT count(*) FROM sqlite_master", error) ||
      !exec(db.get(), "CREATE TABLE IF NOT EXISTS defaults (key TEXT PRIMARY KEY NOT NULL, value)",
            error))
    return nullptr;
  // A database of someone else's with a table of that name but other columns.
  if (Statement probe(db.get(), "SELECT value FROM defaults WHERE key = ?"); !probe.ok()) {
    error = probe.error();
    return nullptr;
  }
  return db;
}

struct Lookup {
  bool ok = true;
  std::string error;
  std::optional<std::string> bytes;  // a blob or text value
  bool truth = false;                // a non-zero number
};

Lookup failed(std::string error) {
  Lookup result;
  result.ok = false;
  result.error = std::move(error);
  return result;
}

Lookup readValue(sqlite3* db, const char* key) {
  Lookup result;
  Statement s(db, "SELECT value FROM defaults WHERE key = ?");
  if (!s.ok()) return failed(s.error());
  sqlite3_bind_text(s.get(), 1, key, -1, SQLITE_STATIC);
  const int rc = sqlite3_step(s.get());
  if (rc == SQLITE_DONE) return result;
  if (rc != SQLITE_ROW) return failed(s.error());
  switch (sqlite3_column_type(s.get(), 0)) {
    case SQLITE_BLOB:
    case SQLITE_TEXT: {
      const auto* data = static_cast<const char*>(sqlite3_column_blob(s.get(), 0));
      const int size = sqlite3_column_bytes(s.get(), 0);
      result.bytes = std::string(data ? data : "", static_cast<std::size_t>(size));
      break;
    }
    case SQLITE_INTEGER:
    case SQLITE_FLOAT:
      result.truth = sqlite3_column_double(s.get(), 0) != 0;
      break;
    default:
      break;
  }
  return result;
}

bool writeBlob(sqlite3* db, const char* key, const std::string& bytes, std::string& error) {
  Statement s(db, "INSERT OR REPLACE INTO defaults (key, value) VALUES (?, ?)");
  if (s.ok()) {
    sqlite3_bind_text(s.get(), 1, key, -1, SQLITE_STATIC);
    sqlite3_bind_blob64(s.get(), 2, bytes.data(), bytes.size(), SQLITE_STATIC);
    if (sqlite3_step(s.get()) == SQLITE_DONE) return true;
  }
  error = s.error();
  return false;
}

bool writeTrue(sqlite3* db, const char* key, std::string& error) {
  Statement s(db, "INSERT OR REPLACE INTO defaults (key, value) VALUES (?, 1)");
  if (s.ok()) {
    sqlite3_bind_text(s.get(), 1, key, -1, SQLITE_STATIC);
    if (sqlite3_step(s.get()) == SQLITE_DONE) return true;
  }
  error = s.error();
  return false;
}

// BEGIN IMMEDIATE takes the write lock up front, so two processes queue on
// the busy timeout instead of failing when both upgrade a read lock.
class Transaction {
 public:
  explicit Transaction(sqlite3* db) : db_(db) { begun_ = exec(db_, "BEGIN IMMEDIATE", error_); }
  ~Transaction() {
    if (begun_ && !committed_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  bool begun() const { return begun_; }
  bool commit() { return committed_ = exec(db_, "COMMIT", error_); }
  const std::string& error() const { return error_; }

 private:
  sqlite3* db_;
  bool begun_ = false;
  bool committed_ = false;
  std::string error_;
};

// A suite name made safe to use as a file name.
std::string fileName(const std::string& suite) {
  std::string name;
  for (char c : suite) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '-' || c == '_';
    name += plain ? c : '_';
  }
  return (name.empty() ? "_" : name) + ".sqlite";
}

void warnUnusable(const std::string& path, const std::string& error, const std::string& instead) {
  std::cerr << "kadro: cannot use the preset store " << path << ": " << error
            << "; the file is left as it is and " << instead << '\n';
}

}  // namespace

struct Settings::Database {
  std::string path;  // empty in memory
  DatabaseHandle handle;
  std::mutex mutex;  // one transaction at a time on the shared connection
};

std::string encodePresets(const PresetMap& presets, int indent) {
  nlohmann::ordered_json doc = nlohmann::ordered_json::object();
  for (const auto& [key, action] : presets) doc[key] = action;
  return doc.dump(indent);
}

PresetMap decodePresets(std::string_view document) {
  const nlohmann::json doc = nlohmann::json::parse(document);
  if (!doc.is_object()) throw ActionDecodeError("the presets document is not a JSON object");
  PresetMap presets;
  for (const auto& [key, value] : doc.items()) {
    try {
      presets.emplace(key, value.get<Action>());
    } catch (const ActionDecodeError& e) {
      throw ActionDecodeError("preset \"" + key + "\": " + e.what());
    }
  }
  return presets;
}

const PresetMap& Settings::defaultPresets() {
  static const PresetMap presets = [] {
    PresetMap p;
    for (Action a : {Action("Square", "square", 400, true, 2, "black", "#333333"),
                     Action("Circle", "circle", 600, true, 15, "white", "#333333"),
                     Action("Hexagon", "hex", 144, true, 2, "custom", "#ffcc00"),
                     Action("Just Border", "none", 400, true, 20, "custom", "#991111")})
      p.emplace(a.name, a);
    return p;
  }();
  return presets;
}

const std::string& Settings::domain() {
  static const std::string name = [] {
    const auto& bundle = currentBundle();
    if (bundle && bundle->identifier && !bundle->identifier->empty()) return *bundle->identifier;
    return std::string(kFallbackDomain);
  }();
  return name;
}

std::string Settings::suitePath(const std::string& suite) {
  fs::path base;
  // Relative values are to be ignored, as the XDG rules say.
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/')
    base = xdg;
  else
    base = fs::path(homeDirectory()) / ".config";
  return (base / "kadro" / fileName(suite)).string();
}

Settings& Settings::shared() {
  static Settings store([] {
    auto db = std::make_unique<Database>();
    const std::string suite = suitePath(domain());
    std::string error;
    if ((db->handle = openDatabase(suite, error))) {
      db->path = suite;
      return db;
    }
    // The application's own suite, as the standard defaults would be.
    const std::string standard =
        suitePath(std::string(program_invocation_short_name) + ".standard");
    std::string standardError;
    if ((db->handle = openDatabase(standard, standardError))) {
      warnUnusable(suite, error, "the presets are kept in " + standard + " instead");
      db->path = standard;
      return db;
    }
    warnUnusable(suite, error,
                 "neither is " + standard + " usable (" + standardError +
                     "); the presets are kept in memory and lost at exit");
    db->handle = openDatabase("", error);
    return db;
  }());
  return store;
}

Settings::Settings(std::string path)
    : Settings([&] {
        auto db = std::make_unique<Database>();
        std::string error;
        if ((db->handle = openDatabase(path, error))) {
          db->path = std::move(path);
        } else {
          warnUnusable(path, error, "the presets are kept in memory and lost at exit");
          db->handle = openDatabase("", error);
        }
        return db;
      }()) {}

Settings::Settings(std::unique_ptr<Database> db) : db_(std::move(db)) {
  sqlite3* h = db_->handle.get();
  if (!h) return;  // not even an in-memory database: reads give the built-ins
  std::lock_guard lock(db_->mutex);
  if (readValue(h, kInitializedKey).truth) return;
  // Checked again under the write lock, so that of two processes starting
  // together only one seeds, and never over presets the other has saved.
  Transaction t(h);
  if (!t.begun()) {
    diagnosticLine("unable to save data: " + t.error());
    return;
  }
  if (readValue(h, kInitializedKey).truth) return;
  // A file that already holds a document keeps it, whatever its marker says;
  // one that cannot be read is not written either.
  const Lookup stored = readValue(h, kPresetsKey);
  if (!stored.ok) {
    diagnosticLine("unable to read presets: " + stored.error);
    return;
  }
  std::string error;
  try {
    if (!stored.bytes && !writeBlob(h, kPresetsKey, encodePresets(defaultPresets()), error))
      diagnosticLine("unable to save data: " + error);
  } catch (const nlohmann::json::exception& e) {
    diagnosticLine(std::string("unable to save data: ") + e.what());
  }
  if (!writeTrue(h, kInitializedKey, error) || !t.commit())
    diagnosticLine("unable to save data: " + (t.error().empty() ? error : t.error()));
}

Settings::~Settings() = default;

const std::string& Settings::path() const { return db_->path; }

PresetMap Settings::presets() const {
  Lookup stored;
  if (sqlite3* h = db_->handle.get()) {
    std::lock_guard lock(db_->mutex);
    stored = readValue(h, kPresetsKey);
  }
  if (!stored.ok) {
    diagnosticLine("unable to read presets: " + stored.error);
    return defaultPresets();
  }
  if (!stored.bytes) return defaultPresets();
  PresetMap presets;
  try {
    presets = decodePresets(*stored.bytes);
  } catch (const std::exception& e) {
    diagnosticLine(std::string("unable to decode preset: ") + e.what());
    return defaultPresets();
  }
  if (presets.empty()) presets.emplace("Default", Action("Default", "square", 400));
  return presets;
}

void Settings::setPresets(const PresetMap& presets) {
  std::string document;
  try {
    document = encodePresets(presets);
  } catch (const nlohmann::json::exception& e) {
    diagnosticLine(std::string("unable to save data: ") + e.what());
    return;
  }
  sqlite3* h = db_->handle.get();
  if (!h) {
    diagnosticLine("unable to save data: no preset store");
    return;
  }
  std::lock_guard lock(db_->mutex);
  Transaction t(h);
  std::string error;
  if (!t.begun() || !writeBlob(h, kPresetsKey, document, error) || !t.commit())
    diagnosticLine("unable to save data: " + (t.error().empty() ? error : t.error()));
}

}  // namespace kadro
