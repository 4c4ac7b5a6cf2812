#include "host/plugin_bundle.h"

#include <dlfcn.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

namespace ph {
namespace {

namespace fs = std::filesystem;

bool fail(Error* error, PluginBundleErrorCode code, std::string description, std::string reason) {
  if (error)
    *error = Error{kPluginBundleErrorDomain, code, std::move(description), std::move(reason)};
  return false;
}

std::optional<std::string> text(const nlohmann::json& info, const char* key) {
  auto it = info.find(key);
  if (it == info.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

// A module named by Info.json must stay inside its bundle.
bool isPlainRelativePath(const std::string& name) {
  if (name.empty()) return false;
  const fs::path p(name);
  if (p.is_absolute()) return false;
  for (const fs::path& part : p)
    if (part == "..") return false;
  return true;
}

// The principal object followed by the module it came from: members are
// destroyed in reverse order, so the object goes before the module.
struct LoadedPlugin {
  std::shared_ptr<void> module;
  std::shared_ptr<PluginBase> plugin;
};

}  // namespace

std::optional<PluginBundleInfo> PluginBundle::readInfo(const std::string& folder, Error* error) {
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    fail(error, kPluginBundleNotFound, "No plug-in bundle at " + folder + ".",
         "The folder does not exist or is not a folder.");
    return std::nullopt;
  }
  const std::string infoPath = (fs::path(folder) / "Info.json").string();
  std::ifstream in(infoPath);
  if (!in) {
    fail(error, kPluginBundleInfoInvalid, "Cannot read " + infoPath + ".",
         "The bundle has no readable Info.json.");
    return std::nullopt;
  }
  const nlohmann::json info = nlohmann::json::parse(in, nullptr, /*allow_exceptions=*/false);
  if (!info.is_object()) {
    fail(error, kPluginBundleInfoInvalid, infoPath + " is not valid.",
         "Info.json must hold one JSON object.");
    return std::nullopt;
  }
  PluginBundleInfo result;
  result.path = folder;
  result.identifier = text(info, "CFBundleIdentifier");
  result.version = text(info, "CFBundleShortVersionString");
  auto module = text(info, "KadroModule");
  auto entryPoint = text(info, "KadroEntryPoint");
  if (!module || !isPlainRelativePath(*module)) {
    fail(error, kPluginBundleInfoInvalid, infoPath + " names no module.",
         "KadroModule must be the text of a file name inside the bundle.");
    return std::nullopt;
  }
  if (!entryPoint || entryPoint->empty()) {
    fail(error, kPluginBundleInfoInvalid, infoPath + " names no entry point.",
         "KadroEntryPoint must be the text of a symbol name.");
    return std::nullopt;
  }
  result.module = *module;
  result.entryPoint = *entryPoint;
  return result;
}

std::shared_ptr<PluginBase> PluginBundle::load(const std::string& folder, Error* error) {
  const auto info = readInfo(folder, error);
  if (!info) return nullptr;
  const std::string modulePath = (fs::path(folder) / info->module).string();
  std::error_code ec;
  if (!fs::is_regular_file(modulePath, ec)) {
    fail(error, kPluginBundleModuleNotLoaded, "No plug-in module at " + modulePath + ".",
         "The module that Info.json names is missing.");
    return nullptr;
  }
  // The module is never unmapped (RTLD_NODELETE): objects it made, and their
  // shared_ptr control blocks, hold code of the module and may outlive the
  // principal object in the host's hands.
  void* handle = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (!handle) {
    const char* why = dlerror();
    fail(error, kPluginBundleModuleNotLoaded, "Cannot load " + modulePath + ".",
         why ? why : "The module cannot be loaded.");
    return nullptr;
  }
  std::shared_ptr<void> module(handle, [](void* h) { dlclose(h); });
  dlerror();
  auto create = reinterpret_cast<CreatePluginFunction>(dlsym(handle, info->entryPoint.c_str()));
  if (!create) {
    fail(error, kPluginBundleEntryPointMissing,
         modulePath + " has no entry point " + info->entryPoint + ".",
         "The module does not export the function that Info.json names.");
    return nullptr;
  }
  std::shared_ptr<PluginBase> plugin;
  try {
    create(&plugin);
  } catch (const std::exception& e) {
    fail(error, kPluginBundleNoPlugin, info->entryPoint + " of " + modulePath + " failed.",
         e.what());
    return nullptr;
  } catch (...) {
    fail(error, kPluginBundleNoPlugin, info->entryPoint + " of " + modulePath + " failed.",
         "It threw an exception.");
    return nullptr;
  }
  if (!plugin) {
    fail(error, kPluginBundleNoPlugin,
         info->entryPoint + " of " + modulePath + " created no plug-in.",
         "The entry point left its result empty.");
    return nullptr;
  }
  auto loaded = std::make_shared<LoadedPlugin>(LoadedPlugin{std::move(module), std::move(plugin)});
  return std::shared_ptr<PluginBase>(loaded, loaded->plugin.get());
}

}  // namespace ph
