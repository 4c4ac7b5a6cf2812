// The plug-in's one error type. Inside the plug-in failures are thrown as
// ZadaZevuPluginError; each host operation catches it and hands it to the
// host as a ph::Error.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include "host/error.h"
#include "host/plugin_action.h"

namespace kadro {

class PresetStoreError;

class ZadaZevuPluginError : public std::exception {
 public:
  // The cases, in the order that gives their codes.
  enum class Case {
    invalidSettingValue,
    invalidActionSettings,
    duplicatePresetName,
    invalidAction,
    invalidTaskFiles,
    unsupportedEvent,
    // Added after the original six, so that their codes stay as they are.
    presetStoreFailure,
  };

  // The domain of the host errors made from this type.
  static constexpr char kDomain[] = "KadroPlugin.ZadaZevuPluginError";

  // `setting`: the setting whose value was rejected.
  static ZadaZevuPluginError invalidSettingValue(std::string setting);
  // `action`: the action being configured or run (may be null).
  static ZadaZevuPluginError invalidActionSettings(std::string setting,
                                                   std::shared_ptr<ph::PluginAction> action);
  // `name`: the preset name that is already taken.
  static ZadaZevuPluginError duplicatePresetName(std::string name);
  static ZadaZevuPluginError invalidAction();
  static ZadaZevuPluginError invalidTaskFiles();
  static ZadaZevuPluginError unsupportedEvent();
  // The preset store `file` could not be read or written; `reason` says why
  // and what was kept, in whole sentences.
  static ZadaZevuPluginError presetStoreFailure(std::string file, std::string reason);
  static ZadaZevuPluginError presetStoreFailure(const PresetStoreError& e);

  Case errorCase() const { return case_; }
  long code() const { return static_cast<long>(case_); }
  // The case's name as written in code ("invalidTaskFiles").
  const char* caseName() const;

  // The payload; empty (null) for cases without it.
  const std::string& setting() const { return setting_; }
  const std::string& name() const { return name_; }
  const std::string& file() const { return file_; }
  const std::shared_ptr<ph::PluginAction>& action() const { return action_; }

  // The short and the long text, through the host's string table.
  std::string errorDescription() const;
  std::string failureReason() const;

  // The short text in English, for logs.
  const char* what() const noexcept override { return english_.c_str(); }

  ph::Error hostError() const;

 private:
  ZadaZevuPluginError(Case c, std::string setting, std::string name,
                      std::shared_ptr<ph::PluginAction> action);

  std::string englishDescription() const;
  std::string englishFailureReason() const;

  Case case_;
  std::string setting_;
  std::string name_;
  std::shared_ptr<ph::PluginAction> action_;
  std::string file_;
  std::string reason_;
  std::string english_;
};

// Hands `e` to the host: fills `*out` unless it is null.
void report(const ZadaZevuPluginError& e, ph::Error* out);

}  // namespace kadro
