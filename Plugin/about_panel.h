// The read-only "About Kadro" panel: help texts and the installed version.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "host/settings_element.h"

namespace kadro {

// The panel for a bundle whose version is `version`; without one it has no
// "Installed Version" label. Every label takes a fresh anonymous identifier.
std::shared_ptr<ph::SettingsElementsGroup> aboutPanel(const std::optional<std::string>& version);

}  // namespace kadro
