#include <gtest/gtest.h>

#include "Plugin/decimal.h"
#include "Plugin/unicode_text.h"

namespace kadro {
namespace {

TEST(ParseDecimal, SignDigitsAndRange) {
  EXPECT_EQ(parseDecimal("800"), 800);
  EXPECT_EQ(parseDecimal("-5"), -5);
  EXPECT_EQ(parseDecimal("+12"), 12);
  EXPECT_EQ(parseDecimal("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(parseDecimal("-9223372036854775808"), INT64_MIN);
  for (const char* bad : {"", "+", "-", "800px", "80 ", " 80", "9223372036854775808",
                          "-9223372036854775809", "1e3", "0x10", "--1", "+-1", "١٢"})
    EXPECT_EQ(parseDecimal(bad), std::nullopt) << bad;
}

TEST(CanonicalText, ComposedAndDecomposedFormsAreEqualAndSortByCodePoint) {
  const std::string composed = "Zo\xC3\xAB";     // Zoë, one code point
  const std::string decomposed = "Zoe\xCC\x88";  // e + combining diaeresis
  EXPECT_TRUE(canonicalEqual(composed, decomposed));
  EXPECT_FALSE(canonicalEqual("Zoe", decomposed));
  EXPECT_TRUE(canonicalLess("B", "a"));
  EXPECT_TRUE(canonicalLess("A", "a"));
  EXPECT_FALSE(canonicalLess(decomposed, composed));
  EXPECT_EQ(canonical("\xFF"), "\xFF");  // invalid UTF-8 is kept as it is
}

}  // namespace
}  // namespace kadro
