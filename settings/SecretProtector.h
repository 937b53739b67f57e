#pragma once
// Turns a secret into bytes that only this computer can turn back, and back
// again. On Windows it is DPAPI in machine scope (DpapiProtector.h), so every
// user of the computer, and the program started at log-on, reads what any of
// them stored; a copy of the registry taken elsewhere is useless.
#include <stdexcept>
#include <string>
#include <string_view>

namespace bakwyn::settings {

class ProtectionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class SecretProtector {
 public:
  virtual ~SecretProtector() = default;
  // Opaque bytes; ProtectionError on failure.
  virtual std::string protect(std::string_view secret) const = 0;
  // The secret given to protect; ProtectionError for bytes it did not make.
  virtual std::string unprotect(std::string_view bytes) const = 0;
};

}  // namespace bakwyn::settings
