#include "Plugin/errors.h"

#include "Plugin/settings.h"
#include "host/localized_string.h"

namespace kadro {
namespace {

constexpr char kQuote = '"';

}  // namespace

ZadaZevuPluginError::ZadaZevuPluginError(Case c, std::string setting, std::string name,
                                         std::shared_ptr<ph::PluginAction> action)
    : case_(c), setting_(std::move(setting)), name_(std::move(name)), action_(std::move(action)) {
  english_ = englishDescription();
}

ZadaZevuPluginError ZadaZevuPluginError::invalidSettingValue(std::string setting) {
  return {Case::invalidSettingValue, std::move(setting), {}, nullptr};
}

ZadaZevuPluginError ZadaZevuPluginError::invalidActionSettings(
    std::string setting, std::shared_ptr<ph::PluginAction> action) {
  return {Case::invalidActionSettings, std::move(setting), {}, std::move(action)};
}

ZadaZevuPluginError ZadaZevuPluginError::duplicatePresetName(std::string name) {
  return {Case::duplicatePresetName, {}, std::move(name), nullptr};
}

ZadaZevuPluginError ZadaZevuPluginError::invalidAction() {
  return {Case::invalidAction, {}, {}, nullptr};
}

ZadaZevuPluginError ZadaZevuPluginError::invalidTaskFiles() {
  return {Case::invalidTaskFiles, {}, {}, nullptr};
}

ZadaZevuPluginError ZadaZevuPluginError::unsupportedEvent() {
  return {Case::unsupportedEvent, {}, {}, nullptr};
}

ZadaZevuPluginError ZadaZevuPluginError::presetStoreFailure(std::string file, std::string reason) {
  ZadaZevuPluginError e(Case::presetStoreFailure, {}, {}, nullptr);
  e.file_ = std::move(file);
  e.reason_ = std::move(reason);
  e.english_ = e.englishDescription();
  return e;
}

ZadaZevuPluginError ZadaZevuPluginError::presetStoreFailure(const PresetStoreError& e) {
  return presetStoreFailure(e.file(), e.cause());
}

const char* ZadaZevuPluginError::caseName() const {
  switch (case_) {
    case Case::invalidSettingValue:
      return "invalidSettingValue";
    case Case::invalidActionSettings:
      return "invalidActionSettings";
    case Case::duplicatePresetName:
      return "duplicatePresetName";
    case Case::invalidAction:
      return "invalidAction";
    case Case::invalidTaskFiles:
      return "invalidTaskFiles";
    case Case::unsupportedEvent:
      return "unsupportedEvent";
    case Case::presetStoreFailure:
      return "presetStoreFailure";
  }
  return "";
}

// The texts below, spelling slips included, are keys of the hosts' string
// tables and are shown as they are where a table has no entry: keep them.
std::string ZadaZevuPluginError::englishDescription() const {
  switch (case_) {
    case Case::invalidSettingValue:
      return "Invalid value for " + setting_ + ".";
    case Case::invalidActionSettings:
      return "Invalid value for " + setting_;
    case Case::duplicatePresetName:
      return "Preset " + std::string(1, kQuote) + name_ + kQuote + " already exists.";
    case Case::invalidAction:
      return "Innvalid action.";
    case Case::invalidTaskFiles:
      return "Invalid task files.";
    case Case::unsupportedEvent:
      return "Unsupported event.";
    case Case::presetStoreFailure:
      return std::string("The presets in ").append(1, kQuote).append(file_).append(1, kQuote) +
             " could not be read or saved.";
  }
  return "";
}

std::string ZadaZevuPluginError::englishFailureReason() const {
  switch (case_) {
    case Case::invalidSettingValue:
      return "The value you provided for " + setting_ + " is not valid.";
    case Case::invalidActionSettings:
      return "The value supplied for " + setting_ + " is not valid for performing " +
             (action_ ? action_->displayName() : std::string()) + ".";
    case Case::duplicatePresetName:
      return "A preset named " + std::string(1, kQuote) + name_ + kQuote +
             " already exists. Please select a differnent name to create a new preset.";
    case Case::invalidAction:
      return "The action cannot be performed by this plugin.";
    case Case::invalidTaskFiles:
      return "The files supplied along with the task are not valid for starting the task.";
    case Case::unsupportedEvent:
      return "The specified event type is unknown.";
    case Case::presetStoreFailure:
      return reason_;
  }
  return "";
}

std::string ZadaZevuPluginError::errorDescription() const {
  return ph::localizedString(english_,
                             std::string("Error - ") + caseName() + " - short description");
}

std::string ZadaZevuPluginError::failureReason() const {
  return ph::localizedString(englishFailureReason(),
                             std::string("Error - ") + caseName() + " - long description");
}

ph::Error ZadaZevuPluginError::hostError() const {
  return ph::Error{kDomain, code(), errorDescription(), failureReason()};
}

void report(const ZadaZevuPluginError& e, ph::Error* out) {
  if (out) *out = e.hostError();
}

}  // namespace kadro
