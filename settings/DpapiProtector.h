#pragma once
// SecretProtector with DPAPI in machine scope (Windows only).
#include "settings/SecretProtector.h"

namespace bakwyn::settings {

class DpapiProtector : public SecretProtector {
 public:
  std::string protect(std::string_view secret) const override;
  std::string unprotect(std::string_view bytes) const override;
};

}  // namespace bakwyn::settings
