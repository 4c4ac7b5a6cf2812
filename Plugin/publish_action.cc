// Publishing: writes cropped copies of the exported files into the recipe's
// destination folder, with the preset its last validation produced.
#include <filesystem>

#include "Plugin/errors.h"
#include "Plugin/file_url.h"
#include "Plugin/kadro_plugin.h"
#include "Plugin/task_support.h"
#include "Plugin/unique_pathname.h"
#include "SmartCrop/diagnostics.h"
#include "SmartCrop/smart_crop.h"

namespace kadro {

std::shared_ptr<ph::PluginActionPublishResult> ZadaZevuPlugin::startPublishingTask(
    const ph::FileHandlingPluginTask& task, const ph::ProgressCallback& progress) {
  if (!task.files()) throw ZadaZevuPluginError::invalidTaskFiles();
  if (!task.action() || !task.action()->isEqualToPluginAction(*cropAllAction()))
    throw ZadaZevuPluginError::invalidAction();
  const auto entry = actionSettings.find(task.action()->identifier());
  if (entry == actionSettings.end()) throw ZadaZevuPluginError::invalidAction();
  // One validation serves one task.
  const Action preset = entry->second;
  actionSettings.erase(entry);

  const std::vector<std::string>& files = *task.files();
  const auto count = static_cast<unsigned>(files.size());
  // A URL that names no local folder (another scheme, a remote host) would
  // fail every file; it is refused before the first one.
  if (!pathFromFileUrl(preset.destFolder))
    throw ZadaZevuPluginError::invalidActionSettings(tags::destFolder().label, task.action());

  unsigned written = 0;
  for (unsigned i = 1; i <= count; ++i) {
    if (task.cancelled()) break;
    const std::optional<std::string> sourceUrl = taskFileUrl(files[i - 1]);
    if (!sourceUrl) break;
    const std::string filename = std::filesystem::path(files[i - 1]).filename().string();
    const std::string output = uniquePathname(preset.destFolder, filename);
    info("saving to " + output, "startPublishingTask(_:progress:)");
    // Should the name be taken meanwhile, the next free number is used.
    const auto nameFor = [&filename](unsigned k) { return numberedName(filename, k); };
    const std::optional<std::string> path =
        processImage(*sourceUrl, output, preset, detectFace, nameFor);
    if (!path) break;
    if (const std::string url = fileUrlFromPath(*path); url != output)
      info("saved as " + url + " (the name was taken meanwhile)",
           "startPublishingTask(_:progress:)");
    written = i;
    if (progress) progress(task, i, count, "Publish with Kadro: " + filename);
  }
  // A cancelled or failed run says how many of the files it wrote.
  const std::string message = written == count ? "cropped " + std::to_string(count) + " files"
                                               : "cropped " + std::to_string(written) + " of " +
                                                     std::to_string(count) + " files";
  return std::make_shared<ph::PluginActionPublishResult>(preset.destFolder, message);
}

}  // namespace kadro
