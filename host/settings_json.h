// The JSON form of a settings element tree and of the events a host reports
// back, shared by every host that draws panels outside this process (a web
// page, a script): one object per element, and one object per event.
//
// An element:
//   {"kind": "group", "identifier": I, "title": T, "elements": [element...]}
//   {"kind": "text" | "checkbox" | "label", "identifier": I, "title": T, "value": V}
//   {"kind": "button", "identifier": I, "title": T, "context": C}
//   {"kind": "list", "identifier": I, "title": T, "value": V,
//    "options": [{"value": V, "title": T, "image": URL or null}...]}
//   {"kind": "file", "identifier": I, "title": T, "value": [URL...], "directory": URL,
//    "chooseDirectories": B, "chooseFiles": B, "multiple": B}
// "value" is the element's value as it is (null when unset); a "context"
// member appears on any element that has one.
//
// An event: {"identifier": I, "value": V} for an edit, or
// {"identifier": I, "event": "press"} for a button press.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "host/image.h"
#include "host/plugin_protocols.h"
#include "host/settings_element.h"
#include "host/value.h"

namespace ph {

// The URL under which a client finds an image (text), or null to leave the
// image out.
using ImageUrlFunction = std::function<Value(const Image& image)>;

// The JSON form of one element and, for a group, everything in it.
Value settingsElementToJson(const SettingsElement& element, const ImageUrlFunction& imageUrl);

// The JSON form of a list of panels: an array of groups.
Value settingsGroupsToJson(const SettingsElementsGroups& groups, const ImageUrlFunction& imageUrl);

// A "data:image/png;base64,..." URL holding the image, for clients that keep
// no connection to the host; null when the image has no pixels.
Value pngDataUrl(const Image& image);

// An event as a client reports it.
struct SettingsEventRequest {
  std::string identifier;
  // The new value of an edit; nothing for a button press.
  std::optional<Value> value;
  bool isPress() const { return !value.has_value(); }
};

// Why an event cannot go to the plug-in.
struct SettingsEventFault {
  enum class Kind {
    malformed,          // not the JSON form of an event
    unknownIdentifier,  // no element of the panels has that identifier
    notAccepted,        // the element takes no such value or press
  };
  Kind kind = Kind::malformed;
  std::string message;
};

// Reads the JSON form of an event; nothing, with `fault` filled in, when
// `json` is not one. Members other than the three are left to the caller.
std::optional<SettingsEventRequest> parseSettingsEvent(const Value& json,
                                                       SettingsEventFault* fault);

// The element a client can address by `identifier` in the panels (groups
// themselves are not); null when there is none.
std::shared_ptr<SettingsItem> findSettingsItem(const SettingsElementsGroups& groups,
                                               const std::string& identifier);

// The element the event is for, once it is known to take the event: a press
// for a button; text for a text field; a boolean for a check box; one of the
// options' values for a list; a list of texts for a file chooser (at most one
// unless it allows several). Null, with `fault` filled in, otherwise.
std::shared_ptr<SettingsItem> resolveSettingsEvent(const SettingsElementsGroups& groups,
                                                   const SettingsEventRequest& event,
                                                   SettingsEventFault* fault);

// Hands a resolved event to the plug-in's preference panels: an edit to
// didUpdateValue, a press to handleEvent. The plug-in's answer.
bool sendSettingsEvent(SettingsPlugin& plugin, const SettingsItem& item,
                       const SettingsEventRequest& event, Error* error,
                       const SettingsCallback& callback);

// The JSON form of a host error: {"domain", "code", "description", "reason"}.
Value errorToJson(const Error& error);

}  // namespace ph
