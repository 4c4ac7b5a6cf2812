// BlazeFace's network, read from its ONNX file and run with XNNPACK. The
// file's graph is translated once into a plan of XNNPACK operators with the
// weights in XNNPACK's layout; a Pass is that plan set up for one input
// shape (XNNPACK fixes shapes when it sets up), with a thread pool and
// memory of its own: the values share one block, each in a place that no
// value still needed holds.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kadro {

class FaceNetwork {
 public:
  static constexpr int kRegressors = 16;  // box (4) and six keypoints (12)

  // The plan of the model in `bytes`; nothing for a file that is not an
  // ONNX model, or holds a graph other than BlazeFace's operators with its
  // two grids of outputs, or one whose weights or values would need many
  // times the memory BlazeFace's do. `error` then completes "the model
  // ...": "holds no network (why)" or "is not a BlazeFace 256 x 256 model
  // (why)".
  static std::optional<FaceNetwork> read(std::string_view bytes, std::string& error);

  // The plan set up for 1 x h x w x 3 float inputs, run on `threads`
  // threads (1: the caller's only). Used by one thread at a time.
  class Pass {
   public:
    ~Pass();
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;

    int height() const { return height_; }
    int width() const { return width_; }
    int threads() const { return threads_; }

    // The input to fill before run(): h x w x 3 floats, RGB in [-1, 1].
    float* input();

    // Runs the input; the scores (logits) and regressors of both grids in
    // anchor order, fine grid first. False when XNNPACK fails.
    bool run(std::vector<float>& scores, std::vector<float>& regressors);

   private:
    friend class FaceNetwork;
    struct State;
    Pass(std::unique_ptr<State> state, int h, int w, int threads);
    std::unique_ptr<State> state_;
    int height_, width_, threads_;
  };

  // Nothing when the plan cannot be set up for that shape (sides not
  // multiples of 32, values needing many times the memory BlazeFace's do,
  // or XNNPACK failing).
  std::unique_ptr<Pass> setUp(int h, int w, int threads) const;

  struct Plan;
  FaceNetwork(FaceNetwork&&) noexcept;
  FaceNetwork& operator=(FaceNetwork&&) noexcept;
  ~FaceNetwork();

 private:
  explicit FaceNetwork(std::unique_ptr<Plan> plan);
  // Shared so that its weights, which XNNPACK reads in place, outlive
  // every pass set up from it.
  std::shared_ptr<const Plan> plan_;
};

}  // namespace kadro
