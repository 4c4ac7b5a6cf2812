// "file:" URL text and file-system paths, both ways, with uriparser.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kadro {

// The "file:" URL of an absolute path, percent-encoded where RFC 3986 asks
// (spaces, non-ASCII bytes).
std::string fileUrlFromPath(const std::string& path);

// The path a "file:" URL names, decoded; nothing when the text is no
// absolute file URL.
std::optional<std::string> pathFromFileUrl(std::string_view url);

// True when the text parses as an absolute URL (a scheme followed by the
// rest), as RFC 3986 defines it.
bool isAbsoluteUrl(std::string_view text);

// The current user's home folder ($HOME, else the password database).
std::string homeDirectory();

}  // namespace kadro
