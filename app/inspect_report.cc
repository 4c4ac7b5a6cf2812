#include "app/inspect_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vips/vips8>

#include "SmartCrop/crop.h"
#include "SmartCrop/faces.h"
#include "SmartCrop/image_io.h"

namespace kadro::app {
namespace {

// Pixel values to a tenth: finer means nothing for a face box.
double tenth(double v) { return std::round(v * 10) / 10; }

// The copy the detector looks at: reduced to a long side of at least
// kDetectionSide as the image job reduces it, decoded at 1/2, 1/4 or 1/8
// where the format allows and streamed otherwise, so memory follows the
// reduced size rather than what the header declares.
Raster detectionCopy(const ImageSource& source) {
  constexpr int kDetectionSide = 1024;
  const int longSide = std::max(source.width(), source.height());
  const int shortSide = std::min(source.width(), source.height());
  int shrink = 1;
  if (source.shrinksOnLoad())
    for (int s : {8, 4, 2})
      if (longSide / s >= kDetectionSide && shortSide >= s) {
        shrink = s;
        break;
      }
  vips::VImage copy = source.decode(shrink, /*streamed=*/true).image();
  const int factor = std::min(longSide / shrink / kDetectionSide, shortSide / shrink);
  if (factor >= 2) copy = copy.shrink(factor, factor);
  // Decoded here, so a damaged file fails as such rather than inside the
  // detector, which would call it faceless.
  return Raster(copy.copy_memory());
}

}  // namespace

Report inspect(const Raster& image) { return inspect(image, image.width(), image.height()); }

Report inspect(const Raster& image, int width, int height) {
  Report report{width, height, {}, std::nullopt, ""};
  // Every face, groups too: the report decides about groups itself.
  const std::vector<FaceObservation> faces = detectFace(image, /*skipGroups=*/false);
  for (const FaceObservation& f : faces) {
    const std::optional<Point> eye = averageEyeHeight(f);
    report.faces.push_back(
        {pixelRect(f.boundingBox, width, height),
         eye ? std::optional(pixelPoint(*eye, f.boundingBox, width, height)) : std::nullopt,
         f.confidence, f.sure});
  }
  if (faces.empty()) {
    report.reason = "no face";
  } else if (faces.size() > 1) {
    report.reason = std::to_string(faces.size()) + " faces:";
    for (std::size_t i = 0; i < report.faces.size(); ++i) {
      const FaceReport& f = report.faces[i];
      char text[160];
      std::snprintf(text, sizeof text, "%s one %sat (%.0f, %.0f), %.0f px wide, score %.2f",
                    i > 0 ? ";" : "", f.sure ? "" : "that may be a face ", f.box.x, f.box.y,
                    f.box.width, f.score);
      report.reason += text;
    }
  } else {
    const FaceObservation& face = faces.front();
    report.crop = wholePixelRect(
        cropRectangle(width, height, face.boundingBox, averageEyeHeight(face)),
        width, height);
    if (!report.crop) report.reason = "empty cut";
  }
  return report;
}

nlohmann::ordered_json toJson(const std::string& file, const Report& r) {
  using json = nlohmann::ordered_json;
  json faces = json::array();
  for (const FaceReport& f : r.faces) {
    faces.push_back(
        {{"box", {tenth(f.box.x), tenth(f.box.y), tenth(f.box.width), tenth(f.box.height)}},
         {"eye", f.eye ? json{tenth(f.eye->x), tenth(f.eye->y)} : json(nullptr)},
         {"score", std::round(f.score * 1000) / 1000},
         {"sure", f.sure}});
  }
  json j = {{"file", file}, {"width", r.width}, {"height", r.height}, {"faces", faces}};
  j["crop"] = r.crop ? json{r.crop->x, r.crop->y, r.crop->width, r.crop->height} : json(nullptr);
  j["reason"] = r.reason.empty() ? json(nullptr) : json(r.reason);
  return j;
}

std::optional<Report> inspectFile(const std::string& file, std::string* error) {
  std::string why;
  const std::optional<ImageSource> source = ImageSource::open(file, &why);
  if (!source) {
    if (error) *error = why;
    return std::nullopt;
  }
  try {
    return inspect(detectionCopy(*source), source->width(), source->height());
  } catch (const vips::VError& e) {
    // The decoder fails only when the pixels are read.
    if (error) *error = readFailureLine(file, e);
    return std::nullopt;
  }
}

}  // namespace kadro::app
