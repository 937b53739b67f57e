#pragma once
// Base64 (RFC 4648, standard alphabet, with padding): protected bytes are kept
// in a string value, which cannot hold arbitrary bytes.
#include <optional>
#include <string>
#include <string_view>

namespace bakwyn::settings {

std::string Base64Encode(std::string_view bytes);
// std::nullopt for anything Base64Encode cannot have produced.
std::optional<std::string> Base64Decode(std::string_view text);

}  // namespace bakwyn::settings
