#include "SmartCrop/output_file.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <random>
#include <utility>

namespace kadro {
namespace {

// ---- hidden names removed when a signal ends the process -------------------

struct HiddenName {
  std::atomic<bool> taken{false};  // the slot belongs to a file
  std::atomic<bool> live{false};   // dir and name are set
  int dir = -1;
  char name[NAME_MAX + 1] = {};
};
HiddenName g_hidden[64];

// Signals whose default action ends the process.
constexpr int kEndingSignals[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGXFSZ,
                                  SIGSEGV, SIGBUS, SIGILL, SIGFPE,  SIGABRT};

void onEndingSignal(int signal) {
  // Only async-signal-safe calls: unlinkat, sigaction, raise.
  for (HiddenName& h : g_hidden)
    if (h.live.load()) ::unlinkat(h.dir, h.name, 0);
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  ::sigaction(signal, &fallback, nullptr);
  // Delivered with the default action once the handler returns (a fault
  // simply happens again).
  ::raise(signal);
}

// Where a signal would end the process without a word, the hidden files go
// first. A handler the host installed itself stays: the host decides.
void guardEndingSignals() {
  for (int signal : kEndingSignals) {
    struct sigaction current {};
    if (::sigaction(signal, nullptr, &current) != 0) continue;
    if ((current.sa_flags & SA_SIGINFO) || current.sa_handler != SIG_DFL) continue;
    struct sigaction action {};
    action.sa_handler = onEndingSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(signal, &action, nullptr);
  }
}

int remember(int dir, const std::string& name) {
  if (name.size() > NAME_MAX) return -1;
  guardEndingSignals();
  for (int i = 0; i < static_cast<int>(std::size(g_hidden)); ++i) {
    bool expected = false;
    if (!g_hidden[i].taken.compare_exchange_strong(expected, true)) continue;
    g_hidden[i].dir = dir;
    std::memcpy(g_hidden[i].name, name.c_str(), name.size() + 1);
    g_hidden[i].live.store(true);
    return i;
  }
  return -1;  // more files at once than slots: the name is still removed normally
}

void forget(int slot) {
  if (slot < 0) return;
  g_hidden[slot].live.store(false);
  g_hidden[slot].taken.store(false);
}

// ---- test hooks -------------------------------------------------------------

std::atomic<bool> g_namedOnly{false};
std::mutex g_hookMutex;
std::function<void()> g_beforeCommit;

void beforeCommit() {
  std::function<void()> hook;
  {
    std::lock_guard lock(g_hookMutex);
    hook = g_beforeCommit;
  }
  if (hook) hook();
}

// ---- helpers ---------------------------------------------------------------

std::string hiddenName(const std::string& name) {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  char suffix[17];
  std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random()));
  // Part of the name is enough to tell whose file it is; all of it could
  // make the hidden name too long.
  std::string hidden(1, '.');
  hidden.append(name, 0, 64);
  hidden.append(".kadro-");
  hidden.append(suffix);
  return hidden;
}

std::string procPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

bool noHardLinks(int error) { return error == EPERM || error == EOPNOTSUPP || error == ENOTSUP; }

void syncFolder(int dir) {
  // Makes the new name durable; the file is complete either way.
  ::fsync(dir);
}

}  // namespace

FileIdentity FileIdentity::of(const struct stat& info) {
  return {info.st_dev, info.st_ino, info.st_size, info.st_mtim};
}

std::string fileErrorCause(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
      return "permission denied";
    case ENOSPC:
    case EDQUOT:
      return "no space left on the device";
    case EFBIG:
      return "file too large (the file system's or the process's size limit)";
    case EROFS:
      return "read-only file system";
    case ENOENT:
      return "no such file or folder";
    case ENOTDIR:
      return "not a folder";
    case EISDIR:
      return "is a folder";
    case ELOOP:
      return "is a symbolic link";
    case ENAMETOOLONG:
      return "name too long";
    case EIO:
      return "input/output error on the device";
    default: {
      std::string text = std::strerror(error);
      if (!text.empty())
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
      return text;
    }
  }
}

std::optional<OutputFile> OutputFile::create(const std::string& path, std::string* error) {
  const std::size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : path.substr(0, slash);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") {
    *error = path + ": not a file name";
    return std::nullopt;
  }
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    const int e = errno;
    *error = path + ": " +
             (e == ENOENT    ? "the folder " + folder + " does not exist"
              : e == ENOTDIR ? folder + " is not a folder"
                             : fileErrorCause(e));
    return std::nullopt;
  }
  OutputFile file(path, name, dir);
  if (!file.open(error)) return std::nullopt;
  return file;
}

bool OutputFile::open(std::string* error) {
  if (!g_namedOnly.load()) {
    // Unnamed until it is complete, so nothing is left behind whatever ends
    // the process. Naming it later goes through /proc.
    fd_ = ::openat(dir_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd_ >= 0 && ::access(procPath(fd_).c_str(), F_OK) == 0) return true;
    const int e = errno;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    // Where the file system has no unnamed files, a hidden name it is.
    if (e != EOPNOTSUPP && e != EISDIR && e != EINVAL && e != ENOENT) {
      *error = path_ + ": " + fileErrorCause(e);
      return false;
    }
  }
  return takeHiddenName(
      [this](const std::string& hidden) {
        // 0666 lets the umask decide the permissions of a new file.
        fd_ = ::openat(dir_, hidden.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                       0666);
        return fd_ >= 0;
      },
      error);
}

