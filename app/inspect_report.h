// What the face detector finds in one picture and the square a "square"
// preset cuts from it, for `kadro inspect` and the web host's Why view.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "SmartCrop/geometry.h"
#include "SmartCrop/raster.h"

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

Report inspect(const Raster& image);
// The same for a reduced copy of a picture of `width` x `height` pixels; the
// report is in the picture's own pixels.
Report inspect(const Raster& image, int width, int height);

// Loads and decodes the file first, so that a damaged file fails as such
// rather than reading as faceless. Nothing, with the file and the cause in
// `error`, when it cannot be read.
std::optional<Report> inspectFile(const std::string& file, std::string* error);

// {"file", "width", "height", "faces": [{"box", "eye", "score", "sure"}],
//  "crop", "reason"}, pixel values to a tenth.
nlohmann::ordered_json toJson(const std::string& file, const Report& report);

}  // namespace kadro::app
