#include "Plugin/color.h"

#include <cstdint>

namespace kadro {
namespace {

// Number of UTF-8 code points: the body length is counted in characters.
std::size_t characterCount(std::string_view text) {
  std::size_t n = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<Color> Color::hexStringToRGB(std::string_view text) {
  if (text.empty() || text.front() != '#') return std::nullopt;
  std::string_view body = text.substr(1);
  if (characterCount(body) != 6) return std::nullopt;
  bool negative = false;
  if (body.front() == '+' || body.front() == '-') {
    negative = body.front() == '-';
    body.remove_prefix(1);
  }
  if (body.empty()) return std::nullopt;
  std::int64_t value = 0;
  for (char c : body) {
    const int d = hexDigit(c);
    if (d < 0) return std::nullopt;
    value = value * 16 + d;
  }
  if (negative) value = -value;
  const auto bits = static_cast<std::uint64_t>(value);
  return Color{static_cast<double>((bits >> 16) & 0xFF) / 255.0,
               static_cast<double>((bits >> 8) & 0xFF) / 255.0,
               static_cast<double>(bits & 0xFF) / 255.0, 1.0};
}

}  // namespace kadro
