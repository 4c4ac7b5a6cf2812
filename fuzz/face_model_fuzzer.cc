// A face model file from arbitrary bytes. Reading it either refuses the
// bytes with an error or gives a network whose pass on a small blank input
// runs and gives every anchor a score and its regressors.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "SmartCrop/face_network.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "face model: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string error;
  const std::optional<kadro::FaceNetwork> network =
      kadro::FaceNetwork::read(std::string_view(reinterpret_cast<const char*>(data), size), error);
  if (!network) {
    if (error.empty()) fail("a refused file has no error");
    return 0;
  }
  const auto pass = network->setUp(64, 64, 1);
  if (!pass) return 0;  // a graph whose shapes do not fit the input
  std::vector<float> scores, regressors;
  if (!pass->run(scores, regressors)) fail("a pass that was set up does not run");
  if (scores.size() != 4 * 4 * 2 + 2 * 2 * 6 || regressors.size() != 16 * scores.size())
    fail("a pass gives the wrong number of anchors");
  return 0;
}
