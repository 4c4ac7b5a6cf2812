// What the face detector finds in one picture and the square a "square"
// preset cuts from it, for `kadro inspect` and the web host's Why view.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "SmartCrop/geometry.h"
#include "SmartCrop/smart_crop.h"

namespace kadro::app {

struct FaceReport {
  Rect box;  // pixel space
  std::optional<Point> eye;
  double score = 0;
  bool sure = true;
};

struct Report {
  int width = 0;
  int height = 0;
  std::vector<FaceReport> faces;
  std::optional<Rect> crop;  // whole pixels, as cut
  std::string reason;        // why not cropped; empty when cropped
};

Report inspect(const PictureFaces& picture);

// The same decode and detection as the image job for a preset of `maxSize`
// (the built-in Square preset's by default), so that "crop" is the rectangle
// the job cuts. Nothing, with the file and the cause in `error`, when the
// file cannot be read.
std::optional<Report> inspectFile(const std::string& file, std::string* error,
                                  std::int64_t maxSize = 400);

// {"file", "width", "height", "faces": [{"box", "eye", "score", "sure"}],
//  "crop", "reason"}, pixel values to a tenth.
nlohmann::ordered_json toJson(const std::string& file, const Report& report);

}  // namespace kadro::app
