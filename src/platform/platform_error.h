#pragma once

#include <cstdint>
#include <string>

namespace tarnwick {

// The error object every platform service reports failures with: a domain, a
// signed code within it, a sentence for people, and the plain description of
// the error value it was made from.
struct PlatformError {
  std::string domain;
  std::int64_t code = 0;
  std::string localizedDescription;
  std::string description;
};

}  // namespace tarnwick
