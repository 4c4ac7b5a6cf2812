// Whole numbers typed into the preset editor and recipe settings.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kadro {

// An optional "+" or "-" followed by decimal digits only, within the signed
// 64-bit range; nothing otherwise (no blanks, no empty digits).
std::optional<std::int64_t> parseDecimal(std::string_view text);

}  // namespace kadro
