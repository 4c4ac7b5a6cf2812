// Identifiers of the settings elements, groups and actions the plug-in hands
// to the host. The host stores recipe settings and reports edits under them,
// so their text must never change.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Plugin/bundle.h"

namespace kadro {

// What the plug-in identifier is when its bundle has no identifier.
inline constexpr char kFallbackPluginIdentifier[] = "KadroPlugin";

class ID {
 public:
  ID() = delete;

  // The plug-in identifier: the bundle identifier of the plug-in's bundle, or
  // "KadroPlugin" without one. Found once (thread-safe), then kept.
  static const std::string& indentifier();

  // The last number handed out for an anonymous identifier; only grows.
  static inline std::atomic<std::int64_t> anonCounter{0};
};

// The plug-in identifier for a bundle: its identifier, or "KadroPlugin" when
// there is no bundle or it has no (or an empty) identifier.
std::string pluginIdentifier(const std::optional<BundleInfo>& bundle);

// `prefix` + "." + `shortName`: how every identifier is formed.
std::string joinIdentifier(std::string_view prefix, std::string_view shortName);

// The next anonymous short name, "anon-" and the new counter value.
std::string nextAnonymousTag();
// The next anonymous identifier: the plug-in identifier, ".", nextAnonymousTag().
std::string anonymousIdentifier();

// One named settings element: its title and its identifier.
struct Tag {
  std::string label;
  std::string identifier;

  // The tag of `shortName` under the plug-in identifier.
  Tag(std::string_view shortName, std::string label);
  // The tag of `shortName` under `prefix`.
  static Tag under(std::string_view prefix, std::string_view shortName, std::string label);

  friend bool operator==(const Tag&, const Tag&) = default;

 private:
  struct Formed {};
  Tag(Formed, std::string label, std::string identifier);
};

// The fixed tags, each made once on first use under the plug-in identifier.
struct ZadaZevuPluginTags {
  static const Tag& presetList();
  static const Tag& presetName();
  static const Tag& destFolder();
  static const Tag& type();
  static const Tag& maxSize();
  static const Tag& cropBorderEnabled();
  static const Tag& cropBorderWidth();
  static const Tag& cropBorderColor();
  static const Tag& cropBorderColorCustom();
  static const Tag& saveButton();
  static const Tag& saveNewButton();
  static const Tag& deleteButton();
};

// The tags of one preset's editable values. The preferences panel uses the
// fixed tags; a recipe's action settings use suffixed ones, whose identifiers
// are the plug-in identifier, ".", the fixed tag's identifier and the suffix
// (so the plug-in identifier occurs twice, also for an empty suffix).
struct ActionTags {
  Tag destFolder;
  Tag type;
  Tag maxSize;
  Tag cropBorderEnabled;
  Tag cropBorderWidth;
  Tag cropBorderColor;
  Tag cropBorderColorCustom;

  // The fixed tags, unchanged.
  ActionTags();
  // Suffixed tags with the fixed tags' labels.
  explicit ActionTags(std::string_view suffix);

  // The same under `prefix` instead of the plug-in identifier.
  static ActionTags under(std::string_view prefix);
  static ActionTags under(std::string_view prefix, std::string_view suffix);

  friend bool operator==(const ActionTags&, const ActionTags&) = default;

 private:
  struct Build {};
  template <typename MakeTag>
  ActionTags(Build, const MakeTag& make);
};

inline ActionTags actionTags() { return ActionTags(); }
inline ActionTags actionTags(std::string_view suffix) { return ActionTags(suffix); }

}  // namespace kadro
