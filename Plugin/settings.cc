#include "Plugin/settings.h"

#include <errno.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <nlohmann/json.hpp>
#include <utility>

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

struct CloseDatabase {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using DatabaseHandle = std::unique_ptr<sqlite3, CloseDatabase>;

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  int prepared() const { return rc_; }
  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  int rc_;
};

std::string seconds(std::chrono::milliseconds span) {
  char text[32];
  if (span.count() % 1000 == 0)
    std::snprintf(text, sizeof text, "%lld seconds", static_cast<long long>(span.count() / 1000));
  else
    std::snprintf(text, sizeof text, "%.1f seconds", static_cast<double>(span.count()) / 1000);
  return text;
}

// What SQLite said, as a sentence a person can act on.
std::string causeOf(sqlite3* db, int rc, std::chrono::milliseconds busyTimeout) {
  const int primary = rc & 0xff;
  const std::string detail = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  const int sysErrno = db ? sqlite3_system_errno(db) : 0;
  const std::string system = sysErrno ? std::string(": ") + std::strerror(sysErrno) : "";
  switch (primary) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return "The store is busy: another program kept it locked for more than " +
             seconds(busyTimeout) + ". Nothing was changed; try again when it is done.";
    case SQLITE_FULL:
      return "The disk is full (" + detail + "). Nothing was changed.";
    case SQLITE_READONLY:
      return "The store cannot be written (" + detail + system + "). Nothing was changed.";
    case SQLITE_CANTOPEN:
      return "The file cannot be opened (" + detail + system + ").";
    case SQLITE_IOERR:
      return "Reading or writing the file failed (" + detail + system + "). Nothing was changed.";
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
      return "The file is not a usable database (" + detail + ") and could not be renamed aside.";
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return "Access to the file was refused (" + detail + system + ").";
    default:
      return "The store reported: " + detail + ". Nothing was changed.";
  }
}

int exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

struct Lookup {
  int rc = SQLITE_OK;
  std::optional<std::string> bytes;  // a blob or text value
  bool truth = false;                // a non-zero number
};

