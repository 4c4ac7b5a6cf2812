#include "Plugin/unique_pathname.h"

#include <sys/stat.h>

#include "Plugin/file_url.h"

namespace kadro {
namespace {

bool taken(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

}  // namespace

std::string numberedName(const std::string& filename, unsigned long k) {
  // The extension is the text after the last "." of the name.
  const std::size_t dot = filename.rfind('.');
  const bool hasExtension = dot != std::string::npos && dot > 0;
  const std::string stem = hasExtension ? filename.substr(0, dot) : filename;
  const std::string extension = hasExtension ? filename.substr(dot) : "";
  return stem + " " + std::to_string(k) + extension;
}

std::string uniquePathname(const std::string& folderUrl, const std::string& filename) {
  std::string folder = pathFromFileUrl(folderUrl).value_or(folderUrl);
  if (folder.empty() || folder.back() != '/') folder += '/';
  if (!taken(folder + filename)) return fileUrlFromPath(folder + filename);
  for (unsigned long k = 1;; ++k) {
    const std::string path = folder + numberedName(filename, k);
    if (!taken(path)) return fileUrlFromPath(path);
  }
}

}  // namespace kadro
