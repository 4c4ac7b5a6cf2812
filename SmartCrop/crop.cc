#include "SmartCrop/crop.h"

#include <algorithm>

namespace kadro {
namespace {

// Moves (never resizes) the rectangle into the picture: right edge first,
// then left, bottom, then top; so a rectangle larger than the picture ends at
// x = 0 or y = 0 and overhangs the far edge.
Rect keepInside(Rect r, int width, int height) {
  if (r.x + r.width > width) r.x -= r.x + r.width - width;
  if (r.x < 0) r.x = 0;
  if (r.y + r.height > height) r.y -= r.y + r.height - height;
  if (r.y < 0) r.y = 0;
  return r;
}

}  // namespace

Rect cropRectangle(int width, int height, const Rect& faceBox, const std::optional<Point>& eye) {
  const double W = width;
  const double H = height;
  // Face rectangle in pixel space, top-left corner first.
  const double fx = faceBox.x * W;
  const double fy = (1 - faceBox.y - faceBox.height) * H;
  const double fw = faceBox.width * W;
  const double fh = faceBox.height * H;

  Rect r;
  if (eye) {
    const double eyeY = fy + (1 - eye->y) * fh;
    // Three times the distance from the eye line down to the chin line.
    double side = 3 * (fy + fh - eyeY);
    side = std::min(side, static_cast<double>(std::min(width, height)));
    const double eyeX = fx + eye->x * fw;
    // The eye line sits 0.33 of the side below the top edge, the eyes
    // centred across.
    r = {eyeX - 0.5 * side, eyeY - 0.33 * side, side, side};
  } else {
    // Without eyes: grow the face box (across by its height, up and down by
    // its width) and move it down a tenth of its new height.
    r = {fx - 0.75 * fh, fy - 0.75 * fw, fw + 1.5 * fh, fh + 1.5 * fw};
    r.y += 0.1 * r.height;
  }
  return keepInside(r, width, height);
}

std::optional<Raster> cropImage(const Raster& image, const Action& preset,
                                const FaceDetector& detect) {
  if (preset.type == "none") return image;
  const std::vector<FaceObservation> faces = detect(image, /*skipGroups=*/true);
  if (faces.size() != 1) return std::nullopt;
  const FaceObservation& face = faces.front();
  return image.cut(
      cropRectangle(image.width(), image.height(), face.boundingBox, averageEyeHeight(face)));
}

}  // namespace kadro
