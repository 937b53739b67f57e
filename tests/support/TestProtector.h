#pragma once
// A stand-in for the machine's secret protection: reversible, visibly not the
// clear text, and it refuses bytes it did not make, as DPAPI does.
#include <string>
#include <string_view>

#include "settings/SecretProtector.h"

namespace bakwyn::testing {

class TestProtector : public settings::SecretProtector {
 public:
  std::string protect(std::string_view secret) const override {
    std::string out(kMark);
    for (char c : secret) out += static_cast<char>(c ^ 0x5A);
    return out;
  }
  std::string unprotect(std::string_view bytes) const override {
    if (bytes.substr(0, kMark.size()) != kMark) throw settings::ProtectionError("not protected here");
    std::string out;
    for (char c : bytes.substr(kMark.size())) out += static_cast<char>(c ^ 0x5A);
    return out;
  }

 private:
  static constexpr std::string_view kMark = std::string_view("\x01\x02mark", 6);
};

}  // namespace bakwyn::testing
