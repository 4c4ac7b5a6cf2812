#include "SmartCrop/faces.h"

#include <algorithm>

// Placeholder detector until the BlazeFace adapter lands: no faces.
namespace kadro {

std::vector<FaceObservation> detectFace(const Raster&, bool) { return {}; }

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

void setFaceModelPath(std::string) {}

}  // namespace kadro
