#include "tests/store_test_support.h"

#include <sys/wait.h>
#include <unistd.h>

namespace kadro::testing {

StoreLock::StoreLock(const std::filesystem::path& path) {
  int locked[2];
  int release[2];
  if (pipe(locked) != 0) return;
  if (pipe(release) != 0) {
    close(locked[0]);
    close(locked[1]);
    return;
  }
  child_ = fork();
  if (child_ == 0) {
    close(locked[0]);
    close(release[1]);
    sqlite3* db = nullptr;
    const bool ok = sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
                    sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) == SQLITE_OK;
    const char answer = ok ? 'y' : 'n';
    if (write(locked[1], &answer, 1) != 1) _exit(1);
    char byte;
    while (read(release[0], &byte, 1) > 0) {
    }
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    _exit(0);
  }
  close(locked[1]);
  close(release[0]);
  release_ = release[1];
  char answer = 'n';
  held_ = child_ > 0 && read(locked[0], &answer, 1) == 1 && answer == 'y';
  close(locked[0]);
}

void StoreLock::release() {
  if (release_ >= 0) close(release_);
  release_ = -1;
  if (child_ > 0) waitpid(child_, nullptr, 0);
  child_ = -1;
  held_ = false;
}

StoreLock::~StoreLock() { release(); }

RawStore::RawStore(const std::filesystem::path& path) {
  sqlite3_open(path.c_str(), &db_);
  sqlite3_busy_timeout(db_, 10000);
  sqlite3_exec(db_, "CREATE TABLE IF NOT EXISTS defaults (key TEXT PRIMARY KEY NOT NULL, value)",
               nullptr, nullptr, nullptr);
}

RawStore::~RawStore() { sqlite3_close(db_); }

std::optional<std::string> RawStore::bytes(const char* key) {
  sqlite3_stmt* s = nullptr;
  sqlite3_prepare_v2(db_, "SELECT value FROM defaults WHERE key = ?", -1, &s, nullptr);
  sqlite3_bind_text(s, 1, key, -1, SQLITE_STATIC);
  std::optional<std::string> result;
  if (sqlite3_step(s) == SQLITE_ROW) {
    const auto* data = static_cast<const char*>(sqlite3_column_blob(s, 0));
    result = std::string(data ? data : "", sqlite3_column_bytes(s, 0));
  }
  sqlite3_finalize(s);
  return result;
}

void RawStore::put(const char* key, const std::string& blob) {
  sqlite3_stmt* s = nullptr;
  sqlite3_prepare_v2(db_, "INSERT OR REPLACE INTO defaults VALUES (?, ?)", -1, &s, nullptr);
  sqlite3_bind_text(s, 1, key, -1, SQLITE_STATIC);
  sqlite3_bind_blob(s, 2, blob.data(), static_cast<int>(blob.size()), SQLITE_STATIC);
  sqlite3_step(s);
  sqlite3_finalize(s);
}

void RawStore::putTrue(const char* key) {
  const std::string sql = std::string("INSERT OR REPLACE INTO defaults VALUES ('") + key + "', 1)";
  sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
}

}  // namespace kadro::testing
