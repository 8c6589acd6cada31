// Bad input from the caller: becomes a ValueError carrying this message.
#pragma once

#include <stdexcept>
#include <string>

namespace vorpaline_core {

class InputError : public std::runtime_error {
 public:
  explicit InputError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace vorpaline_core
