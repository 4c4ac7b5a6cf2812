#include "Plugin/unicode_text.h"

#include <utf8proc.h>

#include <cstdlib>
#include <memory>

namespace kadro {

std::string canonical(std::string_view text) {
  utf8proc_uint8_t* out = nullptr;
  const utf8proc_ssize_t n =
      utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                   static_cast<utf8proc_ssize_t>(text.size()), &out,
                   static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
  const std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owner(out, &std::free);
  if (n < 0) return std::string(text);
  return std::string(reinterpret_cast<const char*>(out), static_cast<std::size_t>(n));
}

bool canonicalLess(std::string_view a, std::string_view b) { return canonical(a) < canonical(b); }

bool canonicalEqual(std::string_view a, std::string_view b) {
  return a == b || canonical(a) == canonical(b);
}

}  // namespace kadro
