#include "app/inspect_report.h"

#include <cmath>
#include <cstdio>

#include "SmartCrop/crop.h"
#include "SmartCrop/faces.h"

namespace kadro::app {
namespace {

// Pixel values to a tenth: finer means nothing for a face box.
double tenth(double v) { return std::round(v * 10) / 10; }

}  // namespace

Report inspect(const PictureFaces& picture) {
  Report report{picture.width, picture.height, {}, picture.crop, ""};
  for (const FaceObservation& f : picture.faces) {
    const std::optional<Point> eye = averageEyeHeight(f);
    report.faces.push_back(
        {pixelRect(f.boundingBox, picture.width, picture.height),
         eye ? std::optional(pixelPoint(*eye, f.boundingBox, picture.width, picture.height))
             : std::nullopt,
         f.confidence, f.sure});
  }
  if (picture.faces.empty()) {
    report.reason = "no face";
  } else if (picture.faces.size() > 1) {
    report.reason = std::to_string(picture.faces.size()) + " faces:";
    for (std::size_t i = 0; i < report.faces.size(); ++i) {
      const FaceReport& f = report.faces[i];
      char text[160];
      std::snprintf(text, sizeof text, "%s one %sat (%.0f, %.0f), %.0f px wide, score %.2f",
                    i > 0 ? ";" : "", f.sure ? "" : "that may be a face ", f.box.x, f.box.y,
                    f.box.width, f.score);
      report.reason += text;
    }
  } else if (!report.crop) {
    report.reason = "empty cut";
  }
  return report;
}

std::optional<Report> inspectFile(const std::string& file, std::string* error,
                                  std::int64_t maxSize) {
  const std::optional<PictureFaces> picture = inspectImage(file, maxSize, detectFace, error);
  if (!picture) return std::nullopt;
  return inspect(*picture);
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

}  // namespace kadro::app
