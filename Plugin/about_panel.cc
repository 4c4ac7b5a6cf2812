#include "Plugin/about_panel.h"

#include "Plugin/bundle.h"
#include "Plugin/kadro_plugin.h"

namespace kadro {
namespace {

// The texts are shown as they are; their wording (slips included) is the
// one users and translations know.
constexpr char kSummary[] =
    "When selected, plugin will automatically apply crops to exported JPEG and PNG images, and "
    "attempt to keep the subject as close to the center as possible. To use this, select one of "
    "the \"Kadro\" options in the \"Open With\" menu in a Recipe settings. Make sure JPEG or PNG "
    "is select in the recipe.\n\n"
    "After cropping images will be resized to the Max Size.";
constexpr char kPresets[] =
    "Customize the exisiting presets and add new ones in Kadro Presets tab. Each preset can "
    "include a crop shape and/or a border that will be applied after cropping. Note, the shaped "
    "crops work brest with PNG exports.";
constexpr char kCredit[] =
    "Kadro finds the face with MediaPipe BlazeFace and draws with libvips and cairo.";

}  // namespace

std::shared_ptr<ph::SettingsElementsGroup> aboutPanel(const std::optional<std::string>& version) {
  auto group = std::make_shared<ph::SettingsElementsGroup>();
  group->setIdentifier(joinIdentifier(ID::indentifier(), "aboutSettingsGroup"));
  group->setTitle("About Kadro");
  ph::SettingsElements labels = {
      ZadaZevuPlugin::labelItem(kSummary, "Summary"),
      ZadaZevuPlugin::labelItem(kPresets, ""),
      ZadaZevuPlugin::labelItem(kCredit, ""),
  };
  if (version) labels.push_back(ZadaZevuPlugin::labelItem(*version, "Installed Version"));
  group->setElements(std::move(labels));
  return group;
}

std::shared_ptr<ph::SettingsElementsGroup> ZadaZevuPlugin::aboutSettingsPanel() const {
  const std::optional<BundleInfo>& bundle = currentBundle();
  return aboutPanel(bundle ? bundle->version : std::nullopt);
}

}  // namespace kadro
