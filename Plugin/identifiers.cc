#include "Plugin/identifiers.h"

#include <array>

namespace kadro {
namespace {

struct TagName {
  std::string_view shortName;
  std::string_view label;
};

constexpr TagName kPresetList{"preset-list", "Kadro Presets"};
constexpr TagName kPresetName{"preset-name", "Name"};
constexpr TagName kDestFolder{"dest-folder", "Export Path"};
constexpr TagName kType{"type", "Crop Type"};
constexpr TagName kMaxSize{"max-size", "Max Size"};
constexpr TagName kCropBorderEnabled{"crop-border-enabled", "Add Border"};
constexpr TagName kCropBorderWidth{"crop-border-width", "Border Width"};
constexpr TagName kCropBorderColor{"crop-border-color", "Border Color"};
constexpr TagName kCropBorderColorCustom{"crop-border-color-custom", "Custom Color"};
constexpr TagName kSaveButton{"save-button", "Save"};
constexpr TagName kSaveNewButton{"save-new-button", "Save New Preset"};
constexpr TagName kDeleteButton{"delete-button", "Delete"};

Tag tagUnder(std::string_view prefix, const TagName& name) {
  return Tag::under(prefix, name.shortName, std::string(name.label));
}

// A suffixed tag: its short name is the fixed tag's whole identifier and the
// suffix.
Tag suffixed(std::string_view prefix, const TagName& name, std::string_view suffix) {
  const std::string fixed = joinIdentifier(prefix, name.shortName);
  return Tag::under(prefix, fixed + std::string(suffix), std::string(name.label));
}

}  // namespace

const std::string& ID::indentifier() {
  static const std::string identifier = pluginIdentifier(currentBundle());
  return identifier;
}

std::string pluginIdentifier(const std::optional<BundleInfo>& bundle) {
  if (bundle && bundle->identifier && !bundle->identifier->empty()) return *bundle->identifier;
  return kFallbackPluginIdentifier;
}

std::string joinIdentifier(std::string_view prefix, std::string_view shortName) {
  std::string id;
  id.reserve(prefix.size() + 1 + shortName.size());
  id.append(prefix).append(".").append(shortName);
  return id;
}

std::string nextAnonymousTag() { return "anon-" + std::to_string(++ID::anonCounter); }

std::string anonymousIdentifier() { return joinIdentifier(ID::indentifier(), nextAnonymousTag()); }

Tag::Tag(Formed, std::string label, std::string identifier)
    : label(std::move(label)), identifier(std::move(identifier)) {}

Tag::Tag(std::string_view shortName, std::string label)
    : Tag(Formed{}, std::move(label), joinIdentifier(ID::indentifier(), shortName)) {}

Tag Tag::under(std::string_view prefix, std::string_view shortName, std::string label) {
  return Tag(Formed{}, std::move(label), joinIdentifier(prefix, shortName));
}

#define KADRO_FIXED_TAG(function, name)                       \
  const Tag& ZadaZevuPluginTags::function() {                 \
    static const Tag tag = tagUnder(ID::indentifier(), name); \
    return tag;                                               \
  }
KADRO_FIXED_TAG(presetList, kPresetList)
KADRO_FIXED_TAG(presetName, kPresetName)
KADRO_FIXED_TAG(destFolder, kDestFolder)
KADRO_FIXED_TAG(type, kType)
KADRO_FIXED_TAG(maxSize, kMaxSize)
KADRO_FIXED_TAG(cropBorderEnabled, kCropBorderEnabled)
KADRO_FIXED_TAG(cropBorderWidth, kCropBorderWidth)
KADRO_FIXED_TAG(cropBorderColor, kCropBorderColor)
KADRO_FIXED_TAG(cropBorderColorCustom, kCropBorderColorCustom)
KADRO_FIXED_TAG(saveButton, kSaveButton)
KADRO_FIXED_TAG(saveNewButton, kSaveNewButton)
KADRO_FIXED_TAG(deleteButton, kDeleteButton)
#undef KADRO_FIXED_TAG

template <typename MakeTag>
ActionTags::ActionTags(Build, const MakeTag& make)
    : destFolder(make(kDestFolder)),
      type(make(kType)),
      maxSize(make(kMaxSize)),
      cropBorderEnabled(make(kCropBorderEnabled)),
      cropBorderWidth(make(kCropBorderWidth)),
      cropBorderColor(make(kCropBorderColor)),
      cropBorderColorCustom(make(kCropBorderColorCustom)) {}

ActionTags::ActionTags()
    : destFolder(ZadaZevuPluginTags::destFolder()),
      type(ZadaZevuPluginTags::type()),
      maxSize(ZadaZevuPluginTags::maxSize()),
      cropBorderEnabled(ZadaZevuPluginTags::cropBorderEnabled()),
      cropBorderWidth(ZadaZevuPluginTags::cropBorderWidth()),
      cropBorderColor(ZadaZevuPluginTags::cropBorderColor()),
      cropBorderColorCustom(ZadaZevuPluginTags::cropBorderColorCustom()) {}

ActionTags::ActionTags(std::string_view suffix) : ActionTags(under(ID::indentifier(), suffix)) {}

ActionTags ActionTags::under(std::string_view prefix) {
  return ActionTags(Build{}, [&](const TagName& name) { return tagUnder(prefix, name); });
}

ActionTags ActionTags::under(std::string_view prefix, std::string_view suffix) {
  return ActionTags(Build{}, [&](const TagName& name) { return suffixed(prefix, name, suffix); });
}

}  // namespace kadro
