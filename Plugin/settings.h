// The per-user preset store: the whole preset collection as one JSON
// document in an SQLite key-value file of the user's suite, with the four
// built-in presets written on first use.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>

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

  // The database file of a suite: $XDG_CONFIG_HOME/kadro/<suite>.sqlite
  // (XDG_CONFIG_HOME defaults to ~/.config).
  static std::string suitePath(const std::string& suite);

  // The stored collection, decoded afresh on every read. Never empty: no
  // document gives the built-ins, a damaged one the built-ins (logged, the
  // stored bytes untouched), "{}" the single "Default" preset.
  PresetMap presets() const;

  // Replaces the stored collection in one transaction; failures are logged.
  void setPresets(const PresetMap& presets);

  // The four built-in presets.
  static const PresetMap& defaultPresets();

  // The database file in use; empty when the store could open no file and
  // keeps the presets in memory for this process only.
  const std::string& path() const;

  // A store over the database file at `path`, for tests and tools; shared()
  // uses the suite's file under $XDG_CONFIG_HOME (default ~/.config). A file
  // that cannot be opened or is no database is left as it is and the store
  // works in memory (said on standard error).
  explicit Settings(std::string path);
  ~Settings();
  Settings(const Settings&) = delete;
  Settings& operator=(const Settings&) = delete;

 private:
  struct Database;
  explicit Settings(std::unique_ptr<Database> db);
  std::unique_ptr<Database> db_;
};

// The stored document: one compact JSON object of presets, each with its
// members in the record's order. Throws nlohmann::json::exception when a
// text is not valid UTF-8. A non-negative indent pretty-prints.
std::string encodePresets(const PresetMap& presets, int indent = -1);

// Reads a stored document; throws on bad JSON, a non-object, or any preset
// that does not decode (naming its key).
PresetMap decodePresets(std::string_view document);

}  // namespace kadro
