// Loading a plug-in bundle: a folder holding Info.json, Resources/ and the
// plug-in module, a shared object with one C entry point that creates the
// bundle's principal object.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "host/error.h"
#include "host/plugin_protocols.h"

namespace ph {

// The entry point a module exports: puts its principal object into `*out`.
using CreatePluginFunction = void (*)(std::shared_ptr<PluginBase>* out);

// Marks the entry point's definition, so that it stays visible in a module
// built with hidden visibility:
//   PH_PLUGIN_ENTRY_POINT void KadroCreatePlugin(std::shared_ptr<ph::PluginBase>* out) {...}
#define PH_PLUGIN_ENTRY_POINT extern "C" __attribute__((visibility("default")))

// What Info.json says about a bundle.
struct PluginBundleInfo {
  std::string path;                       // the bundle folder
  std::optional<std::string> identifier;  // "CFBundleIdentifier"
  std::optional<std::string> version;     // "CFBundleShortVersionString"
  std::string module;                     // "KadroModule": file name inside the bundle
  std::string entryPoint;                 // "KadroEntryPoint": symbol of a CreatePluginFunction
};

inline constexpr char kPluginBundleErrorDomain[] = "ph.PluginBundle";

// Codes of errors in kPluginBundleErrorDomain.
enum PluginBundleErrorCode : long {
  kPluginBundleNotFound = 1,         // no folder there
  kPluginBundleInfoInvalid = 2,      // Info.json missing, not JSON, or lacking a member
  kPluginBundleModuleNotLoaded = 3,  // the module is missing or cannot be loaded
  kPluginBundleEntryPointMissing = 4,
  kPluginBundleNoPlugin = 5,  // the entry point made no object or threw
};

class PluginBundle {
 public:
  PluginBundle() = delete;

  // Reads and checks a bundle's Info.json; nothing (and `error` filled in)
  // when the folder or its Info.json is missing or malformed. Members other
  // than the module and the entry point may be absent.
  static std::optional<PluginBundleInfo> readInfo(const std::string& folder, Error* error);

  // Loads the module and creates the principal object. The object keeps the
  // module loaded for as long as it lives. Null, with `error` filled in, on
  // any failure; the message names the file and what is wrong with it.
  static std::shared_ptr<PluginBase> load(const std::string& folder, Error* error);
};

}  // namespace ph
