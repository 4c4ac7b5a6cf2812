// What the preset store's tests share: another process that keeps a store
// file locked, and direct access to the file behind the store's back.
#pragma once

#include <sqlite3.h>
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

namespace kadro::testing {

// A child process holding an exclusive lock on the SQLite file `path` (as
// another program in the middle of a write would) from construction until
// release() or destruction. Nobody else can read or write it meanwhile.
class StoreLock {
 public:
  explicit StoreLock(const std::filesystem::path& path);
  ~StoreLock();
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;

  // Whether the child took the lock.
  bool held() const { return held_; }
  void release();

 private:
  pid_t child_ = -1;
  int release_ = -1;  // writing end; closing it lets the child go
  bool held_ = false;
};

// The key-value table of a store file, read and written directly.
class RawStore {
 public:
  explicit RawStore(const std::filesystem::path& path);
  ~RawStore();
  RawStore(const RawStore&) = delete;
  RawStore& operator=(const RawStore&) = delete;

  std::optional<std::string> bytes(const char* key);
  void put(const char* key, const std::string& blob);
  void putTrue(const char* key);

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace kadro::testing
