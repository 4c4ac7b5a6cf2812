// MediaPipe's BlazeFace detector ("back camera" model, 256 x 256 input) run
// with OpenCV's dnn module. It looks at one 256 x 256 square at a time;
// finding the faces of a whole picture is blazeface_search's work.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>
#include <vips/vips8>

#include "SmartCrop/geometry.h"

namespace kadro {

// The keypoints of a detection in the model's order; right and left are the
// subject's own (the right eye is on the left of an upright frontal face).
enum BlazeFaceKeypoint { kRightEye, kLeftEye, kNoseTip, kMouth, kRightEar, kLeftEar };

// One raw detection in input pixels (0 to 256, origin top-left, y down).
struct BlazeFaceDetection {
  Point centre;
  Size size;
  std::array<Point, 6> keypoints;
  double score = 0;
};

class BlazeFace {
 public:
  static constexpr int kInputSize = 256;

  // Reads the model at `path` and checks that it answers like BlazeFace;
  // nothing (and `error` says why) for a missing, damaged or foreign file.
  static std::unique_ptr<BlazeFace> load(const std::string& path, std::string& error);

  ~BlazeFace();
  BlazeFace(const BlazeFace&) = delete;
  BlazeFace& operator=(const BlazeFace&) = delete;

  // Every anchor scoring at least `minScore` on `input` (256 x 256, three
  // bands of 8-bit sRGB), unmerged. Safe to call from several threads.
  std::vector<BlazeFaceDetection> detect(const vips::VImage& input, double minScore) const;

 private:
  struct Impl;
  explicit BlazeFace(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace kadro