Lookup readValue(sqlite3* db, const char* key) {
  Lookup result;
  Statement s(db, "SELECT value FROM defaults WHERE key = ?");
  if ((result.rc = s.prepared()) != SQLITE_OK) return result;
  sqlite3_bind_text(s.get(), 1, key, -1, SQLITE_STATIC);
  const int rc = sqlite3_step(s.get());
  if (rc == SQLITE_DONE) return result;
  if (rc != SQLITE_ROW) {
    result.rc = rc;
    return result;
  }
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

int writeBlob(sqlite3* db, const char* key, const std::string& bytes) {
  Statement s(db, "INSERT OR REPLACE INTO defaults (key, value) VALUES (?, ?)");
  if (s.prepared() != SQLITE_OK) return s.prepared();
  sqlite3_bind_text(s.get(), 1, key, -1, SQLITE_STATIC);
  sqlite3_bind_blob64(s.get(), 2, bytes.data(), bytes.size(), SQLITE_STATIC);
  const int rc = sqlite3_step(s.get());
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

int writeTrue(sqlite3* db, const char* key) {
  Statement s(db, "INSERT OR REPLACE INTO defaults (key, value) VALUES (?, 1)");
  if (s.prepared() != SQLITE_OK) return s.prepared();
  sqlite3_bind_text(s.get(), 1, key, -1, SQLITE_STATIC);
  const int rc = sqlite3_step(s.get());
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// BEGIN IMMEDIATE takes the write lock up front, so that two processes
// queue on the busy timeout instead of both reading and one losing its
// write; what is read inside is what the write replaces.
class Transaction {
 public:
  explicit Transaction(sqlite3* db) : db_(db) { rc_ = exec(db_, "BEGIN IMMEDIATE"); }
  ~Transaction() {
    if (rc_ == SQLITE_OK && !committed_) exec(db_, "ROLLBACK");
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  int begun() const { return rc_; }
  int commit() {
    const int rc = exec(db_, "COMMIT");
    committed_ = rc == SQLITE_OK;
    return rc;
  }

 private:
  sqlite3* db_;
  int rc_;
  bool committed_ = false;
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

// The file beside the store named `<suite>` + `suffix`.
fs::path besideStore(const std::string& store, const std::string& suffix) {
  const fs::path path(store);
  return path.parent_path() / (path.stem().string() + suffix);
}

std::string hexHash(std::string_view bytes) {
  std::uint64_t h = 14695981039346656037ull;  // FNV-1a
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 1099511628211ull;
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
  return text;
}

std::optional<std::string> fileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes{std::istreambuf_iterator<char>(in), {}};
  if (in.bad()) return std::nullopt;
  return bytes;
}

void syncFolder(const fs::path& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

// Writes `bytes` as a new file `path`: a whole file or none, never over an
// existing one. Returns false (errno set) when it could not.
bool writeNewFile(const fs::path& path, std::string_view bytes) {
  std::string temporary = (path.parent_path() / ("." + path.filename().string() + ".XXXXXX"));
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) return false;
  bool ok = true;
  for (std::size_t done = 0; ok && done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  const int saved = errno;
  ::close(fd);
  ok = ok && ::link(temporary.c_str(), path.c_str()) == 0;
  const int linkErrno = errno;
  ::unlink(temporary.c_str());
  if (ok) syncFolder(path.parent_path());
  errno = ok ? 0 : (linkErrno ? linkErrno : saved);
  return ok;
}

std::string timeStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
  return text;
}

struct FileId {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileId&) const = default;
};

std::optional<FileId> fileId(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
  return FileId{st.st_dev, st.st_ino};
}

// Moves the unusable file `path` (still the file `id`) aside under a name
// not yet taken; nothing when it could not or `path` is another file now.
std::optional<std::string> renameAside(const std::string& path, const FileId& id) {
  if (fileId(path) != id) return std::nullopt;
  const std::string stamp = timeStamp();
  for (int n = 1; n < 100; ++n) {
    std::string suffix = ".unusable-" + stamp;
    if (n > 1) suffix.append(1, '-').append(std::to_string(n));
    const std::string aside = besideStore(path, suffix + ".sqlite").string();
    if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) != 0) {
      if (errno == EEXIST) continue;
      return std::nullopt;
    }
    // Another process may have put a new store in its place since it was
    // examined: that one goes back.
    if (fileId(aside) != id) {
      ::renameat2(AT_FDCWD, aside.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE);
      return std::nullopt;
    }
    // A journal left beside it belongs to it, not to the fresh store.
    const std::string journal = path + "-journal";
    if (::access(journal.c_str(), F_OK) == 0)
      ::renameat2(AT_FDCWD, journal.c_str(), AT_FDCWD, (aside + "-journal").c_str(),
                  RENAME_NOREPLACE);
    syncFolder(fs::path(path).parent_path());
    return aside;
  }
  return std::nullopt;
}

bool unusable(int rc) {
  const int primary = rc & 0xff;
  return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT;
}

}  // namespace

PresetStoreError::PresetStoreError(std::string file, std::string cause)
    : std::runtime_error("the presets in \"" + file + "\" could not be read or saved: " + cause),
      file_(std::move(file)),
      cause_(std::move(cause)) {}

struct Settings::Database {
  std::string path;
  std::mutex mutex;  // one transaction at a time on the shared connection
  DatabaseHandle handle;
  bool seeded = false;
  std::string damage;  // what the integrity check found, if anything
  std::chrono::milliseconds busyTimeout = kBusyTimeout;

  PresetStoreError error(int rc) const {
    return PresetStoreError(path, causeOf(handle.get(), rc, busyTimeout));
  }

  // The open connection, opened (and the file checked and seeded) on first
  // use and retried on later uses until that succeeds. Call under `mutex`.
  sqlite3* connection() {
    if (!handle) open();
    if (!seeded) seed();
    return handle.get();
  }

