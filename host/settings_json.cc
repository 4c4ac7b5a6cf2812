#include "host/settings_json.h"

#include <string_view>

#include "host/codes.h"

namespace ph {
namespace {

const char* kindName(SettingsElementKind kind) {
  switch (kind) {
    case SettingsElementKind::group:
      return "group";
    case SettingsElementKind::text:
      return "text";
    case SettingsElementKind::boolean:
      return "checkbox";
    case SettingsElementKind::button:
      return "button";
    case SettingsElementKind::label:
      return "label";
    case SettingsElementKind::list:
      return "list";
    case SettingsElementKind::file:
      return "file";
  }
  return "unknown";
}

std::string base64(std::string_view bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const unsigned n = static_cast<unsigned char>(bytes[i]) << 16 |
                       static_cast<unsigned char>(bytes[i + 1]) << 8 |
                       static_cast<unsigned char>(bytes[i + 2]);
    out += {kDigits[n >> 18], kDigits[(n >> 12) & 63], kDigits[(n >> 6) & 63], kDigits[n & 63]};
  }
  if (i + 1 == bytes.size()) {
    const unsigned n = static_cast<unsigned char>(bytes[i]) << 16;
    out += {kDigits[n >> 18], kDigits[(n >> 12) & 63], '=', '='};
  } else if (i + 2 == bytes.size()) {
    const unsigned n =
        static_cast<unsigned char>(bytes[i]) << 16 | static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += {kDigits[n >> 18], kDigits[(n >> 12) & 63], kDigits[(n >> 6) & 63], '='};
  }
  return out;
}

SettingsEventFault fault(SettingsEventFault::Kind kind, std::string message) {
  return {kind, std::move(message)};
}

// What a client should say of an element in a message: its title, else its
// identifier.
std::string nameOf(const SettingsElement& element) {
  return element.title().empty() ? element.identifier() : element.title();
}

std::shared_ptr<SettingsItem> findIn(const SettingsElements& elements,
                                     const std::string& identifier) {
  for (const auto& element : elements) {
    if (const auto group = std::dynamic_pointer_cast<SettingsElementsGroup>(element)) {
      if (auto found = findIn(group->elements(), identifier)) return found;
    } else if (element->identifier() == identifier) {
      return std::dynamic_pointer_cast<SettingsItem>(element);
    }
  }
  return nullptr;
}

// Control characters: C0, DEL, and C1 in UTF-8 (C2 80 to C2 9F). A cursor
// key that a terminal sent as an escape sequence ends up here.
bool hasControlCharacter(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f) return true;
    if (c == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) <= 0x9f)
      return true;
  }
  return false;
}

// Why `value` does not suit `item`; nothing when it does.
std::optional<std::string> valueProblem(const SettingsItem& item, const Value& value) {
  const std::string name = nameOf(item);
  switch (item.kind()) {
    case SettingsElementKind::text:
      if (!value.is_string()) return name + " takes text";
      // Fields hold one line; what a terminal or a paste slipped in is refused
      // rather than stored.
      if (hasControlCharacter(value.get<std::string>()))
        return name + " takes one line of text without control characters";
      return std::nullopt;
    case SettingsElementKind::boolean:
      if (!value.is_boolean()) return name + " is a check box: it takes true or false";
      return std::nullopt;
    case SettingsElementKind::list: {
      const auto& list = static_cast<const SettingsListItem&>(item);
      if (value.is_string())
        for (const auto& option : list.options())
          if (option.value() == value.get<std::string>()) return std::nullopt;
      return name + " has no option " + describe(value);
    }
    case SettingsElementKind::file: {
      const auto& file = static_cast<const SettingsFileItem&>(item);
      if (!value.is_array()) return name + " takes a list of file URLs";
      for (const Value& entry : value)
        if (!entry.is_string()) return name + " takes a list of file URLs";
      if (value.size() > 1 && !file.allowsMultipleSelection())
        return name + " takes one " + (file.canChooseDirectories() ? "folder" : "file");
      return std::nullopt;
    }
    case SettingsElementKind::button:
      return name + " is a button: press it";
    case SettingsElementKind::label:
    case SettingsElementKind::group:
      return name + " cannot be changed";
  }
  return name + " cannot be changed";
}

}  // namespace

