// The image job: one picture file in, one cropped, shaped, resized and
// framed picture file out, as a preset says.
#pragma once

#include <optional>
#include <string>

#include "Plugin/action.h"
#include "SmartCrop/faces.h"
#include "SmartCrop/output_file.h"

namespace kadro {

// Crops `from` around its one face and writes the result to `to` (PNG for a
// "png" extension, else JPEG) with the source's vertical resolution. Both
// are "file:" URL texts or plain paths, and may name the same file. Without
// a single face the whole picture is written, cut to the preset's shape but
// neither resized nor framed. True when the destination was written
// completely; on false it is left as it was.
bool processImage(const std::string& from, const std::string& to, const Action& preset);

// The same with the faces that `detect` finds (tests pass a stand-in list).
bool processImage(const std::string& from, const std::string& to, const Action& preset,
                  const FaceDetector& detect);

// The job as publishing runs it: when `to` names the source file itself the
// job replaces it in place, only while it is still the file that was read;
// otherwise a name taken by the time the result is complete gives way to
// the first free `alternative` (without one, the file there when the write
// starts is replaced). The path written, or nothing.
std::optional<std::string> processImage(const std::string& from, const std::string& to,
                                        const Action& preset, const FaceDetector& detect,
                                        const AlternativeName& alternative);

}  // namespace kadro
