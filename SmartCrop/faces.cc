#include "SmartCrop/faces.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <mutex>

#include "Plugin/bundle.h"
#include "SmartCrop/blazeface.h"
#include "SmartCrop/blazeface_search.h"
#include "SmartCrop/diagnostics.h"

namespace kadro {
namespace {

constexpr const char* kModelFile = "face_detection_back_256x256_barracuda.onnx";

std::mutex g_pathMutex;
std::optional<std::string> g_modelPath;

}  // namespace

const FaceModel& processFaceModel() {
  static const FaceModel model = [] {
    std::optional<std::string> path;
    {
      std::lock_guard lock(g_pathMutex);
      path = g_modelPath;
    }
    if (!path) path = bundleResourcePath(kModelFile);
    if (!path) return FaceModel{nullptr, "no plug-in bundle holding " + std::string(kModelFile)};
    return loadFaceModel(*path);
  }();
  return model;
}

namespace {

// What "request results: " lists: each face's box and confidence.
std::string listing(const std::vector<FaceObservation>& faces) {
  std::string text = "[";
  for (const FaceObservation& f : faces) {
    char item[160];
    std::snprintf(item, sizeof item, "%s<face box=(%.4f, %.4f, %.4f, %.4f) confidence=%.3f>",
                  text.size() > 1 ? ", " : "", f.boundingBox.x, f.boundingBox.y,
                  f.boundingBox.width, f.boundingBox.height, f.confidence);
    text += item;
  }
  return text + "]";
}

FaceObservation toObservation(const FaceCandidate& c, int width, int height) {
  FaceObservation f;
  f.boundingBox = normalisedImageRect(c.box, width, height);
  // One point per eye stands for its outline.
  f.landmarks = FaceLandmarks{std::vector<Point>{normalisedFacePoint(c.leftEye, c.box)},
                              std::vector<Point>{normalisedFacePoint(c.rightEye, c.box)}};
  f.confidence = c.score;
  f.sure = c.sure;
  return f;
}

std::string oneLine(std::string text) {
  std::replace(text.begin(), text.end(), '\n', ' ');
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace

FaceModel loadFaceModel(const std::string& path) {
  FaceModel loaded;
  loaded.model = BlazeFace::load(path, loaded.error);
  return loaded;
}

std::vector<FaceObservation> detectFaceWith(const FaceModel& model, const Raster& image,
                                            bool skipGroups) {
  return detectFaceWith(model, image, skipGroups, SearchOptions{});
}

std::vector<FaceObservation> detectFaceWith(const FaceModel& model, const Raster& image,
                                            bool skipGroups, const SearchOptions& options,
                                            SearchCost* cost) {
  std::vector<FaceObservation> faces;
  if (!model.model) {
    diagnosticLine("! error in face detection " + model.error);
    return faces;
  }
  // A group is left whole, so the crop needs only its first two faces.
  SearchOptions search = options;
  search.countAll = options.countAll && !skipGroups;
  try {
    for (const FaceCandidate& c : searchFaces(*model.model, image.image(), search, cost))
      faces.push_back(toObservation(c, image.width(), image.height()));
  } catch (const std::exception& e) {
    vips_error_clear();
    diagnosticLine("! error in face detection " + oneLine(e.what()));
    return {};
  }
  diagnosticLine("request results: " + listing(faces));
  diagnosticLine("Found " + std::to_string(faces.size()) + " faces");
  if (faces.size() >= 2 && skipGroups) {
    diagnosticLine("Skipping groups");
    return {};
  }
  return faces;
}

std::vector<FaceObservation> detectFace(const Raster& image, bool skipGroups) {
  return detectFaceWith(processFaceModel(), image, skipGroups);
}

std::optional<Point> averageEyeHeight(const FaceObservation& face) {
  std::vector<Point> points;
  if (face.landmarks) {
    if (face.landmarks->leftEye) points = *face.landmarks->leftEye;
    if (face.landmarks->rightEye)
      points.insert(points.end(), face.landmarks->rightEye->begin(),
                    face.landmarks->rightEye->end());
  }
  if (points.empty()) return std::nullopt;
  double minX = 3.4028234663852886e38, minY = minX, maxX = 0, maxY = 0;
  for (const Point& p : points) {
    minX = std::min(minX, p.x);
    maxX = std::max(maxX, p.x);
    minY = std::min(minY, p.y);
    maxY = std::max(maxY, p.y);
  }
  return Point{(minX + maxX) * 0.5, (minY + maxY) * 0.5};
}

void setFaceModelPath(std::string path) {
  std::lock_guard lock(g_pathMutex);
  g_modelPath = std::move(path);
}

Rect normalisedImageRect(const Rect& pixels, int width, int height) {
  const double w = width, h = height;
  return {pixels.x / w, 1 - (pixels.y + pixels.height) / h, pixels.width / w, pixels.height / h};
}

Rect pixelRect(const Rect& normalised, int width, int height) {
  const double w = width, h = height;
  return {normalised.x * w, (1 - normalised.y - normalised.height) * h, normalised.width * w,
          normalised.height * h};
}

Point normalisedFacePoint(const Point& pixel, const Rect& pixelBox) {
  return {(pixel.x - pixelBox.x) / pixelBox.width, 1 - (pixel.y - pixelBox.y) / pixelBox.height};
}

Point pixelPoint(const Point& facePoint, const Rect& normalisedBox, int width, int height) {
  const Rect box = pixelRect(normalisedBox, width, height);
  return {box.x + facePoint.x * box.width, box.y + (1 - facePoint.y) * box.height};
}

}  // namespace kadro
