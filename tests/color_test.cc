#include "Plugin/color.h"

#include <gtest/gtest.h>

#include <string>

#include "Plugin/action.h"
#include "Plugin/custom_colors.h"
#include "Plugin/settings.h"

namespace kadro {
namespace {

void expectColor(const std::optional<Color>& c, double red, double green, double blue) {
  ASSERT_TRUE(c);
  EXPECT_DOUBLE_EQ(c->red, red);
  EXPECT_DOUBLE_EQ(c->green, green);
  EXPECT_DOUBLE_EQ(c->blue, blue);
  EXPECT_DOUBLE_EQ(c->alpha, 1.0);
}

TEST(HexColor, ReadsSixDigitsInEitherCase) {
  expectColor(Color::hexStringToRGB("#ffcc00"), 1.0, 0.8, 0.0);
  expectColor(Color::hexStringToRGB("#FFCC00"), 1.0, 0.8, 0.0);
  expectColor(Color::hexStringToRGB("#991111"), 153 / 255.0, 17 / 255.0, 17 / 255.0);
  expectColor(Color::hexStringToRGB("#000000"), 0, 0, 0);
}

TEST(HexColor, RejectsEverythingButHashAndSixDigits) {
  using namespace std::string_literals;
  for (const std::string& text :
       {"ffcc00"s, "#fc0"s, "#ffcc0000"s, "#ffcc0"s, "# 12345"s, "#12345 "s, " #ffcc00"s,
        "#ffcc0g"s, ""s, "#"s, "##ffcc0"s, "#ffcc00\n"s, "#0x1234"s, "#+-1234"s, "#++1234"s,
        "#12345-"s, "#-"s,
        "#12\0"
        "345"s})
    EXPECT_FALSE(Color::hexStringToRGB(text)) << '"' << text << '"';
  // Six characters but seven bytes, and six bytes but fewer characters.
  EXPECT_FALSE(Color::hexStringToRGB("#ffcc0\xc3\xa9"));
  EXPECT_FALSE(Color::hexStringToRGB("#\xc3\xa9\xc3\xa9\xc3\xa9"));
}

// A sign in front of five digits is taken as the integer parse takes it, and
// the components come from the two's complement: stored presets may use it.
TEST(HexColor, SignedBodiesUseTheTwosComplement) {
  expectColor(Color::hexStringToRGB("#+0ffff"), 0, 1, 1);
  expectColor(Color::hexStringToRGB("#-00001"), 1, 1, 1);
  expectColor(Color::hexStringToRGB("#-00000"), 0, 0, 0);
  // -0xffffe is 0xf00002 in the low 24 bits.
  expectColor(Color::hexStringToRGB("#-ffffe"), 0xf0 / 255.0, 0, 2 / 255.0);
}

TEST(SafeColor, ResolvesTheSelectorWithGreyForAnythingUnreadable) {
  Action a("p", "square", 400, true, 5, "black", "#ffcc00");
  EXPECT_EQ(a.safeColor(), Color::black());
  a.borderColor = "white";
  EXPECT_EQ(a.safeColor(), Color::white());
  a.borderColor = "custom";
  expectColor(a.safeColor(), 1.0, 0.8, 0.0);
  a.borderColorCustom = "#abcde";
  EXPECT_EQ(a.safeColor(), Color::grey());
  a.borderColorCustom = "#ffcc00";
  for (const char* selector : {"Black", "WHITE", "Custom", "", "red"}) {
    a.borderColor = selector;
    EXPECT_EQ(a.safeColor(), Color::grey()) << selector;
  }
  a.borderColor = "black";
  a.borderEnabled = false;
  expectColor(a.safeColor(), 0.8, 0.8, 0.8);
}

TEST(CustomColors, CollectsEveryPresetsCustomTextExceptTheExcludedOne) {
  const auto all = customColors(Settings::defaultPresets(), std::nullopt);
  ASSERT_EQ(all.size(), 3u);
  expectColor(all.at("#333333"), 0.2, 0.2, 0.2);
  expectColor(all.at("#ffcc00"), 1.0, 0.8, 0.0);
  expectColor(all.at("#991111"), 153 / 255.0, 17 / 255.0, 17 / 255.0);

  const auto others = customColors(Settings::defaultPresets(), std::string("#333333"));
  ASSERT_EQ(others.size(), 2u);
  EXPECT_TRUE(others.count("#ffcc00") && others.count("#991111"));
}

TEST(CustomColors, KeepsLetterCaseApartAndSkipsUnreadableTexts) {
  PresetMap presets;
  presets.emplace("a", Action("a", "square", 1, false, 1, "white", "#ffcc00"));
  presets.emplace("b", Action("b", "square", 1, true, 1, "custom", "#FFCC00"));
  presets.emplace("c", Action("c", "square", 1, true, 1, "custom", "#abcde"));
  presets.emplace("d", Action("d", "square", 1, true, 1, "black", "#+0ffff"));
  presets.emplace("e", Action("e", "square", 1, true, 1, "custom", "#ffcc00"));
  const auto colors = customColors(presets, std::nullopt);
  ASSERT_EQ(colors.size(), 3u);
  EXPECT_TRUE(colors.count("#ffcc00") && colors.count("#FFCC00") && colors.count("#+0ffff"));

  // Exclusion compares the text exactly, so it removes one spelling only,
  // from every preset that uses it.
  const auto withoutLower = customColors(presets, std::string("#ffcc00"));
  EXPECT_EQ(withoutLower.size(), 2u);
  EXPECT_FALSE(withoutLower.count("#ffcc00"));
  EXPECT_TRUE(withoutLower.count("#FFCC00"));
  EXPECT_EQ(customColors(presets, std::string("")).size(), 3u);
}

}  // namespace
}  // namespace kadro
