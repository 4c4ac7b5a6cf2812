// The kadro program as the photo editor: it loads the Kadro.plugin bundle
// through the host layer and talks to the plug-in only through the host's
// protocols.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "app/commands.h"
#include "host/error.h"
#include "host/plugin_protocols.h"

namespace kadro::app {

struct HostSession {
  std::shared_ptr<ph::PluginBase> plugin;
  // The protocols the plug-in adopts; null where it adopts none.
  ph::OpenWithPlugin* openWith = nullptr;
  ph::PublishingPlugin* publishing = nullptr;
  ph::VariantProcessing* processing = nullptr;
  ph::SettingsPlugin* settings = nullptr;
};

// The installed bundle: lib/kadro/Kadro.plugin beside the program's bin/.
std::string defaultBundlePath();

// Removes "--bundle DIR" from `args` and returns DIR, else the default.
// Nothing (and a message on stderr) when the option lacks its folder.
std::optional<std::string> takeBundleOption(Args& args, const std::string& command);

// Loads the bundle; nothing, with the reason on stderr, when it cannot.
std::optional<HostSession> openSession(const std::string& bundle, const std::string& command);

// Prints a host error as a user sees it: its description and failure reason.
void printHostError(const std::string& command, const ph::Error& error);

// The host's file type key of a file, from its extension: "jpeg" for
// .jpg/.jpeg, "png" for .png in any letter case, else the lower-cased
// extension (empty without one).
std::string fileTypeKey(const std::string& path);

}  // namespace kadro::app
