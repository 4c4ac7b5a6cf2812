// Choosing the name of a published copy: the file's own name in the
// destination folder, or "name 1.ext", "name 2.ext", ... when it is taken.
#pragma once

#include <string>

namespace kadro {

// The "file:" URL of a file in `folderUrl` (a "file:" URL) that did not
// exist: `filename` itself, else the name with " " and the first free number
// before its extension. The chosen name is claimed by creating it empty and
// exclusively, so two exports into one folder at the same time never pick
// the same name; the image job then replaces the empty file. When the
// folder is missing or unwritable the plain candidate is returned unclaimed
// and the job's write reports the failure.
std::string uniquePathname(const std::string& folderUrl, const std::string& filename);

// Removes a claimed name that the image job did not fill (the empty file
// left by uniquePathname); a file with content is never removed.
void releaseUnusedClaim(const std::string& fileUrl);

}  // namespace kadro
