#include "SmartCrop/blazeface.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <list>
#include <mutex>

#include "SmartCrop/cores.h"
#include "SmartCrop/face_network.h"

namespace kadro {
namespace {

constexpr int kRegressors = FaceNetwork::kRegressors;

// The two grids: cell size in input pixels and anchors per cell, fine grid
// first, as the outputs are ordered.
constexpr std::array<std::pair<int, int>, 2> kGrids = {{{16, 2}, {32, 6}}};

// Threads per pass for passes set up from now on; 0 for every core.
std::atomic<int> threadsPerPass{0};

}  // namespace

// The network's passes, each set up for one input shape and thread count. A
// detection borrows one set up for its shape when there is one, so that
// threads never wait for each other and a shape that comes back does not
// pay the set-up again.
//
// The shapes that come back are the close looks' squares and the coarse
// pass's few aspect ratios, all within the trained size; up to kSmallIdle
// such passes are kept, least recently used leave first. Larger inputs (the
// closer whole passes) rarely repeat a shape: one of them is kept.
class PassPool {
 public:
  explicit PassPool(const FaceNetwork& network) : network_(network) {}

  // A pass for h x w inputs, the caller's alone until given back; nothing
  // when none can be set up.
  std::unique_ptr<FaceNetwork::Pass> take(int h, int w) {
    // A pass's threads wait for each other at every step: one that takes
    // turns with another thread, its own or a busy program's, makes the
    // pass many times slower. So a pass only spreads over idle cores.
    const int wanted = threadsPerPass.load();
    const int idle = idleCores();
    const int threads = wanted > 0 ? std::min(wanted, idle) : idle;
    std::list<std::unique_ptr<FaceNetwork::Pass>> leaving;
    {
      std::lock_guard lock(mutex_);
      for (auto it = idle_.begin(); it != idle_.end(); ++it)
        if ((*it)->height() == h && (*it)->width() == w && (*it)->threads() == threads) {
          std::unique_ptr<FaceNetwork::Pass> p = std::move(*it);
          idle_.erase(it);
          return p;
        }
      // The new pass will take the place of the class's least recently
      // used one when given back: that one goes now, so that both never
      // hold memory at once (a large pass holds tens of megabytes).
      const bool large = isLarge(h, w);
      const std::size_t room = large ? kLargeIdle : kSmallIdle;
      std::size_t kept = 0;
      for (auto it = idle_.begin(); it != idle_.end();)
        if (isLarge((*it)->height(), (*it)->width()) != large || ++kept < room)
          ++it;
        else
          leaving.splice(leaving.end(), idle_, it++);
    }
    leaving.clear();  // outside the lock
    return network_.setUp(h, w, threads);
  }

  // Takes back a pass that ran well; beyond each class's room, the least
  // recently used passes go.
  void give(std::unique_ptr<FaceNetwork::Pass> p) {
    std::lock_guard lock(mutex_);
    idle_.push_front(std::move(p));
    for (const bool large : {false, true}) {
      std::size_t kept = 0;
      for (auto it = idle_.begin(); it != idle_.end();)
        if (isLarge((*it)->height(), (*it)->width()) != large ||
            ++kept <= (large ? kLargeIdle : kSmallIdle))
          ++it;
        else
          it = idle_.erase(it);
    }
  }

 private:
  static constexpr std::size_t kSmallIdle = 4;
  static constexpr std::size_t kLargeIdle = 1;

  static bool isLarge(int h, int w) {
    return h * w > BlazeFace::kInputSize * BlazeFace::kInputSize;
  }

  const FaceNetwork& network_;
  std::mutex mutex_;
  std::list<std::unique_ptr<FaceNetwork::Pass>> idle_;  // most recently used first
};

struct BlazeFace::Impl {
  explicit Impl(FaceNetwork n) : network(std::move(n)) {}
  FaceNetwork network;
  PassPool passes{network};
};

void BlazeFace::setThreadsPerPass(int threads) { threadsPerPass = std::max(0, threads); }

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
  std::string why;
  std::optional<FaceNetwork> network = FaceNetwork::read(bytes, why);
  if (!network) {
    error = "face model " + path + " " + why;
    return nullptr;
  }
  auto impl = std::make_unique<Impl>(std::move(*network));
  // One pass on a small blank input checks that the network runs here; the
  // smallest input costs least.
  std::unique_ptr<FaceNetwork::Pass> first = impl->network.setUp(2 * kStride, 2 * kStride, 1);
  if (!first) {
    error = "cannot run face model " + path + " (its network does not fit a " +
            std::to_string(2 * kStride) + " x " + std::to_string(2 * kStride) +
            " input within the memory it may take, or XNNPACK refused it)";
    return nullptr;
  }
  std::vector<float> scores, regressors;
  if (!first->run(scores, regressors)) {
    error = "cannot run face model " + path + " (XNNPACK failed)";
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
  std::unique_ptr<FaceNetwork::Pass> pass = impl_->passes.take(h, w);
  if (!pass) return {};
  float* blob = pass->input();
  const std::size_t n = std::size_t(w) * h * 3;
  for (std::size_t i = 0; i < n; ++i) blob[i] = data[i] / 127.5f - 1.0f;
  std::vector<float> scores, regressors;
  // A pass that failed is dropped: its state is unknown.
  if (!pass->run(scores, regressors)) return {};
  impl_->passes.give(std::move(pass));

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
