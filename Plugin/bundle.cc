#include "Plugin/bundle.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>

namespace kadro {
namespace {

namespace fs = std::filesystem;

std::mutex g_mutex;
std::optional<std::string> g_override;

std::optional<std::string> textMember(const nlohmann::json& j, const char* key) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

// The file of the module (shared object or executable) holding this code.
fs::path ownModule() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ownModule), &info) && info.dli_fname && *info.dli_fname) {
    std::error_code ec;
    fs::path p = fs::canonical(info.dli_fname, ec);
    if (!ec) return p;
  }
  std::error_code ec;
  return fs::read_symlink("/proc/self/exe", ec);
}

std::optional<BundleInfo> locate() {
  {
    std::lock_guard lock(g_mutex);
    if (g_override) return readBundle(*g_override);
  }
  const fs::path dir = ownModule().parent_path();
  if (auto b = readBundle(dir.string())) return b;
  // The kadro program's command library sits beside the bundle.
  if (auto b = readBundle((dir / "Kadro.plugin").string())) return b;
  return readBundle((dir / ".." / "lib" / "kadro" / "Kadro.plugin").lexically_normal().string());
}

}  // namespace

std::optional<BundleInfo> readBundle(const std::string& folder) {
  std::ifstream in(fs::path(folder) / "Info.json");
  if (!in) return std::nullopt;
  nlohmann::json info = nlohmann::json::parse(in, nullptr, /*allow_exceptions=*/false);
  BundleInfo bundle;
  bundle.path = folder;
  if (info.is_object()) {
    bundle.identifier = textMember(info, "CFBundleIdentifier");
    bundle.version = textMember(info, "CFBundleShortVersionString");
  }
  return bundle;
}

const std::optional<BundleInfo>& currentBundle() {
  static const std::optional<BundleInfo> bundle = locate();
  return bundle;
}

void setBundlePath(std::string folder) {
  std::lock_guard lock(g_mutex);
  g_override = std::move(folder);
}

std::optional<std::string> bundleResourcePath(const std::string& name) {
  const auto& bundle = currentBundle();
  if (!bundle) return std::nullopt;
  return (fs::path(bundle->path) / "Resources" / name).string();
}

}  // namespace kadro
