#include "SmartCrop/blazeface.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <list>
#include <mutex>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/dnn.hpp>

namespace kadro {
namespace {

constexpr int kRegressors = 16;  // box (4) and six keypoints (12)

// The two grids: cell size in input pixels and anchors per cell, fine grid
// first, as the outputs are ordered.
constexpr std::array<std::pair<int, int>, 2> kGrids = {{{16, 2}, {32, 6}}};

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

// The model file reshapes its four outputs to the anchor count of a 256 x
// 256 input (512 and 384 anchors). Asking for "as many as there are" (-1)
// instead lets it run on inputs of other sizes. False when the file does not
// hold each of those shapes exactly once.
bool freeAnchorCounts(std::string& bytes) {
  for (const std::int64_t anchors : {512, 384})
    for (const std::int64_t width : {1, kRegressors}) {
      const std::int64_t from[3] = {1, anchors, width};
      const std::int64_t to[3] = {1, -1, width};
      std::string pattern(reinterpret_cast<const char*>(from), sizeof from);
      const std::size_t at = bytes.find(pattern);
      if (at == std::string::npos || bytes.find(pattern, at + 1) != std::string::npos) return false;
      std::memcpy(bytes.data() + at, to, sizeof to);
    }
  return true;
}

}  // namespace

// One network read from the model. A dnn Net runs one forward pass at a
// time, and sets itself up anew, at a cost of about a forward pass, whenever
// its input changes shape.
struct Network {
  cv::dnn::Net net;
  std::vector<cv::String> outputNames;
  // The model pads channels with constant zero blocks sized for a 256 x 256
  // input; they are resized with the input. Each with its size's divisor.
  std::vector<std::pair<cv::Ptr<cv::dnn::Layer>, int>> pads;
  int height = 0, width = 0;  // the input the pads are sized for

  // Reads the network from the patched model; false when it holds none.
  bool read(const std::string& bytes) {
    net = cv::dnn::readNetFromONNX(bytes.data(), bytes.size());
    if (net.empty()) return false;
    outputNames = net.getUnconnectedOutLayersNames();
    for (const cv::String& name : net.getLayerNames()) {
      cv::Ptr<cv::dnn::Layer> layer = net.getLayer(net.getLayerId(name));
      if (layer->type != "Const" || layer->blobs.size() != 1 || layer->blobs[0].dims != 4) continue;
      const int side = layer->blobs[0].size[2];
      if (side <= 0 || BlazeFace::kInputSize % side != 0) continue;
      pads.push_back({layer, BlazeFace::kInputSize / side});
    }
    return true;
  }

  void fitPads(int h, int w) {
    if (h == height && w == width) return;
    for (auto& [layer, divisor] : pads) {
      const int dims[] = {1, layer->blobs[0].size[1], h / divisor, w / divisor};
      layer->blobs[0] = cv::Mat(4, dims, CV_32F, cv::Scalar(0));
    }
    height = h;
    width = w;
  }

