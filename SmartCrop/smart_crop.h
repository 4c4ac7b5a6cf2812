// The image job: one picture file in, one cropped, shaped, resized and
// framed picture file out, as a preset says.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

// What the job sees in a picture: its natural size, every face the detector
// finds on the copy the job detects on (groups too, in normalised image
// space of the natural picture), and with exactly one face the rectangle of
// the picture's own pixels that a job resizing to `maxSize` cuts. That is
// the crop rectangle in whole pixels, widened to whole blocks of a reduced
// decode when the job takes the cut from one (at most the reduction less
// one pixel on each side, and the reduction leaves at least `maxSize`
// pixels across).
struct PictureFaces {
  int width = 0;
  int height = 0;
  std::vector<FaceObservation> faces;
  std::optional<Rect> crop;
};

// Nothing, and `error` naming the file and the cause, when the file cannot
// be read.
std::optional<PictureFaces> inspectImage(const std::string& path, std::int64_t maxSize,
                                         const FaceDetector& detect, std::string* error);

}  // namespace kadro
