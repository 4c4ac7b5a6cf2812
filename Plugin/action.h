// A crop preset: how one exported picture is cropped, shaped, sized and
// framed, and where a publishing run writes it. A plain value.
#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "Plugin/color.h"
#include "SmartCrop/geometry.h"

namespace ph {
class Image;
}

namespace kadro {

enum class CropType { none, square, circle, hex, octo };

// Exact, case-sensitive match of the five raw values; nothing otherwise.
std::optional<CropType> cropTypeFromRawValue(std::string_view raw);
std::string_view rawValue(CropType type);

// The "file:" URL text of ~/Desktop, the folder publishing writes to unless
// a recipe says otherwise.
std::string defaultDestFolder();

struct Action {
  std::string name;
  std::string destFolder;
  std::string type;  // raw CropType text; other strings are kept as they are
  std::int64_t maxSize = 400;
  bool borderEnabled = false;
  std::int64_t borderWidth = 15;
  std::string borderColor = "white";
  std::string borderColorCustom = "#333333";

  // The empty preset: square, 400, no border.
  Action();
  Action(std::string name, std::string type, std::int64_t maxSize);
  Action(std::string name, std::string type, std::int64_t maxSize, bool borderEnabled,
         std::int64_t borderWidth, std::string borderColor, std::string borderColorCustom);

  friend bool operator==(const Action&, const Action&) = default;

  // The colour the border is drawn in; grey when the border is off or the
  // colour cannot be read.
  Color safeColor() const;

  // The preset's icon (its shape filled with safeColor), or nothing for a
  // type outside the five. Drawn by the plug-in's icon code.
  std::shared_ptr<ph::Image> preview(Size size) const;
};

// Thrown when a JSON preset lacks a member or holds one of the wrong type.
class ActionDecodeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The JSON form: one object with exactly the eight members, integers as
// integers and the boolean as a boolean. Decoding requires all eight and
// ignores any other member.
void to_json(nlohmann::json& j, const Action& action);
void to_json(nlohmann::ordered_json& j, const Action& action);
void from_json(const nlohmann::json& j, Action& action);

}  // namespace kadro
