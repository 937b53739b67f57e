#pragma once
// SQL text-literal helpers shared by the backup job and the edit controls'
// accessors. Kept apart from the rest of the engine so the control model can
// use them without pulling in anything else.
#include <string>
#include <string_view>

namespace bakwyn {

// Replaces every single quote with '+CHAR(39)+' and every double quote with
// '+CHAR(34)+'; all other bytes are copied. No trimming, no enclosing quotes.
// UTF-8 never uses the bytes 34 or 39 inside a multi-byte character, so
// Chinese text passes through unchanged.
std::string EscapeSqlQuotes(std::string_view text);

// Trims characters 0..32 at both ends, applies EscapeSqlQuotes and encloses the
// result in single quotes: " O'Neil " gives 'O'+CHAR(39)+'Neil'.
std::string QuoteSqlText(std::string_view text);

}  // namespace bakwyn
