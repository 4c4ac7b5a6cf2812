// Small helpers of the task code.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "Plugin/settings.h"

namespace kadro {

// `text` without its first `count` characters (code points of UTF-8 text).
std::string dropCharacters(std::string_view text, std::size_t count);

// The preset stored under `name`; canonically equivalent spellings of the
// name count as equal.
std::optional<Action> findPreset(const PresetMap& presets, std::string_view name);

}  // namespace kadro