  // Scores and regressors of both grids, in anchor order; false when the
  // outputs are not BlazeFace's. One thread at a time.
  bool run(const cv::Mat& blob, std::vector<float>& scores, std::vector<float>& regressors) {
    const int h = blob.size[1], w = blob.size[2];
    std::vector<cv::Mat> outs;
    fitPads(h, w);
    net.setInput(blob);
    net.forward(outs, outputNames);
    const std::size_t counts[2] = {
        std::size_t(h / kGrids[0].first) * (w / kGrids[0].first) * kGrids[0].second,
        std::size_t(h / kGrids[1].first) * (w / kGrids[1].first) * kGrids[1].second};
    // The four outputs are told apart by their sizes.
    const cv::Mat* parts[2][2] = {};  // [grid][scores, regressors]
    for (const cv::Mat& m : outs) {
      if (m.type() != CV_32F) return false;
      for (int g = 0; g < 2; ++g) {
        if (m.total() == counts[g]) parts[g][0] = &m;
        if (m.total() == counts[g] * kRegressors) parts[g][1] = &m;
      }
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

// The networks a model has read, each set up for the shape it ran last. A
// pass borrows one already set up for its shape when there is one, so that
// threads never wait for each other and a shape that comes back does not
// pay the set-up again.
//
// A network holds about 140 bytes per input pixel. The shapes that come
// back are the close looks' squares and the coarse pass's few aspect
// ratios, all within the trained size; up to kSmallIdle such networks are
// kept (4 to 9 MB each), least recently used leave first. Larger inputs
// (the closer whole passes, up to 58 MB) rarely repeat a shape, so one
// network serves them all, set up anew for each shape, as reading another
// would cost more.
class NetworkPool {
 public:
  explicit NetworkPool(const std::string& model) : model_(model) {}

  // A network for h x w inputs, the caller's alone until given back: one set
  // up for that shape, else a spare, else one read anew unless the shape's
  // class is full. Throws cv::Exception when the model cannot be read again.
  std::unique_ptr<Network> take(int h, int w) {
    {
      std::lock_guard lock(mutex_);
      for (auto it = idle_.begin(); it != idle_.end(); ++it)
        if ((*it)->height == h && (*it)->width == w) return borrow(it);
      for (auto it = idle_.begin(); it != idle_.end(); ++it)
        if ((*it)->height == 0) return borrow(it);
      // The least recently used network of the class is set up anew.
      const bool large = isLarge(h, w);
      if (count(large) >= (large ? kLargeIdle : kSmallIdle))
        for (auto it = idle_.rbegin(); it != idle_.rend(); ++it)
          if (isLarge((*it)->height, (*it)->width) == large) return borrow(std::next(it).base());
    }
    return read();
  }

  std::unique_ptr<Network> read() const {
    auto made = std::make_unique<Network>();
    // One read at a time: the log level QuietOpenCv sets and puts back is
    // the process's, and two overlapping reads would leave it silenced.
    static std::mutex reading;
    std::lock_guard lock(reading);
    QuietOpenCv quiet;
    if (!made->read(model_)) throw cv::Exception(cv::Error::StsError, "no network", "", "", 0);
    return made;
  }

  // Keeps `n` for a pass of any shape; it counts as a small network.
  void giveSpare(std::unique_ptr<Network> n) {
    n->height = n->width = 0;  // the pads are sized anew on its next pass
    give(std::move(n));
  }

  // Takes back a network that ran well; beyond the classes' room, the least
  // recently used networks go.
  void give(std::unique_ptr<Network> n) {
    std::lock_guard lock(mutex_);
    idle_.push_front(std::move(n));
    for (const bool large : {false, true})
      for (auto it = idle_.end(); count(large) > (large ? kLargeIdle : kSmallIdle);) {
        --it;
        if (isLarge((*it)->height, (*it)->width) == large) it = idle_.erase(it);
      }
  }

 private:
  static constexpr std::size_t kSmallIdle = 4;
  static constexpr std::size_t kLargeIdle = 1;

  using List = std::list<std::unique_ptr<Network>>;

  static bool isLarge(int h, int w) {
    return h * w > BlazeFace::kInputSize * BlazeFace::kInputSize;
  }

  std::size_t count(bool large) const {
    return std::count_if(idle_.begin(), idle_.end(),
                         [large](const auto& n) { return isLarge(n->height, n->width) == large; });
  }

  std::unique_ptr<Network> borrow(List::iterator it) {
    std::unique_ptr<Network> n = std::move(*it);
    idle_.erase(it);
    return n;
  }

  const std::string& model_;
  std::mutex mutex_;
  List idle_;  // most recently used first
};

struct BlazeFace::Impl {
  std::string model;  // the patched model file
  NetworkPool networks{model};

  // Runs `blob` on a network of its shape; false when the outputs are not
  // BlazeFace's.
  bool run(const cv::Mat& blob, std::vector<float>& scores, std::vector<float>& regressors) {
    std::unique_ptr<Network> n = networks.take(blob.size[1], blob.size[2]);
    // A network that failed is dropped: its state is unknown.
    if (!n->run(blob, scores, regressors)) return false;
    networks.give(std::move(n));
    return true;
  }
};

void BlazeFace::setThreadsPerPass(int threads) { cv::setNumThreads(threads > 0 ? threads : -1); }

BlazeFace::BlazeFace(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
BlazeFace::~BlazeFace() = default;

std::unique_ptr<BlazeFace> BlazeFace::load(const std::string& path, std::string& error) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    error = "no face model at " + path;
    return nullptr;
  }
  std::string bytes;
  {
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!in && !in.eof()) {
      error = "cannot read face model " + path;
      return nullptr;
    }
  }
  const std::string foreign = "face model " + path + " is not a BlazeFace 256 x 256 model";
  auto impl = std::make_unique<Impl>();
  try {
    QuietOpenCv quiet;
    // The shapes are looked for in a file that may be anything: read it first.
    impl->model = bytes;
    const bool flexible = freeAnchorCounts(impl->model);
    auto first = std::make_unique<Network>();
    if (!first->read(impl->model)) {
      error = "face model " + path + " holds no network";
      return nullptr;
    }
    if (!flexible) {
      error = foreign;
      return nullptr;
    }
    // One pass on a small blank input checks the outputs and sets the
    // network up; the smallest input costs least.
    const int dims[] = {1, 2 * kStride, 2 * kStride, 3};
    cv::Mat blank(4, dims, CV_32F, cv::Scalar(0));
    std::vector<float> scores, regressors;
    if (!first->run(blank, scores, regressors)) {
      error = foreign;
      return nullptr;
    }
    // The pass checked the network, and its shape serves nothing else.
    impl->networks.giveSpare(std::move(first));
  } catch (const cv::Exception& e) {
    error = "cannot read face model " + path + " (" + e.err + ")";
    return nullptr;
  }
  return std::unique_ptr<BlazeFace>(new BlazeFace(std::move(impl)));
}

std::vector<BlazeFaceDetection> BlazeFace::detect(const vips::VImage& input,
                                                  double minScore) const {
  const int w = input.width(), h = input.height();
  if (w <= 0 || h <= 0 || w % kStride != 0 || h % kStride != 0 || input.bands() != 3 ||
      input.format() != VIPS_FORMAT_UCHAR)
    return {};
  // NHWC float, RGB scaled from [0, 255] to [-1, 1].
  const vips::VImage pixels = input.copy_memory();
  const auto* data = static_cast<const unsigned char*>(pixels.data());
  const int dims[] = {1, h, w, 3};
  cv::Mat blob(4, dims, CV_32F);
  float* out = blob.ptr<float>();
  const std::size_t n = std::size_t(w) * h * 3;
  for (std::size_t i = 0; i < n; ++i) out[i] = data[i] / 127.5f - 1.0f;

  std::vector<float> scores, regressors;
  try {
    if (!impl_->run(blob, scores, regressors)) return {};
  } catch (const cv::Exception&) {
    return {};
  }

  // Compare logits rather than scores: one logarithm instead of an
  // exponential per anchor.
  const double minLogit = std::log(minScore / (1 - minScore));
  std::vector<BlazeFaceDetection> found;
  std::size_t i = 0;
  for (const auto& [cell, perCell] : kGrids)
    for (int y = 0; y < h / cell; ++y)
      for (int x = 0; x < w / cell; ++x)
        for (int k = 0; k < perCell; ++k, ++i) {
          if (!(scores[i] >= minLogit)) continue;
          const float* r = &regressors[i * kRegressors];
          const Point a{(x + 0.5) * cell, (y + 0.5) * cell};
          BlazeFaceDetection d;
          d.centre = {a.x + r[0], a.y + r[1]};
          d.size = {r[2], r[3]};
          for (int p = 0; p < 6; ++p) d.keypoints[p] = {a.x + r[4 + 2 * p], a.y + r[5 + 2 * p]};
          d.score = 1 / (1 + std::exp(-std::clamp<double>(scores[i], -80, 80)));
          if (!(d.size.width > 0 && d.size.height > 0 && std::isfinite(d.centre.x) &&
                std::isfinite(d.centre.y)))
            continue;
          found.push_back(d);
        }
  return found;
}

}  // namespace kadro
