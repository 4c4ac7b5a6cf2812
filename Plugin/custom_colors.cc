#include "Plugin/custom_colors.h"

namespace kadro {

std::map<std::string, Color> customColors(const PresetMap& presets,
                                          const std::optional<std::string>& excluded) {
  std::map<std::string, Color> colors;
  for (const auto& [key, preset] : presets) {
    const std::string& text = preset.borderColorCustom;
    if (excluded && *excluded == text) continue;
    if (auto color = Color::hexStringToRGB(text)) colors.insert_or_assign(text, *color);
  }
  return colors;
}

}  // namespace kadro
