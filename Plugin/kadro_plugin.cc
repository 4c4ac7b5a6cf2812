#include "Plugin/kadro_plugin.h"

#include <algorithm>
#include <utility>

#include "Plugin/bundle.h"
#include "Plugin/custom_colors.h"
#include "Plugin/errors.h"
#include "Plugin/settings.h"
#include "Plugin/unicode_text.h"
#include "SmartCrop/diagnostics.h"
#include "host/image.h"

namespace kadro {
namespace {

constexpr char kOpenWithPrefix[] = "Kadro: ";

// The file type keys of an export recipe that get Open With actions; exact
// matches only.
constexpr const char* kImageTypeKeys[] = {"jpeg", "JPEG", "jpg", "png", "PNG"};

std::shared_ptr<ph::Image> bundleLogo() {
  const std::optional<std::string> path = bundleResourcePath("logo-256.png");
  return path ? ph::Image::loadPng(*path) : nullptr;
}

}  // namespace

ZadaZevuPlugin::ZadaZevuPlugin() = default;
ZadaZevuPlugin::~ZadaZevuPlugin() = default;

const std::shared_ptr<ph::PluginAction>& ZadaZevuPlugin::cropAllAction() {
  static const std::shared_ptr<ph::PluginAction> action = [] {
    auto a = std::make_shared<ph::PluginAction>("Export with Kadro");
    a->setIdentifier(joinIdentifier(ID::indentifier(), "kadro-publish"));
    a->setImage(bundleLogo());
    return a;
  }();
  return action;
}

ph::PluginActions ZadaZevuPlugin::openWithActions(const ph::SettingsMap& fileInfo,
                                                  ph::OpenWithPluginRole role) {
  const PresetRead stored = Settings::shared().read();
  diagnosticLine("openWithActions: " + ph::describe(ph::Value(fileInfo)));
  if (role != ph::kOpenWithPluginRoleOpenWith) return {};
  const bool images = std::any_of(std::begin(kImageTypeKeys), std::end(kImageTypeKeys),
                                  [&](const char* key) { return fileInfo.count(key) > 0; });
  if (!images) return {};
  // One action per preset really stored; the built-ins shown in place of
  // presets that could not be read would run presets the user does not have.
  if (!stored.ok()) throw ZadaZevuPluginError::presetStoreFailure(*stored.failure);
  const PresetMap& presets = stored.presets;

  std::vector<std::pair<std::string, const Action*>> sorted;
  for (const auto& [key, preset] : presets) sorted.emplace_back(canonical(key), &preset);
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  ph::PluginActions actions;
  for (const auto& [key, preset] : sorted) actions.push_back(pluginAction(*preset));
  return actions;
}

std::shared_ptr<ph::PluginAction> ZadaZevuPlugin::pluginAction(const Action& preset) const {
  auto action = std::make_shared<ph::PluginAction>(kOpenWithPrefix + preset.name);
  action->setIdentifier(joinIdentifier(ID::indentifier(), preset.name));
  action->setImage(preset.preview(Size{32, 32}));
  return action;
}

ph::FileHandlingPluginTasks ZadaZevuPlugin::tasks(const std::shared_ptr<ph::PluginAction>& action,
                                                  const std::vector<std::string>& files) const {
  return {std::make_shared<ph::FileHandlingPluginTask>(action, files)};
}

ph::PluginActions ZadaZevuPlugin::publishingActionsFileCount(unsigned) const {
  return {cropAllAction()};
}

ph::SettingsMap ZadaZevuPlugin::processingSettings(const std::shared_ptr<ph::PluginAction>&) const {
  return {
      {ph::kSupportedFileFormatsKey, ph::Value::array({1u, 6u})},
      {ph::kProcessScaleMethodKey, 5u},
      {ph::kProcessLongEdgeScaleKey,
       ph::Value::object({{ph::kProcessScaleLengthKey, 2000u}, {ph::kProcessScaleUnitKey, 0u}})},
  };
}

std::map<std::string, Color> ZadaZevuPlugin::customColors(
    const std::optional<std::string>& excluded) const {
  return kadro::customColors(Settings::shared().presets(), excluded);
}

}  // namespace kadro
