// Preset names compared and sorted as Unicode text: after canonical (NFC)
// normalisation, code point by code point.
#pragma once

#include <string>
#include <string_view>

namespace kadro {

// The NFC form of UTF-8 text; invalid UTF-8 is returned unchanged.
std::string canonical(std::string_view text);

// Code point order of the canonical forms (UTF-8 byte order is code point
// order, so capital ASCII letters sort before small ones).
bool canonicalLess(std::string_view a, std::string_view b);
bool canonicalEqual(std::string_view a, std::string_view b);

}  // namespace kadro
