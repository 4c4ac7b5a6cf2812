#include "app/host_session.h"

#include <algorithm>
#include <filesystem>
#include <iostream>

#include "host/plugin_bundle.h"

namespace kadro::app {

std::string defaultBundlePath() {
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return "Kadro.plugin";
  return (exe.parent_path().parent_path() / "lib" / "kadro" / "Kadro.plugin").string();
}

std::optional<std::string> takeBundleOption(Args& args, const std::string& command) {
  std::string bundle = defaultBundlePath();
  for (auto it = args.begin(); it != args.end();) {
    if (*it == "--") break;  // what follows are names, whatever they look like
    if (*it == "--bundle") {
      if (std::next(it) == args.end()) {
        std::cerr << "kadro " << command << ": --bundle needs a folder\n";
        return std::nullopt;
      }
      bundle = *std::next(it);
      it = args.erase(it, std::next(it, 2));
    } else if (it->rfind("--bundle=", 0) == 0) {
      bundle = it->substr(9);
      it = args.erase(it);
    } else {
      ++it;
    }
  }
  return bundle;
}

std::optional<HostSession> openSession(const std::string& bundle, const std::string& command) {
  ph::Error error;
  HostSession session;
  session.plugin = ph::PluginBundle::load(bundle, &error);
  if (!session.plugin) {
    std::cerr << "kadro " << command << ": cannot load the plug-in bundle " << bundle << ": "
              << error.localizedDescription;
    if (!error.localizedFailureReason.empty())
      std::cerr << " (" << error.localizedFailureReason << ")";
    std::cerr << "\n";
    return std::nullopt;
  }
  session.openWith = dynamic_cast<ph::OpenWithPlugin*>(session.plugin.get());
  session.publishing = dynamic_cast<ph::PublishingPlugin*>(session.plugin.get());
  session.processing = dynamic_cast<ph::VariantProcessing*>(session.plugin.get());
  session.settings = dynamic_cast<ph::SettingsPlugin*>(session.plugin.get());
  return session;
}

void printHostError(const std::string& command, const ph::Error& error) {
  std::cerr << "kadro " << command << ": " << error.localizedDescription << "\n";
  if (!error.localizedFailureReason.empty())
    std::cerr << "  " << error.localizedFailureReason << "\n";
  std::cerr << "  (" << error.domain << " error " << error.code << ")\n";
}

std::string fileTypeKey(const std::string& path) {
  std::string ext = std::filesystem::path(path).extension().string();
  if (!ext.empty()) ext.erase(0, 1);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (ext == "jpg") return "jpeg";
  return ext;
}

}  // namespace kadro::app