  void open() {
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    if (ec) throw PresetStoreError(path, "Its folder cannot be made (" + ec.message() + ").");
    for (int attempt = 0;; ++attempt) {
      const std::optional<FileId> examined = fileId(path);
      sqlite3* raw = nullptr;
      const int rc = sqlite3_open_v2(
          path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
          nullptr);
      handle.reset(raw);
      if (rc != SQLITE_OK) {
        const PresetStoreError e = error(rc);
        handle.reset();
        throw e;
      }
      sqlite3_busy_timeout(handle.get(), static_cast<int>(busyTimeout.count()));
      const int checked = check();
      if (checked == SQLITE_OK) {
        // Each commit reaches the disk before it is reported done.
        exec(handle.get(), "PRAGMA synchronous = FULL");
        return;
      }
      const PresetStoreError e = error(checked);
      const std::string why =
          damage.empty() ? sqlite3_errmsg(handle.get()) : "its integrity check found " + damage;
      handle.reset();
      if (!unusable(checked) || !examined) throw e;
      if (attempt > 2) throw e;
      if (const auto aside = renameAside(path, *examined)) {
        std::cerr << "kadro: the preset store " << path << " is not a usable database (" << why
                  << "); it was renamed to " << *aside
                  << " and a fresh store with the built-in presets is made\n";
      }
      // Renamed, or already replaced by another process: open again.
    }
  }

  // The key-value table, made when missing. A file that is no database, or
  // a database with a table of that name and other columns, fails here.
  int check() {
    sqlite3* h = handle.get();
    if (const int rc = exec(h, "SELECT count(*) FROM sqlite_master"); rc != SQLITE_OK) return rc;
    // A damaged file can still open and answer lookups through a broken
    // index with another row, so that the stored document looks missing
    // and would be replaced by the built-ins. The full check compares the
    // index with the table, which quick_check skips; on a store of a few
    // pages it costs well under a millisecond.
    {
      Statement integrity(h, "PRAGMA integrity_check(1)");
      if (const int rc = integrity.prepared(); rc != SQLITE_OK) return rc;
      const int rc = sqlite3_step(integrity.get());
      if (rc != SQLITE_ROW) return rc;
      const auto* verdict = sqlite3_column_text(integrity.get(), 0);
      if (!verdict || std::string_view(reinterpret_cast<const char*>(verdict)) != "ok") {
        damage = verdict ? reinterpret_cast<const char*>(verdict) : "no answer";
        return SQLITE_CORRUPT;
      }
    }
    if (const int rc =
            exec(h, "CREATE TABLE IF NOT EXISTS defaults (key TEXT PRIMARY KEY NOT NULL, value)");
        rc != SQLITE_OK)
      return rc;
    Statement probe(h, "SELECT value FROM defaults WHERE key = ?");
    if (probe.prepared() != SQLITE_OK) return SQLITE_CORRUPT;
    return SQLITE_OK;
  }

  // First use: the built-in presets, once per file. Checked again under the
  // write lock, so that of two processes starting together only one seeds,
  // and never over presets the other has saved.
  void seed() {
    sqlite3* h = handle.get();
    const Lookup marker = readValue(h, kInitializedKey);
    if (marker.rc != SQLITE_OK) throw error(marker.rc);
    if (marker.truth) {
      seeded = true;
      return;
    }
    Transaction t(h);
    if (t.begun() != SQLITE_OK) throw error(t.begun());
    if (readValue(h, kInitializedKey).truth) {
      seeded = true;
      return;
    }
    // A file that already holds a document keeps it, whatever its marker
    // says.
    const Lookup stored = readValue(h, kPresetsKey);
    if (stored.rc != SQLITE_OK) throw error(stored.rc);
    if (!stored.bytes)
      if (const int rc = writeBlob(h, kPresetsKey, encodePresets(defaultPresets()));
          rc != SQLITE_OK)
        throw error(rc);
    if (const int rc = writeTrue(h, kInitializedKey); rc != SQLITE_OK) throw error(rc);
    if (const int rc = t.commit(); rc != SQLITE_OK) throw error(rc);
    seeded = true;
  }
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
  static Settings store(suitePath(domain()));
  return store;
}

