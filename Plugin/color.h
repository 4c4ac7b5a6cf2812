// Border colours: red, green, blue and alpha from 0 to 1 in generic RGB.
#pragma once

#include <optional>
#include <string_view>

namespace kadro {

struct Color {
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 1;

  friend bool operator==(const Color&, const Color&) = default;

  static constexpr Color white() { return {1, 1, 1, 1}; }
  static constexpr Color black() { return {0, 0, 0, 1}; }
  // What an unreadable or disabled border colour falls back to.
  static constexpr Color grey() { return {0.8, 0.8, 0.8, 1}; }

  // "#" followed by exactly six characters that parse as a signed base-16
  // integer. The sign is accepted as the body's first character ("#+0ffff",
  // "#-00001") and the components then come from the two's-complement
  // value: stored presets may hold such texts, so the rule stays as it is.
  static std::optional<Color> hexStringToRGB(std::string_view text);
};

}  // namespace kadro
