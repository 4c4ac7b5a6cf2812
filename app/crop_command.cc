// kadro crop: runs the image job once, on one file, with a stored preset or
// one made from the options.
#include <charconv>
#include <iostream>
#include <optional>
#include <string>

#include "Plugin/settings.h"
#include "SmartCrop/smart_crop.h"
#include "app/commands.h"

namespace kadro::app {
namespace {

constexpr const char* kDefaultPreset = "Circle";

void printUsage(std::ostream& out) {
  out << "Usage: kadro crop [OPTIONS] IN OUT\n\n"
         "Crops the picture IN around its one face and writes OUT: PNG when OUT ends in\n"
         ".png (any letter case), JPEG otherwise, with the resolution of IN. IN and OUT\n"
         "are paths or file: URLs and may be the same file, which is then replaced.\n"
         "Without a single face the whole picture is written, cut to the shape only.\n\n"
         "Options:\n"
         "  --preset NAME         use the stored preset NAME (default \""
      << kDefaultPreset
      << "\"; see kadro presets)\n"
         "  --type T              none, square, circle, hex or octo\n"
         "  --max-size N          largest side of the result in pixels\n"
         "  --border, --no-border draw a border in the preset's colour, or not\n"
         "  --border-width N      border width in pixels (turns the border on)\n"
         "  --border-color C      white, black or #RRGGBB (turns the border on)\n"
         "  -h, --help            show this help\n\n"
         "Without --preset, any of the other options starts from a square of 400 pixels\n"
         "without border; with --preset they change that preset's fields.\n";
}

int usageError(const std::string& message) {
  std::cerr << "kadro crop: " << message << "\n\nRun 'kadro crop --help' for the options.\n";
  return 2;
}

std::optional<std::int64_t> parseInteger(const std::string& text) {
  std::int64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

}  // namespace

int runCrop(const Args& args) {
  std::optional<std::string> presetName;
  std::optional<std::string> type;
  std::optional<std::int64_t> maxSize;
  std::optional<bool> border;
  std::optional<std::int64_t> borderWidth;
  std::optional<std::string> borderColor;
  std::vector<std::string> files;

  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg == "-" || arg.empty() || arg[0] != '-') {
      files.push_back(arg);
      continue;
    }
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= args.size()) return std::nullopt;
      return args[++i];
    };
    if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "-h" || arg == "--help") {
      printUsage(std::cout);
      return 0;
    } else if (arg == "--border") {
      border = true;
    } else if (arg == "--no-border") {
      border = false;
    } else if (arg == "--preset" || arg == "--type" || arg == "--max-size" ||
               arg == "--border-width" || arg == "--border-color") {
      const std::optional<std::string> v = value();
      if (!v) return usageError(arg + " needs a value");
      if (arg == "--preset") {
        presetName = *v;
      } else if (arg == "--type") {
        if (!cropTypeFromRawValue(*v))
          return usageError("--type must be none, square, circle, hex or octo, not '" + *v + "'");
        type = *v;
      } else if (arg == "--max-size" || arg == "--border-width") {
        const std::optional<std::int64_t> n = parseInteger(*v);
        if (!n) return usageError(arg + " must be a whole number, not '" + *v + "'");
        (arg == "--max-size" ? maxSize : borderWidth) = *n;
      } else {
        if (*v != "white" && *v != "black" && !Color::hexStringToRGB(*v))
          return usageError("--border-color must be white, black or #RRGGBB, not '" + *v + "'");
        borderColor = *v;
      }
    } else {
      return usageError("unknown option '" + arg + "'");
    }
  }
  if (files.size() != 2)
    return usageError("needs two files, the picture IN and the result OUT (got " +
                      std::to_string(files.size()) + ")");

  const bool fromOptions = type || maxSize || border || borderWidth || borderColor;
  Action preset;
  if (presetName || !fromOptions) {
    const std::string name = presetName.value_or(kDefaultPreset);
    const PresetRead stored = Settings::shared().read();
    if (!stored.ok()) {
      std::cerr << "kadro crop: the presets in \"" << stored.failure->file()
                << "\" could not be read. " << stored.failure->cause() << "\n";
      return 1;
    }
    const PresetMap& presets = stored.presets;
    const auto found = presets.find(name);
    if (found == presets.end()) {
      std::string known;
      for (const auto& [key, _] : presets) known += (known.empty() ? "" : ", ") + key;
      std::cerr << "kadro crop: no preset named '" << name << "' (stored: " << known << ")\n";
      return 2;
    }
    preset = found->second;
  }
  if (type) preset.type = *type;
  if (maxSize) preset.maxSize = *maxSize;
  if (borderWidth || borderColor) preset.borderEnabled = true;
  if (border) preset.borderEnabled = *border;
  if (borderWidth) preset.borderWidth = *borderWidth;
  if (borderColor) {
    if (*borderColor == "white" || *borderColor == "black") {
      preset.borderColor = *borderColor;
    } else {
      preset.borderColor = "custom";
      preset.borderColorCustom = *borderColor;
    }
  }

  if (!processImage(files[0], files[1], preset)) {
    std::cerr << "kadro crop: could not crop " << files[0] << " into " << files[1] << "; "
              << files[1] << " is as it was\n";
    return 1;
  }
  return 0;
}

}  // namespace kadro::app
