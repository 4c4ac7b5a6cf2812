// The host's error object: what a failing host operation hands back through
// its error out-parameter.
#pragma once

#include <string>

namespace ph {

struct Error {
  std::string domain;
  long code = 0;
  std::string localizedDescription;
  std::string localizedFailureReason;

  friend bool operator==(const Error&, const Error&) = default;
};

}  // namespace ph
