// The per-user preset store: the whole preset collection as one JSON
// document in an SQLite key-value file of the user's suite, with the four
// built-in presets written on first use.
//
// Nothing stored is lost: a read that failed is never the base of a write
// (changes are made inside one write transaction on what it reads), a
// damaged document is copied aside before anything replaces it, a busy file
// is waited for and then reported, and a file that is no database is renamed
// aside, never overwritten.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "Plugin/action.h"

namespace kadro {

// Preset key (the preset's name when it was saved) to preset, in key order.
using PresetMap = std::map<std::string, Action>;

// The store could not read or write its file. `cause` is one or more whole
// sentences saying what happened and what was kept.
class PresetStoreError : public std::runtime_error {
 public:
  PresetStoreError(std::string file, std::string cause);
  const std::string& file() const { return file_; }
  const std::string& cause() const { return cause_; }

 private:
  std::string file_;
  std::string cause_;
};

// What a read found: the stored presets, or, when they could not be read,
// the built-in presets (what a panel shows) and the reason.
struct PresetRead {
  PresetMap presets;
  std::optional<PresetStoreError> failure;
  bool ok() const { return !failure; }
};

class Settings {
 public:
  static constexpr std::chrono::milliseconds kBusyTimeout{10000};

  // The one store of the process, created on first use (thread-safe). The
  // first read or write on a machine writes the built-in presets.
  static Settings& shared();

  // The suite name: the plug-in bundle's identifier, else a fixed one.
  static const std::string& domain();

  // The database file of a suite: $XDG_CONFIG_HOME/kadro/<suite>.sqlite
  // (XDG_CONFIG_HOME defaults to ~/.config).
  static std::string suitePath(const std::string& suite);

  // The stored collection, decoded afresh on every read. No document gives
  // the built-ins, "{}" the single "Default" preset; a document that does
  // not decode gives the built-ins and the reason (and the line "unable to
  // decode preset: ..."), as does a file that cannot be read.
  PresetRead read() const;

  // read().presets: never empty, whether or not the read succeeded.
  PresetMap presets() const;

  // Reads the collection and writes back what `change` makes of it, in one
  // write transaction, so that no other process's change slips in between.
  // `change` gets what read() gives and must not use the store itself;
  // whatever it throws passes through with nothing written. A stored document that does not decode
  // is first copied to "<suite>.damaged-presets-<hash>.json" beside the store and the update fails
  // naming the copy; once that copy exists, the next update starts from the built-ins. Throws
  // PresetStoreError when nothing was written.
  void update(const std::function<void(PresetMap&)>& change);

  // Replaces the stored collection (an update that ignores what it reads).
  void setPresets(const PresetMap& presets);

  // The four built-in presets.
  static const PresetMap& defaultPresets();

  // The database file.
  const std::string& path() const;

  // How long to wait for another process's lock before reporting the store
  // busy (kBusyTimeout unless changed; tests shorten it).
  void setBusyTimeout(std::chrono::milliseconds timeout);

  // A store over the database file at `path`; shared() uses the suite's file
  // under $XDG_CONFIG_HOME (default ~/.config). The file is opened on the
  // first read or write, and again on later ones until that succeeds (so a
  // busy or missing file costs nothing until it is needed). A file that is no
  // database is renamed to "<suite>.unusable-<date>-<time>.sqlite" and a
  // fresh store made, said on standard error with both names.
  explicit Settings(std::string path, std::chrono::milliseconds busyTimeout = kBusyTimeout);
  ~Settings();
  Settings(const Settings&) = delete;
  Settings& operator=(const Settings&) = delete;

 private:
  struct Database;
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