template <typename Make>
bool OutputFile::takeHiddenName(const Make& make, std::string* error) {
  // The names are random; a taken one is only tried again a few times.
  for (int attempt = 0; attempt < 16; ++attempt) {
    const std::string hidden = hiddenName(name_);
    // Remembered before it exists, so that a signal in between removes it.
    const int slot = remember(dir_, hidden);
    if (make(hidden)) {
      hidden_ = hidden;
      slot_ = slot;
      return true;
    }
    const int e = errno;
    forget(slot);
    if (e != EEXIST) {
      *error = path_ + ": " + fileErrorCause(e);
      return false;
    }
  }
  *error = path_ + ": no free hidden name beside it";
  return false;
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : path_(std::move(other.path_)),
      name_(std::move(other.name_)),
      dir_(std::exchange(other.dir_, -1)),
      fd_(std::exchange(other.fd_, -1)),
      hidden_(std::move(other.hidden_)),
      slot_(std::exchange(other.slot_, -1)) {
  other.hidden_.clear();
}

OutputFile::~OutputFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!hidden_.empty()) ::unlinkat(dir_, hidden_.c_str(), 0);
  forget(slot_);
  if (dir_ >= 0) ::close(dir_);
}

void OutputFile::forgetHidden() {
  hidden_.clear();
  forget(slot_);
  slot_ = -1;
}

bool OutputFile::finish(std::string* error) {
  if (::fsync(fd_) != 0) {
    *error = path_ + ": " + fileErrorCause(errno);
    return false;
  }
  return true;
}

bool OutputFile::nameHidden(std::string* error) {
  return takeHiddenName(
      [this](const std::string& hidden) {
        return ::linkat(AT_FDCWD, procPath(fd_).c_str(), dir_, hidden.c_str(), AT_SYMLINK_FOLLOW) ==
               0;
      },
      error);
}

bool OutputFile::replace(const FileIdentity& expected, std::string* error) {
  if (!finish(error)) return false;
  beforeCommit();
  // A rename needs a name to move.
  if (hidden_.empty() && !nameHidden(error)) return false;
  struct stat now {};
  if (::fstatat(dir_, name_.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) {
    const int e = errno;
    *error = path_ + (e == ENOENT ? ": was removed while it was being cropped; not created again"
                                  : ": " + fileErrorCause(e));
    return false;
  }
  if (!S_ISREG(now.st_mode) || !(FileIdentity::of(now) == expected)) {
    *error = path_ +
             ": changed while it was being cropped (replaced or rewritten by another program); "
             "left as it is";
    return false;
  }
  // Root replacing someone's file hands the new one back to them; for anyone
  // else this fails harmlessly and the new file is theirs.
  (void)!::fchown(fd_, now.st_uid, now.st_gid);
  if (::fchmod(fd_, now.st_mode & 07777) != 0 ||
      ::renameat(dir_, hidden_.c_str(), dir_, name_.c_str()) != 0) {
    *error = path_ + ": " + fileErrorCause(errno);
    return false;
  }
  forgetHidden();
  syncFolder(dir_);
  return true;
}

std::optional<std::string> OutputFile::publish(const AlternativeName& alternative,
                                               std::string* error) {
  if (!finish(error)) return std::nullopt;
  beforeCommit();
  const std::size_t slash = path_.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "" : path_.substr(0, slash + 1);
  for (unsigned k = 0;; ++k) {
    const std::string candidate = k == 0 ? name_ : alternative(k);
    // A link never replaces: a name taken meanwhile, even by a symbolic
    // link, fails with EEXIST instead of being written through.
    int result = hidden_.empty() ? ::linkat(AT_FDCWD, procPath(fd_).c_str(), dir_,
                                            candidate.c_str(), AT_SYMLINK_FOLLOW)
                                 : ::linkat(dir_, hidden_.c_str(), dir_, candidate.c_str(), 0);
    bool moved = false;
    if (result != 0 && !hidden_.empty() && noHardLinks(errno)) {
      result = ::renameat2(dir_, hidden_.c_str(), dir_, candidate.c_str(), RENAME_NOREPLACE);
      moved = result == 0;
    }
    if (result == 0) {
      if (!hidden_.empty() && !moved) ::unlinkat(dir_, hidden_.c_str(), 0);
      if (!hidden_.empty()) forgetHidden();
      syncFolder(dir_);
      return folder + candidate;
    }
    const int e = errno;
    if (e == EEXIST && alternative && k < 100000) continue;
    *error = folder + candidate +
             (e == EEXIST ? ": was created by another program meanwhile; left alone"
                          : ": " + fileErrorCause(e));
    return std::nullopt;
  }
}

void useNamedTemporariesForTesting(bool named) { g_namedOnly.store(named); }

void setBeforeCommitHookForTesting(std::function<void()> hook) {
  std::lock_guard lock(g_hookMutex);
  g_beforeCommit = std::move(hook);
}

}  // namespace kadro
