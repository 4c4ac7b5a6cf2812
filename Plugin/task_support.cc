#include "Plugin/task_support.h"

#include <filesystem>
#include <system_error>

#include "Plugin/file_url.h"
#include "Plugin/unicode_text.h"
#include "SmartCrop/diagnostics.h"

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

std::optional<std::string> taskFileUrl(const std::string& path) {
  if (path.empty()) {
    diagnosticLine("(empty file name): not a file");
    return std::nullopt;
  }
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  if (error) {
    diagnosticLine(path + ": cannot resolve the path (" + error.message() + ")");
    return std::nullopt;
  }
  return fileUrlFromPath(absolute.string());
}

}  // namespace kadro
