#include "Plugin/unique_pathname.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "Plugin/file_url.h"

namespace kadro {
namespace {

enum class Claim { claimed, taken, impossible };

Claim claim(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd >= 0) {
    ::close(fd);
    return Claim::claimed;
  }
  return errno == EEXIST ? Claim::taken : Claim::impossible;
}

}  // namespace

std::string uniquePathname(const std::string& folderUrl, const std::string& filename) {
  std::string folder = pathFromFileUrl(folderUrl).value_or(folderUrl);
  if (folder.empty() || folder.back() != '/') folder += '/';
  const std::string candidate = folder + filename;
  switch (claim(candidate)) {
    case Claim::claimed:
    case Claim::impossible:
      return fileUrlFromPath(candidate);
    case Claim::taken:
      break;
  }
  // The extension is the text after the last "." of the name; a name that
  // only starts with a dot (".profile") has none.
  const std::size_t dot = filename.rfind('.');
  const bool hasExtension = dot != std::string::npos && dot > 0;
  const std::string stem = hasExtension ? filename.substr(0, dot) : filename;
  const std::string extension = hasExtension ? filename.substr(dot) : "";
  for (unsigned long k = 1;; ++k) {
    const std::string path = folder + stem + " " + std::to_string(k) + extension;
    const Claim result = claim(path);
    if (result != Claim::taken) return fileUrlFromPath(path);
  }
}

void releaseUnusedClaim(const std::string& fileUrl) {
  const std::string path = pathFromFileUrl(fileUrl).value_or(fileUrl);
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0)
    ::unlink(path.c_str());
}

}  // namespace kadro
