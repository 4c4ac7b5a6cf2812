#include "Plugin/file_url.h"

#include <pwd.h>
#include <unistd.h>
#include <uriparser/Uri.h>

#include <cstdlib>
#include <vector>

namespace kadro {

std::string fileUrlFromPath(const std::string& path) {
  // uriparser's documented worst case: 7 + 3 * length + 1.
  std::vector<char> buffer(7 + 3 * path.size() + 1);
  if (uriUnixFilenameToUriStringA(path.c_str(), buffer.data()) != URI_SUCCESS) return "file://";
  return buffer.data();
}

bool isAbsoluteUrl(std::string_view text) {
  UriUriA uri;
  const char* error = nullptr;
  if (uriParseSingleUriExA(&uri, text.data(), text.data() + text.size(), &error) != URI_SUCCESS)
    return false;
  const bool absolute = uri.scheme.first != nullptr && uri.scheme.afterLast != uri.scheme.first;
  uriFreeUriMembersA(&uri);
  return absolute;
}

std::optional<std::string> pathFromFileUrl(std::string_view url) {
  if (!isAbsoluteUrl(url)) return std::nullopt;
  const std::string text(url);
  if (text.rfind("file:", 0) != 0) return std::nullopt;
  std::vector<char> buffer(text.size() + 1);
  if (uriUriStringToUnixFilenameA(text.c_str(), buffer.data()) != URI_SUCCESS) return std::nullopt;
  std::string path = buffer.data();
  if (path.empty() || path.front() != '/') return std::nullopt;
  return path;
}

std::string homeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}

}  // namespace kadro
