// One preset's JSON form from arbitrary text. Decoding either refuses the
// text with ActionDecodeError or gives a preset whose own JSON form (both
// member orders) decodes to the same preset; its icon draws or is absent.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "Plugin/action.h"
#include "fuzz/fuzz_support.h"
#include "host/image.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "preset JSON: %s\n", what);
  std::abort();
}

template <typename Json>
void roundTrip(const kadro::Action& preset) {
  const Json j = preset;
  // Decoded text is valid UTF-8, so its preset always encodes.
  const std::string text = j.dump();
  const kadro::Action again = nlohmann::json::parse(text).get<kadro::Action>();
  if (!(again == preset)) fail("a decoded preset does not survive its own JSON form");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kadro::fuzz::silenceDiagnostics();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const nlohmann::json j = nlohmann::json::parse(data, data + size, nullptr,
                                                 /*allow_exceptions=*/false);
  if (j.is_discarded()) return -1;
  kadro::Action preset;
  try {
    preset = j.get<kadro::Action>();
  } catch (const kadro::ActionDecodeError&) {
    return 0;
  }
  roundTrip<nlohmann::json>(preset);
  roundTrip<nlohmann::ordered_json>(preset);
  (void)preset.preview({32, 32});
  return 0;
}
