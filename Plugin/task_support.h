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

// The "file:" URL of a file a task names, resolved against the working
// directory. Nothing when it cannot be resolved (an empty name, or a
// relative one once the working directory is gone); a line then names the
// file and the cause.
std::optional<std::string> taskFileUrl(const std::string& path);

}  // namespace kadro
