// Numeric codes and text keys shared by the host and its plug-ins.
#pragma once

namespace ph {

// Where the host offers Open With actions.
using OpenWithPluginRole = unsigned;
// Open With targets of an export recipe; the only role Kadro answers.
inline constexpr OpenWithPluginRole kOpenWithPluginRoleOpenWith = 2;

// What happened to a settings item.
using SettingsEvent = unsigned;
inline constexpr SettingsEvent kSettingsEventButtonPressed = 1;

// What a plug-in asks of the host after a settings event or edit.
using SettingsCallbackAction = unsigned;
inline constexpr SettingsCallbackAction kSettingsCallbackActionNone = 0;
// Build the settings panels again.
inline constexpr SettingsCallbackAction kSettingsCallbackActionRefresh = 1;

// What a plug-in asks of the host after an edit of a recipe's action settings.
using ActionSettingsCallbackAction = unsigned;
inline constexpr ActionSettingsCallbackAction kActionSettingsCallbackActionNone = 0;
// Ask for the recipe's action settings again.
inline constexpr ActionSettingsCallbackAction kActionSettingsCallbackActionRefresh = 1;

// Keys of the processing settings a plug-in asks for its exported variants.
inline constexpr char kSupportedFileFormatsKey[] = "PHSupportedFileFormatsKey";
inline constexpr char kProcessScaleMethodKey[] = "PHProcessScaleMethodKey";
inline constexpr char kProcessLongEdgeScaleKey[] = "PHProcessLongEdgeScaleKey";
inline constexpr char kProcessScaleLengthKey[] = "PHProcessScaleLengthKey";
inline constexpr char kProcessScaleUnitKey[] = "PHProcessScaleUnitKey";

}  // namespace ph
