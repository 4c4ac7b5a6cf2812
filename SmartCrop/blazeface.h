// MediaPipe's BlazeFace detector ("back camera" model, trained on 256 x 256
// inputs) run with XNNPACK. The network is convolutional, so it runs on any
// input whose sides are multiples of 32: a larger input is the same as
// tiling it with 256-pixel squares, without seams. Finding the faces of a
// whole picture is blazeface_search's work.
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

// One raw detection in input pixels (origin top-left, y down).
struct BlazeFaceDetection {
  Point centre;
  Size size;
  std::array<Point, 6> keypoints;
  double score = 0;
};

class BlazeFace {
 public:
  static constexpr int kInputSize = 256;  // the input the model was trained on
  static constexpr int kStride = 32;      // input sides are multiples of this

  // Reads the model at `path` (BlazeFace's ONNX file) and checks that it
  // runs; nothing (and `error` says why) for a missing, damaged or foreign
  // file.
  static std::unique_ptr<BlazeFace> load(const std::string& path, std::string& error);

  // Threads each forward pass may use, for the whole process (0: as many
  // as there are cores this process may run on, never more). Several jobs
  // that already fill the cores run best with one each.
  static void setThreadsPerPass(int threads);

  ~BlazeFace();
  BlazeFace(const BlazeFace&) = delete;
  BlazeFace& operator=(const BlazeFace&) = delete;

  // Every anchor scoring at least `minScore` on `input` (three bands of 8-bit
  // sRGB, both sides multiples of kStride), unmerged; nothing for any other
  // input. Safe to call from several threads at once: each pass runs on a
  // network of its own, one already set up for the input's shape when a
  // recent pass had that shape.
  std::vector<BlazeFaceDetection> detect(const vips::VImage& input, double minScore) const;

 private:
  struct Impl;
  explicit BlazeFace(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace kadro
