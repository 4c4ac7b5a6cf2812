#include "Plugin/file_url.h"

#include <pwd.h>
#include <unistd.h>
#include <uriparser/Uri.h>

#include <algorithm>
#include <cctype>
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

namespace {

std::string_view text(const UriTextRangeA& range) {
  if (!range.first || !range.afterLast) return {};
  return std::string_view(range.first, static_cast<std::size_t>(range.afterLast - range.first));
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

std::optional<std::string> pathFromFileUrl(std::string_view url) {
  UriUriA uri;
  const char* error = nullptr;
  if (uriParseSingleUriExA(&uri, url.data(), url.data() + url.size(), &error) != URI_SUCCESS)
    return std::nullopt;
  std::optional<std::string> path;
  // The scheme is case-insensitive, and "localhost" names this machine as
  // an empty host does (RFC 8089); any other host is a remote file.
  const std::string_view host = text(uri.hostText);
  const bool local = equalsIgnoringCase(text(uri.scheme), "file") &&
                     (host.empty() || equalsIgnoringCase(host, "localhost")) &&
                     text(uri.userInfo).empty() && text(uri.portText).empty() && !uri.query.first &&
                     !uri.fragment.first && (uri.absolutePath || uri.hostText.first);
  if (local) {
    path = "";
    for (const UriPathSegmentA* s = uri.pathHead; s; s = s->next) {
      std::string segment(text(s->text));
      segment.resize(static_cast<std::size_t>(
          uriUnescapeInPlaceExA(segment.data(), URI_FALSE, URI_BR_DONT_TOUCH) - segment.data()));
      // An escaped "/" or NUL would name another file than the URL shows.
      if (segment.find('/') != std::string::npos || segment.find('\0') != std::string::npos) {
        path.reset();
        break;
      }
      *path += '/';
      *path += segment;
    }
    if (path && path->empty()) path->push_back('/');
  }
  uriFreeUriMembersA(&uri);
  return path;
}

std::string homeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}

}  // namespace kadro
