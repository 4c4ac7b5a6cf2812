// The settings map an export recipe hands the publishing action, built from
// arbitrary bytes: the recipe's own keys and others, with values of every
// JSON type (wrong ones included), numbers at the edges and text that is not
// always UTF-8. The host's three calls (the panel, an edit, the check before
// an export) must answer or fail with the host's error, never throw, and the
// panel must have its JSON form for hosts that draw it elsewhere.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "Plugin/kadro_plugin.h"
#include "fuzz/fuzz_support.h"
#include "host/plugin_protocols.h"
#include "host/settings_json.h"

namespace {

using kadro::fuzz::ByteReader;

// Texts the recipe's elements give meaning to, and text that is not UTF-8
// (a lone continuation byte, a surrogate, an overlong slash, a cut sequence).
const char* const kTexts[] = {"none",
                              "square",
                              "circle",
                              "hex",
                              "octo",
                              "white",
                              "black",
                              "custom",
                              "#ffcc00",
                              "#FFF",
                              "#-7ffff",
                              "400",
                              "-1",
                              "0",
                              "+15",
                              "9223372036854775807",
                              "9223372036854775808",
                              "-9223372036854775808",
                              "1e3",
                              " 12",
                              "",
                              "file:///tmp/out",
                              "file://localhost/x",
                              "/relative/../path",
                              "\x80",
                              "\xed\xa0\x80",
                              "\xc0\xaf",
                              "caf\xc3",
                              "\xef\xbb\xbf#ffcc00",
                              "#ff\u00e9cc"};

double number(ByteReader& in) {
  static const double kEdges[] = {0.0,
                                  -0.0,
                                  0.5,
                                  -1.5,
                                  1e300,
                                  -1e300,
                                  std::numeric_limits<double>::infinity(),
                                  std::numeric_limits<double>::quiet_NaN(),
                                  9.2233720368547758e18,
                                  std::numeric_limits<double>::denorm_min()};
  return kEdges[in.choice(std::size(kEdges))];
}

ph::Value value(ByteReader& in, int depth) {
  switch (in.choice(depth > 0 ? 10 : 8)) {
    case 0:
      return nullptr;
    case 1:
      return in.flag();
    case 2:
      return in.length();
    case 3:
      return std::numeric_limits<std::uint64_t>::max() - in.byte();
    case 4:
      return number(in);
    case 5:
      return kTexts[in.choice(std::size(kTexts))];
    case 6:
    case 7:
      return in.text(24);
    case 8: {
      ph::Value list = ph::Value::array();
      for (std::size_t n = in.choice(4); n > 0; --n) list.push_back(value(in, depth - 1));
      return list;
    }
    default: {
      ph::Value object = ph::Value::object();
      for (std::size_t n = in.choice(3); n > 0; --n) object[in.text(8)] = value(in, depth - 1);
      return object;
    }
  }
}

std::vector<std::string> recipeKeys() {
  const kadro::ActionTags publish("-publish");
  const kadro::ActionTags fixed;
  std::vector<std::string> keys;
  for (const kadro::ActionTags* tags : {&publish, &fixed})
    for (const kadro::Tag* tag :
         {&tags->destFolder, &tags->type, &tags->maxSize, &tags->cropBorderEnabled,
          &tags->cropBorderWidth, &tags->cropBorderColor, &tags->cropBorderColorCustom})
      keys.push_back(tag->identifier);
  return keys;
}

std::string key(ByteReader& in) {
  static const std::vector<std::string> keys = recipeKeys();
  const std::size_t pick = in.choice(keys.size() + 2);
  if (pick < keys.size()) return keys[pick];
  // Most keys belong to the recipe; the others are new, or a recipe key
  // with text added.
  return pick == keys.size() ? in.text(16) : keys[in.choice(keys.size())] + in.text(4);
}

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "recipe settings: %s\n", what);
  std::abort();
}

void checkFailure(bool ok, const ph::Error& error, const char* call) {
  if (!ok && error.domain.empty()) {
    std::fprintf(stderr, "recipe settings: %s failed without an error\n", call);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The panel lists the custom colours of the stored presets: a store of
  // the fuzzer's own, never the user's.
  const std::string& folder = kadro::fuzz::scratchFolder();
  ::setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
  ::setenv("HOME", folder.c_str(), 1);
  kadro::fuzz::silenceDiagnostics();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteReader in(data, size);
  const std::uint8_t which = in.byte();
  std::shared_ptr<ph::PluginAction> action;
  if (which % 4 == 1) action = kadro::ZadaZevuPlugin::cropAllAction();
  if (which % 4 == 2) action = std::make_shared<ph::PluginAction>("Another");
  if (which % 4 == 3) action = kadro::ZadaZevuPlugin().pluginAction(kadro::Action());

  ph::SettingsMap map;
  for (std::size_t n = in.choice(9); n > 0; --n) map.insert_or_assign(key(in), value(in, 2));
  const std::string edited = key(in);
  const ph::Value edit = value(in, 2);

  kadro::ZadaZevuPlugin plugin;
  ph::ActionSettings& host = plugin;  // the host calls through the protocol
  ph::Error error;
  const auto groups = host.settingsForAction(action, map, &error);
  checkFailure(groups.has_value(), error, "settingsForAction");
  if (groups) (void)ph::settingsGroupsToJson(*groups, [](const ph::Image&) { return nullptr; });

  error = {};
  ph::ActionSettingsCallbackAction callback = which >> 4;
  const bool updated = host.didUpdateValue(edit, edited, action, map, &callback, &error);
  checkFailure(updated, error, "didUpdateValue");

  error = {};
  const bool valid = host.validateSettings(map, action, &error);
  checkFailure(valid, error, "validateSettings");
  if (valid && !plugin.actionSettings.count(action->identifier()))
    fail("a valid recipe parked no preset");
  return 0;
}
