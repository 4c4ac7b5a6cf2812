// The bundle's entry point: the host calls it once after loading the module
// to create the principal object.
#include <vips/vips8>

#include "Plugin/kadro_plugin.h"
#include "host/plugin_bundle.h"

PH_PLUGIN_ENTRY_POINT void KadroCreatePlugin(std::shared_ptr<ph::PluginBase>* out) {
  if (!out) return;
  // The image pipeline needs libvips started; a host that already started it
  // is unaffected (starting again is a no-op).
  if (VIPS_INIT("Kadro")) {
    *out = nullptr;
    return;
  }
  // No exception may cross into the host.
  try {
    *out = std::make_shared<kadro::ZadaZevuPlugin>();
  } catch (...) {
    *out = nullptr;
  }
}
