#include "Plugin/task_support.h"

#include "Plugin/unicode_text.h"

namespace kadro {

std::string dropCharacters(std::string_view text, std::size_t count) {
  std::size_t i = 0;
  for (; i < text.size() && count > 0; --count) {
    ++i;
    // Skip the continuation bytes of a multi-byte character.
    while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
  }
  return std::string(text.substr(i));
}

std::optional<Action> findPreset(const PresetMap& presets, std::string_view name) {
  if (const auto it = presets.find(std::string(name)); it != presets.end()) return it->second;
  for (const auto& [key, preset] : presets)
    if (canonicalEqual(key, name)) return preset;
  return std::nullopt;
}

}  // namespace kadro
