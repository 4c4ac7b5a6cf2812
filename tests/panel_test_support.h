// Shared by the panel, editor and recipe tests: a throw-away configuration
// folder for the preset store, the built-in presets back before each test,
// and lookups in the element trees the plug-in builds.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Plugin/kadro_plugin.h"
#include "Plugin/settings.h"
#include "SmartCrop/diagnostics.h"
#include "SmartCrop/faces.h"
#include "SmartCrop/image_io.h"

namespace kadro::paneltest {

// Set before main(), so that whichever test first opens Settings::shared()
// works in a temporary folder and never in the user's ~/.config.
struct TemporaryConfigHome {
  std::filesystem::path folder;
  TemporaryConfigHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kadro-panels-XXXXXX").string();
    if (mkdtemp(pattern.data())) folder = pattern;
    setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
  }
  ~TemporaryConfigHome() {
    std::error_code ec;
    if (!folder.empty()) std::filesystem::remove_all(folder, ec);
  }
};
inline const TemporaryConfigHome g_temporary_config_home;

// Collects the diagnostic lines written while it lives.
class CapturedDiagnostics {
 public:
  CapturedDiagnostics() { setDiagnosticStream(&lines_); }
  ~CapturedDiagnostics() { setDiagnosticStream(nullptr); }
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    std::istringstream in(lines_.str());
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }

 private:
  std::ostringstream lines_;
};

// Each test starts from the four built-in presets and a new plug-in object.
class PluginTest : public ::testing::Test {
 protected:
  void SetUp() override { Settings::shared().setPresets(Settings::defaultPresets()); }
  void TearDown() override { Settings::shared().setPresets(Settings::defaultPresets()); }

  PresetMap stored() const { return Settings::shared().presets(); }

  ZadaZevuPlugin plugin;
};

inline std::string pluginId(const std::string& shortName) {
  return joinIdentifier(ID::indentifier(), shortName);
}

// "Title=value" for each element, so that order and values read at a glance.
inline std::vector<std::string> outline(const ph::SettingsElements& elements) {
  std::vector<std::string> out;
  for (const auto& e : elements) out.push_back(e->title() + "=" + ph::describe(e->value()));
  return out;
}

inline std::shared_ptr<ph::SettingsElement> find(const ph::SettingsElements& elements,
                                                 const std::string& identifier) {
  for (const auto& e : elements)
    if (e->identifier() == identifier) return e;
  return nullptr;
}

inline std::shared_ptr<ph::SettingsListItem> findList(const ph::SettingsElements& elements,
                                                      const std::string& identifier) {
  return std::dynamic_pointer_cast<ph::SettingsListItem>(find(elements, identifier));
}

inline std::vector<std::string> optionTitles(const ph::SettingsListItem& list) {
  std::vector<std::string> out;
  for (const auto& o : list.options()) out.push_back(o.title());
  return out;
}

inline std::vector<std::string> optionValues(const ph::SettingsListItem& list) {
  std::vector<std::string> out;
  for (const auto& o : list.options()) out.push_back(o.value());
  return out;
}

// Same size and the same pixels.
inline bool samePixels(const std::shared_ptr<ph::Image>& a, const std::shared_ptr<ph::Image>& b) {
  return a && b && a->pixelWidth() == b->pixelWidth() && a->pixelHeight() == b->pixelHeight() &&
         a->pixels() == b->pixels();
}

// Whether the face detector finds the one face of the sample portrait: the
// end-to-end tests need it and are skipped where it does not.
inline bool detectorFindsTheSampleFace() {
  static const bool found = [] {
    setFaceModelPath(KADRO_TEST_MODEL);
    std::string error;
    const auto source =
        ImageSource::open(std::string(KADRO_SAMPLES_DIR) + "/astronaut.png", &error);
    CapturedDiagnostics quiet;
    return source && detectFace(source->decode(1, false), true).size() == 1;
  }();
  return found;
}

}  // namespace kadro::paneltest
