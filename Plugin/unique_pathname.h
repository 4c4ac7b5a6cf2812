// Choosing the name of a published copy: the file's own name in the
// destination folder, or "name 1.ext", "name 2.ext", ... when it is taken.
#pragma once

#include <string>

namespace kadro {

// The "file:" URL of a file in `folderUrl` (a "file:" URL) that does not
// exist: `filename` itself, else the name with " " and the first free number
// before its extension. Only existence is tested (a link, even one to
// nothing, counts); nothing is created or reserved. The image job takes the
// name only if it is still free once the file is complete, and otherwise
// the next free number.
std::string uniquePathname(const std::string& folderUrl, const std::string& filename);

// `filename` with " " and `k` before its extension ("portrait 2.jpg"); a
// name that only starts with a dot (".profile") has no extension.
std::string numberedName(const std::string& filename, unsigned long k);

}  // namespace kadro
