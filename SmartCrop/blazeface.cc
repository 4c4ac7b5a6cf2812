#include "SmartCrop/blazeface.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <mutex>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/dnn.hpp>

namespace kadro {
namespace {

constexpr int kFineAnchors = 16 * 16 * 2;  // stride 16, two anchors per cell
constexpr int kCoarseAnchors = 8 * 8 * 6;  // stride 32, six anchors per cell
constexpr int kRegressors = 16;            // box (4) and six keypoints (12)

// Anchor centres in input-square units (0 to 1), fine grid first: the order
// of the model's outputs.
std::vector<Point> makeAnchors() {
  std::vector<Point> anchors;
  anchors.reserve(kFineAnchors + kCoarseAnchors);
  for (auto [grid, perCell] : {std::pair{16, 2}, std::pair{8, 6}}) {
    for (int y = 0; y < grid; ++y)
      for (int x = 0; x < grid; ++x)
        for (int k = 0; k < perCell; ++k) anchors.push_back({(x + 0.5) / grid, (y + 0.5) / grid});
  }
  return anchors;
}

// Silences OpenCV's own log while a model is read: a damaged file is
// reported through our error text, not as stray lines on standard error.
class QuietOpenCv {
 public:
  QuietOpenCv()
      : previous_(cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT)) {}
  ~QuietOpenCv() { cv::utils::logging::setLogLevel(previous_); }

 private:
  cv::utils::logging::LogLevel previous_;
};

}  // namespace

struct BlazeFace::Impl {
  std::mutex mutex;  // a dnn Net runs one forward pass at a time
  cv::dnn::Net net;
  std::vector<cv::String> outputNames;
  std::vector<Point> anchors = makeAnchors();

  // Scores and regressors of both grids, in anchor order; empty when the
  // outputs are not BlazeFace's.
  bool run(const cv::Mat& blob, std::vector<float>& scores, std::vector<float>& regressors) {
    std::vector<cv::Mat> outs;
    {
      std::lock_guard lock(mutex);
      net.setInput(blob);
      net.forward(outs, outputNames);
    }
    // The four outputs are told apart by their sizes.
    const cv::Mat* parts[2][2] = {};  // [grid][scores, regressors]
    for (const cv::Mat& m : outs) {
      const std::size_t n = m.total();
      if (m.type() != CV_32F) return false;
      if (n == kFineAnchors) parts[0][0] = &m;
      if (n == kCoarseAnchors) parts[1][0] = &m;
      if (n == std::size_t{kFineAnchors} * kRegressors) parts[0][1] = &m;
      if (n == std::size_t{kCoarseAnchors} * kRegressors) parts[1][1] = &m;
    }
    for (auto& grid : parts)
      for (const cv::Mat* m : grid)
        if (!m || !m->isContinuous()) return false;
    scores.clear();
    regressors.clear();
    for (auto& grid : parts) {
      const auto* s = grid[0]->ptr<float>();
      scores.insert(scores.end(), s, s + grid[0]->total());
      const auto* r = grid[1]->ptr<float>();
      regressors.insert(regressors.end(), r, r + grid[1]->total());
    }
    return true;
  }
};

BlazeFace::BlazeFace(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
BlazeFace::~BlazeFace() = default;

std::unique_ptr<BlazeFace> BlazeFace::load(const std::string& path, std::string& error) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    error = "no face model at " + path;
    return nullptr;
  }
  auto impl = std::make_unique<Impl>();
  try {
    QuietOpenCv quiet;
    impl->net = cv::dnn::readNetFromONNX(path);
    if (impl->net.empty()) {
      error = "face model " + path + " holds no network";
      return nullptr;
    }
    impl->outputNames = impl->net.getUnconnectedOutLayersNames();
    // One pass on a blank square checks the outputs and warms the network up.
    const int dims[] = {1, kInputSize, kInputSize, 3};
    cv::Mat blank(4, dims, CV_32F, cv::Scalar(0));
    std::vector<float> scores, regressors;
    if (!impl->run(blank, scores, regressors)) {
      error = "face model " + path + " is not a BlazeFace 256 x 256 model";
      return nullptr;
    }
  } catch (const cv::Exception& e) {
    error = "cannot read face model " + path + " (" + e.err + ")";
    return nullptr;
  }
  return std::unique_ptr<BlazeFace>(new BlazeFace(std::move(impl)));
}

std::vector<BlazeFaceDetection> BlazeFace::detect(const vips::VImage& input,
                                                  double minScore) const {
  if (input.width() != kInputSize || input.height() != kInputSize || input.bands() != 3 ||
      input.format() != VIPS_FORMAT_UCHAR)
    return {};
  // NHWC float, RGB scaled from [0, 255] to [-1, 1].
  const vips::VImage pixels = input.copy_memory();
  const auto* data = static_cast<const unsigned char*>(pixels.data());
  const int dims[] = {1, kInputSize, kInputSize, 3};
  cv::Mat blob(4, dims, CV_32F);
  float* out = blob.ptr<float>();
  for (int i = 0; i < kInputSize * kInputSize * 3; ++i) out[i] = data[i] / 127.5f - 1.0f;

  std::vector<float> scores, regressors;
  if (!impl_->run(blob, scores, regressors)) return {};

  // Compare logits rather than scores: one logarithm instead of 896 exponentials.
  const double minLogit = std::log(minScore / (1 - minScore));
  std::vector<BlazeFaceDetection> found;
  const double s = kInputSize;
  for (std::size_t i = 0; i < impl_->anchors.size(); ++i) {
    if (!(scores[i] >= minLogit)) continue;
    const float* r = &regressors[i * kRegressors];
    const Point a{impl_->anchors[i].x * s, impl_->anchors[i].y * s};
    BlazeFaceDetection d;
    d.centre = {a.x + r[0], a.y + r[1]};
    d.size = {r[2], r[3]};
    for (int k = 0; k < 6; ++k) d.keypoints[k] = {a.x + r[4 + 2 * k], a.y + r[5 + 2 * k]};
    d.score = 1 / (1 + std::exp(-std::clamp<double>(scores[i], -80, 80)));
    if (!(d.size.width > 0 && d.size.height > 0 && std::isfinite(d.centre.x) &&
          std::isfinite(d.centre.y)))
      continue;
    found.push_back(d);
  }
  return found;
}

}  // namespace kadro
