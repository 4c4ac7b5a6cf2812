// The per-user preset store: the whole preset collection as one JSON
// document in an SQLite key-value file of the user's suite, with the four
// built-in presets written on first use.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "Plugin/action.h"

namespace kadro {

// Preset key (the preset's name when it was saved) to preset, in key order.
using PresetMap = std::map<std::string, Action>;

class Settings {
 public:
  // The one store of the process, created on first use (thread-safe). The
  // first creation on a machine writes the built-in presets.
  static Settings& shared();

  // The suite name: the plug-in bundle's identifier, else a fixed one.
  static const std::string& domain();

  // The stored collection, decoded afresh on every read. Never empty: no
  // document gives the built-ins, a damaged one the built-ins (logged, the
  // stored bytes untouched), "{}" the single "Default" preset.
  PresetMap presets() const;

  // Replaces the stored collection in one transaction; failures are logged.
  void setPresets(const PresetMap& presets);

  // The four built-in presets.
  static const PresetMap& defaultPresets();

  // A store over the database file at `path`, for tests and tools; shared()
  // uses the suite's file under $XDG_CONFIG_HOME (default ~/.config).
  explicit Settings(std::string path);
  ~Settings();
  Settings(const Settings&) = delete;
  Settings& operator=(const Settings&) = delete;

 private:
  struct Database;
  std::unique_ptr<Database> db_;
};

}  // namespace kadro