Settings::Settings(std::string path, std::chrono::milliseconds busyTimeout)
    : db_(std::make_unique<Database>()) {
  db_->path = std::move(path);
  db_->busyTimeout = busyTimeout;
}

Settings::~Settings() = default;

const std::string& Settings::path() const { return db_->path; }

void Settings::setBusyTimeout(std::chrono::milliseconds timeout) {
  std::lock_guard lock(db_->mutex);
  db_->busyTimeout = timeout;
  if (db_->handle) sqlite3_busy_timeout(db_->handle.get(), static_cast<int>(timeout.count()));
}

PresetRead Settings::read() const {
  PresetRead result;
  Lookup stored;
  try {
    std::lock_guard lock(db_->mutex);
    stored = readValue(db_->connection(), kPresetsKey);
    if (stored.rc != SQLITE_OK) throw db_->error(stored.rc);
  } catch (const PresetStoreError& e) {
    result.presets = defaultPresets();
    result.failure = e;
    return result;
  }
  if (!stored.bytes) {
    result.presets = defaultPresets();
    return result;
  }
  try {
    result.presets = decodePresets(*stored.bytes);
  } catch (const std::exception& e) {
    diagnosticLine(std::string("unable to decode preset: ") + e.what());
    result.presets = defaultPresets();
    result.failure = PresetStoreError(
        db_->path, std::string("The stored presets could not be decoded (") + e.what() +
                       "). They stay stored as they are; the preset editor offers the built-in "
                       "presets instead, and its first Save copies them aside before anything "
                       "replaces them.");
    return result;
  }
  if (result.presets.empty()) result.presets.emplace("Default", Action("Default", "square", 400));
  return result;
}

PresetMap Settings::presets() const { return read().presets; }

void Settings::update(const std::function<void(PresetMap&)>& change) {
  std::lock_guard lock(db_->mutex);
  sqlite3* h = db_->connection();
  Transaction t(h);
  if (t.begun() != SQLITE_OK) throw db_->error(t.begun());
  const Lookup stored = readValue(h, kPresetsKey);
  if (stored.rc != SQLITE_OK) throw db_->error(stored.rc);

  PresetMap presets;
  if (!stored.bytes) {
    presets = defaultPresets();
  } else {
    try {
      presets = decodePresets(*stored.bytes);
      if (presets.empty()) presets.emplace("Default", Action("Default", "square", 400));
    } catch (const std::exception& e) {
      // Kept aside before anything replaces it; once it is, the change
      // starts from the built-ins, which is what a reader was shown.
      const fs::path aside =
          besideStore(db_->path, ".damaged-presets-" + hexHash(*stored.bytes) + ".json");
      if (fileBytes(aside) != stored.bytes) {
        if (!writeNewFile(aside, *stored.bytes))
          throw PresetStoreError(
              db_->path, std::string("The stored presets could not be decoded (") + e.what() +
                             ") and could not be copied to \"" + aside.string() + "\" (" +
                             std::strerror(errno) + "). Nothing was changed.");
        throw PresetStoreError(
            db_->path, std::string("The stored presets could not be decoded (") + e.what() +
                           "). They were copied to \"" + aside.string() +
                           "\" and nothing was changed. Save again to replace them with the "
                           "presets shown.");
      }
      presets = defaultPresets();
    }
  }

  change(presets);

  std::string document;
  try {
    document = encodePresets(presets);
  } catch (const nlohmann::json::exception& e) {
    throw PresetStoreError(db_->path, std::string("The presets cannot be written as JSON (") +
                                          e.what() + "). Nothing was changed.");
  }
  if (const int rc = writeBlob(h, kPresetsKey, document); rc != SQLITE_OK) throw db_->error(rc);
  if (const int rc = t.commit(); rc != SQLITE_OK) throw db_->error(rc);
}

void Settings::setPresets(const PresetMap& presets) {
  update([&](PresetMap& stored) { stored = presets; });
}

}  // namespace kadro
