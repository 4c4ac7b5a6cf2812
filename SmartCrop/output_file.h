// Putting a new file in place. It is written beside its destination, as an
// unnamed file where the file system allows it (else under a hidden name),
// and takes the destination's name only once complete: a stopped or killed
// run leaves either the whole file or nothing under that name. Everything
// happens relative to the folder opened once; a link at the final name is
// never followed.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>

namespace kadro {

// What a file was when it was looked at: a replacement goes ahead only while
// the name still holds this file, unchanged.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};

  static FileIdentity of(const struct stat& info);
  bool sameFile(const struct stat& info) const {
    return info.st_dev == device && info.st_ino == inode;
  }
  friend bool operator==(const FileIdentity& a, const FileIdentity& b) {
    return a.device == b.device && a.inode == b.inode && a.size == b.size &&
           a.modified.tv_sec == b.modified.tv_sec && a.modified.tv_nsec == b.modified.tv_nsec;
  }
};

// The k-th name (1, 2, ...) to try in the same folder when the wanted one is
// taken by the time the file is complete.
using AlternativeName = std::function<std::string(unsigned k)>;

// A cause for a failed file operation in words a person can act on
// ("permission denied", "no space left on the device", ...).
std::string fileErrorCause(int error);

class OutputFile {
 public:
  // Opens the folder of `path` and an empty file in it. Nothing, with the
  // path and the cause in `error`, when either cannot be made.
  static std::optional<OutputFile> create(const std::string& path, std::string* error);

  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&&) = delete;
  // Removes the file unless it took its name.
  ~OutputFile();

  int fd() const { return fd_; }
  // The destination, as given.
  const std::string& path() const { return path_; }
  // The destination's folder and name.
  int folder() const { return dir_; }
  const std::string& name() const { return name_; }

  // Replaces the file at the destination, which must still be `expected`
  // (same device, inode, size and modification time); anything else there,
  // or nothing, is left alone and the call fails. The new file gets the
  // permissions (and, where allowed, the owner) of the one it replaces.
  bool replace(const FileIdentity& expected, std::string* error);

  // Gives the file the destination's name only while that name is free, else
  // the first free `alternative` (without one, a taken name fails); nothing
  // is replaced. The path written, or nothing.
  std::optional<std::string> publish(const AlternativeName& alternative, std::string* error);

 private:
  OutputFile(std::string path, std::string name, int dir) noexcept
      : path_(std::move(path)), name_(std::move(name)), dir_(dir) {}
  bool open(std::string* error);
  bool finish(std::string* error);
  bool nameHidden(std::string* error);
  // Tries fresh hidden names beside the final one until `make(name)`
  // creates one (false with errno EEXIST when the name is taken).
  template <typename Make>
  bool takeHiddenName(const Make& make, std::string* error);
  void forgetHidden();

  std::string path_;
  std::string name_;
  int dir_ = -1;
  int fd_ = -1;
  std::string hidden_;  // the hidden name, while the file has one
  int slot_ = -1;       // its place among the names removed on a fatal signal
};

// For tests: named hidden files even where unnamed ones work, and a call
// made just before a finished file takes its name (to change the destination
// at the last moment).
void useNamedTemporariesForTesting(bool named);
void setBeforeCommitHookForTesting(std::function<void()> hook);

}  // namespace kadro
