#include "Plugin/action.h"

#include <array>
#include <nlohmann/json.hpp>
#include <utility>

#include "Plugin/file_url.h"

namespace kadro {
namespace {

constexpr std::array<std::pair<CropType, std::string_view>, 5> kRawValues{{
    {CropType::none, "none"},
    {CropType::square, "square"},
    {CropType::circle, "circle"},
    {CropType::hex, "hex"},
    {CropType::octo, "octo"},
}};

const nlohmann::json& member(const nlohmann::json& j, const char* key) {
  auto it = j.find(key);
  if (it == j.end()) throw ActionDecodeError(std::string("missing member \"") + key + "\"");
  return *it;
}

std::string stringMember(const nlohmann::json& j, const char* key) {
  const nlohmann::json& v = member(j, key);
  if (!v.is_string())
    throw ActionDecodeError(std::string("member \"") + key + "\" is not a string");
  return v.get<std::string>();
}

std::int64_t integerMember(const nlohmann::json& j, const char* key) {
  const nlohmann::json& v = member(j, key);
  if (v.is_number_unsigned()) {
    if (v.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX))
      throw ActionDecodeError(std::string("member \"") + key + "\" is out of range");
    return static_cast<std::int64_t>(v.get<std::uint64_t>());
  }
  if (!v.is_number_integer())
    throw ActionDecodeError(std::string("member \"") + key + "\" is not an integer");
  return v.get<std::int64_t>();
}

bool booleanMember(const nlohmann::json& j, const char* key) {
  const nlohmann::json& v = member(j, key);
  if (!v.is_boolean())
    throw ActionDecodeError(std::string("member \"") + key + "\" is not a boolean");
  return v.get<bool>();
}

}  // namespace

std::optional<CropType> cropTypeFromRawValue(std::string_view raw) {
  for (const auto& [type, text] : kRawValues)
    if (text == raw) return type;
  return std::nullopt;
}

std::string_view rawValue(CropType type) {
  for (const auto& [t, text] : kRawValues)
    if (t == type) return text;
  return "square";
}

std::string defaultDestFolder() {
  std::string home = homeDirectory();
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  return fileUrlFromPath(home == "/" ? "/Desktop" : home + "/Desktop");
}

Action::Action() : destFolder(defaultDestFolder()), type("square") {}

Action::Action(std::string name, std::string type, std::int64_t maxSize)
    : name(std::move(name)),
      destFolder(defaultDestFolder()),
      type(std::move(type)),
      maxSize(maxSize) {}

Action::Action(std::string name, std::string type, std::int64_t maxSize, bool borderEnabled,
               std::int64_t borderWidth, std::string borderColor, std::string borderColorCustom)
    : name(std::move(name)),
      destFolder(defaultDestFolder()),
      type(std::move(type)),
      maxSize(maxSize),
      borderEnabled(borderEnabled),
      borderWidth(borderWidth),
      borderColor(std::move(borderColor)),
      borderColorCustom(std::move(borderColorCustom)) {}

Color Action::safeColor() const {
  if (!borderEnabled) return Color::grey();
  if (borderColor == "white") return Color::white();
  if (borderColor == "black") return Color::black();
  if (borderColor == "custom")
    return Color::hexStringToRGB(borderColorCustom).value_or(Color::grey());
  return Color::grey();
}

namespace {

// The eight members in the record's order (kept by ordered_json, which the
// store writes).
template <typename Json>
Json presetObject(const Action& a) {
  return Json{{"name", a.name},
              {"destFolder", a.destFolder},
              {"type", a.type},
              {"maxSize", a.maxSize},
              {"borderEnabled", a.borderEnabled},
              {"borderWidth", a.borderWidth},
              {"borderColor", a.borderColor},
              {"borderColorCustom", a.borderColorCustom}};
}

}  // namespace

void to_json(nlohmann::json& j, const Action& a) { j = presetObject<nlohmann::json>(a); }

void to_json(nlohmann::ordered_json& j, const Action& a) {
  j = presetObject<nlohmann::ordered_json>(a);
}

void from_json(const nlohmann::json& j, Action& a) {
  if (!j.is_object()) throw ActionDecodeError("preset is not a JSON object");
  Action r;
  r.name = stringMember(j, "name");
  r.destFolder = stringMember(j, "destFolder");
  r.type = stringMember(j, "type");
  r.maxSize = integerMember(j, "maxSize");
  r.borderEnabled = booleanMember(j, "borderEnabled");
  r.borderWidth = integerMember(j, "borderWidth");
  r.borderColor = stringMember(j, "borderColor");
  r.borderColorCustom = stringMember(j, "borderColorCustom");
  a = std::move(r);
}

}  // namespace kadro