Value settingsElementToJson(const SettingsElement& element, const ImageUrlFunction& imageUrl) {
  Value json = Value::object();
  json["kind"] = kindName(element.kind());
  json["identifier"] = element.identifier();
  json["title"] = element.title();
  if (!element.context().empty()) json["context"] = element.context();
  switch (element.kind()) {
    case SettingsElementKind::group: {
      Value elements = Value::array();
      for (const auto& child : static_cast<const SettingsElementsGroup&>(element).elements())
        if (child) elements.push_back(settingsElementToJson(*child, imageUrl));
      json["elements"] = std::move(elements);
      return json;
    }
    case SettingsElementKind::button:
      if (!json.contains("context")) json["context"] = "";
      return json;
    case SettingsElementKind::list: {
      json["value"] = element.value();
      Value options = Value::array();
      for (const auto& option : static_cast<const SettingsListItem&>(element).options()) {
        Value image = option.image() && imageUrl ? imageUrl(*option.image()) : Value();
        options.push_back(
            {{"value", option.value()}, {"title", option.title()}, {"image", std::move(image)}});
      }
      json["options"] = std::move(options);
      return json;
    }
    case SettingsElementKind::file: {
      const auto& file = static_cast<const SettingsFileItem&>(element);
      json["value"] = element.value();
      json["directory"] = file.directoryURL();
      json["chooseDirectories"] = file.canChooseDirectories();
      json["chooseFiles"] = file.canChooseFiles();
      json["multiple"] = file.allowsMultipleSelection();
      return json;
    }
    case SettingsElementKind::text:
    case SettingsElementKind::boolean:
    case SettingsElementKind::label:
      json["value"] = element.value();
      return json;
  }
  return json;
}

Value settingsGroupsToJson(const SettingsElementsGroups& groups, const ImageUrlFunction& imageUrl) {
  Value json = Value::array();
  for (const auto& group : groups)
    if (group) json.push_back(settingsElementToJson(*group, imageUrl));
  return json;
}

Value pngDataUrl(const Image& image) {
  const std::string png = image.pngData();
  if (png.empty()) return Value();
  return "data:image/png;base64," + base64(png);
}

std::optional<SettingsEventRequest> parseSettingsEvent(const Value& json, SettingsEventFault* out) {
  const auto fail = [&](std::string message) -> std::optional<SettingsEventRequest> {
    if (out) *out = fault(SettingsEventFault::Kind::malformed, std::move(message));
    return std::nullopt;
  };
  if (!json.is_object()) return fail("an event is a JSON object");
  const auto identifier = json.find("identifier");
  if (identifier == json.end() || !identifier->is_string() ||
      identifier->get<std::string>().empty())
    return fail("an event names its element's \"identifier\" as text");
  const auto value = json.find("value");
  const auto event = json.find("event");
  if (value != json.end() && event != json.end())
    return fail("an event carries either a \"value\" or an \"event\", not both");
  SettingsEventRequest request{identifier->get<std::string>(), std::nullopt};
  if (value != json.end()) {
    request.value = *value;
  } else if (event != json.end()) {
    if (*event != "press") return fail("the only \"event\" is \"press\"");
  } else {
    return fail("an event carries the new \"value\" or \"event\": \"press\"");
  }
  return request;
}

std::shared_ptr<SettingsItem> findSettingsItem(const SettingsElementsGroups& groups,
                                               const std::string& identifier) {
  for (const auto& group : groups)
    if (group)
      if (auto found = findIn(group->elements(), identifier)) return found;
  return nullptr;
}

std::shared_ptr<SettingsItem> resolveSettingsEvent(const SettingsElementsGroups& groups,
                                                   const SettingsEventRequest& event,
                                                   SettingsEventFault* out) {
  auto item = findSettingsItem(groups, event.identifier);
  if (!item) {
    if (out)
      *out = fault(SettingsEventFault::Kind::unknownIdentifier,
                   "no element of the panels has the identifier " + event.identifier);
    return nullptr;
  }
  std::optional<std::string> problem;
  if (event.isPress()) {
    if (item->kind() != SettingsElementKind::button)
      problem = nameOf(*item) + " is no button: it takes a value";
  } else {
    problem = valueProblem(*item, *event.value);
  }
  if (problem) {
    if (out) *out = fault(SettingsEventFault::Kind::notAccepted, std::move(*problem));
    return nullptr;
  }
  return item;
}

bool sendSettingsEvent(SettingsPlugin& plugin, const SettingsItem& item,
                       const SettingsEventRequest& event, Error* error,
                       const SettingsCallback& callback) {
  if (event.isPress())
    return plugin.handleEvent(kSettingsEventButtonPressed, item, error, callback);
  return plugin.didUpdateValue(*event.value, item.identifier(), error, callback);
}

Value errorToJson(const Error& error) {
  return {{"domain", error.domain},
          {"code", error.code},
          {"description", error.localizedDescription},
          {"reason", error.localizedFailureReason}};
}

}  // namespace ph
