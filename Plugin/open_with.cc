// Open With: crops the exported files in place with the stored preset that
// the chosen action names.
#include <filesystem>

#include "Plugin/errors.h"
#include "Plugin/file_url.h"
#include "Plugin/kadro_plugin.h"
#include "Plugin/settings.h"
#include "Plugin/task_support.h"
#include "SmartCrop/smart_crop.h"

namespace kadro {

std::shared_ptr<ph::PluginActionOpenWithResult> ZadaZevuPlugin::startOpen(
    const ph::FileHandlingPluginTask& task, const ph::ProgressCallback& progress) {
  if (!task.files()) throw ZadaZevuPluginError::invalidTaskFiles();
  const std::vector<std::string>& files = *task.files();
  // The display name is "Kadro: " + the preset name; the prefix is skipped,
  // not compared.
  const std::string name =
      task.action() ? dropCharacters(task.action()->displayName(), 7) : std::string();
  // Only presets really read: a store that fails says so, rather than that
  // the preset is unknown.
  const PresetRead stored = Settings::shared().read();
  if (!stored.ok()) throw ZadaZevuPluginError::presetStoreFailure(*stored.failure);
  const std::optional<Action> preset = findPreset(stored.presets, name);
  if (!preset) throw ZadaZevuPluginError::invalidAction();

  const auto count = static_cast<unsigned>(files.size());
  for (unsigned i = 1; i <= count; ++i) {
    if (task.cancelled()) return std::make_shared<ph::PluginActionOpenWithResult>(0);
    const std::string& path = files[i - 1];
    const std::optional<std::string> url = taskFileUrl(path);
    if (!url || !processImage(*url, *url, *preset))
      return std::make_shared<ph::PluginActionOpenWithResult>(0);
    if (progress) progress(task, i, count, "Open With Kadro: " + path);
  }
  return std::make_shared<ph::PluginActionOpenWithResult>(1);
}

}  // namespace kadro
