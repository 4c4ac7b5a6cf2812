// The plug-in bundle this code belongs to: Kadro.plugin/ with Info.json,
// Resources/ and the module. The plug-in module finds it around itself; a
// program that links the pipeline directly finds the bundle installed beside
// it (bin/../lib/kadro/Kadro.plugin).
#pragma once

#include <optional>
#include <string>

namespace kadro {

struct BundleInfo {
  std::string path;                       // the Kadro.plugin folder
  std::optional<std::string> identifier;  // "CFBundleIdentifier" of Info.json
  std::optional<std::string> version;     // "CFBundleShortVersionString"
};

// Reads a bundle folder; nothing when it has no readable Info.json. Members
// of the wrong JSON type count as absent.
std::optional<BundleInfo> readBundle(const std::string& folder);

// The bundle of this process's plug-in code, found once (thread-safe) and
// then kept; nothing when there is none.
const std::optional<BundleInfo>& currentBundle();

// Chooses the bundle before anything asks for it (kadro --bundle, tests).
// Has no effect once currentBundle() has answered.
void setBundlePath(std::string folder);

// Path of a file in the bundle's Resources/ folder; nothing without a bundle.
std::optional<std::string> bundleResourcePath(const std::string& name);

}  // namespace kadro
