// The custom border colours already used by stored presets, which the preset
// panel offers as ready-made choices.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "Plugin/color.h"
#include "Plugin/settings.h"

namespace kadro {

// Hex text to colour for every preset's borderColorCustom that reads as a
// colour, whatever its borderColor says, except the text equal to `excluded`
// (the edited preset's own). Texts differing only in letter case stay
// separate entries.
std::map<std::string, Color> customColors(const PresetMap& presets,
                                          const std::optional<std::string>& excluded);

}  // namespace kadro
