// kadro presets: the crop presets the plug-in has stored for this user.
#include <utf8proc.h>

#include <algorithm>
#include <array>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Plugin/settings.h"
#include "SmartCrop/diagnostics.h"
#include "app/commands.h"

namespace kadro::app {
namespace {

void printUsage(std::ostream& out) {
  out << "Usage: kadro presets [--json]\n\n"
         "Lists the crop presets stored for this user with all their fields: the\n"
         "suite "
      << Settings::domain()
      << " under $XDG_CONFIG_HOME (default ~/.config). The\n"
         "first use on a machine writes the four built-in presets. Exit status 1,\n"
         "with the reason, when the stored presets cannot be read.\n\n"
         "Options:\n"
         "  --json      print one JSON object keyed by preset name, each value a preset\n"
         "              in its stored JSON form\n"
         "  -h, --help  show this help\n";
}

// Columns on a terminal: wide characters take two, combining marks none.
std::size_t displayWidth(const std::string& text) {
  std::size_t width = 0;
  const auto* p = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  utf8proc_ssize_t left = static_cast<utf8proc_ssize_t>(text.size());
  while (left > 0) {
    utf8proc_int32_t c = 0;
    utf8proc_ssize_t n = utf8proc_iterate(p, left, &c);
    if (n <= 0) {  // a stray byte shows as one replacement character
      n = 1;
      c = 0xFFFD;
    }
    width += static_cast<std::size_t>(std::max(0, utf8proc_charwidth(c)));
    p += n;
    left -= n;
  }
  return width;
}

void printTable(std::ostream& out, const PresetMap& presets) {
  // The key is the name the preset was saved under; the name field is shown
  // apart only when some preset's differs from it.
  const bool keysDiffer = std::any_of(presets.begin(), presets.end(),
                                      [](const auto& p) { return p.first != p.second.name; });
  std::vector<std::string> header = {"PRESET", "TYPE",   "MAX SIZE", "BORDER",
                                     "WIDTH",  "COLOUR", "CUSTOM",   "DESTINATION"};
  constexpr std::array<bool, 8> kRightAligned = {false, false, true,  false,
                                                 true,  false, false, false};
  if (keysDiffer) header.insert(header.begin() + 1, "NAME");
  std::vector<std::vector<std::string>> rows = {header};
  for (const auto& [key, a] : presets) {
    std::vector<std::string> row = {key,
                                    a.type,
                                    std::to_string(a.maxSize),
                                    a.borderEnabled ? "on" : "off",
                                    std::to_string(a.borderWidth),
                                    a.borderColor,
                                    a.borderColorCustom,
                                    a.destFolder};
    if (keysDiffer) row.insert(row.begin() + 1, a.name);
    rows.push_back(std::move(row));
  }
  std::vector<std::size_t> widths(header.size(), 0);
  for (const auto& row : rows)
    for (std::size_t i = 0; i < row.size(); ++i)
      widths[i] = std::max(widths[i], displayWidth(row[i]));
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      const std::size_t column = keysDiffer && i > 0 ? i - 1 : i;
      const std::string pad(widths[i] - displayWidth(row[i]), ' ');
      const bool last = i + 1 == row.size();
      if (kRightAligned[column])
        line += pad + row[i];
      else
        line += row[i] + (last ? "" : pad);
      if (!last) line += "  ";
    }
    out << line << '\n';
  }
}

}  // namespace

int runPresets(const Args& args) {
  bool json = false;
  for (const std::string& arg : args) {
    if (arg == "--json") {
      json = true;
    } else if (arg == "--help" || arg == "-h") {
      printUsage(std::cout);
      return 0;
    } else {
      std::cerr << "kadro presets: unknown option '" << arg << "'\n\n";
      printUsage(std::cerr);
      return 2;
    }
  }
  // Standard output carries the document alone; the store's lines go aside.
  if (json) setDiagnosticStream(&std::cerr);
  const Settings& store = Settings::shared();
  const PresetRead stored = store.read();
  // The built-ins a failed read gives are not this user's presets: say what
  // failed instead of listing them.
  if (!stored.ok()) {
    std::cerr << "kadro presets: the presets in \"" << stored.failure->file()
              << "\" could not be read. " << stored.failure->cause() << '\n';
    return 1;
  }
  const PresetMap& presets = stored.presets;
  if (json) {
    try {
      std::cout << encodePresets(presets, 2) << '\n';
    } catch (const nlohmann::json::exception& e) {
      std::cerr << "kadro presets: cannot write the presets as JSON: " << e.what() << '\n';
      return 1;
    }
    return 0;
  }
  std::cout << "Presets of " << Settings::domain() << ", stored in " << store.path() << "\n\n";
  printTable(std::cout, presets);
  return 0;
}

}  // namespace kadro::app
