#pragma once
// How the system writes text into the statements it sends: the one place for
// the backup job's, the folder check's and the edit controls' quoting. Kept
// apart from the rest of the engine so the control model can use it without
// pulling in anything else.
#include <string>
#include <string_view>

namespace bakwyn {

// `text` with every `quote` doubled, which is how T-SQL writes the character
// that would end a literal or a bracketed name inside it. No other byte is
// changed: UTF-8 never uses an ASCII byte inside a multi-byte character.
std::string DoubledQuotes(std::string_view text, char quote);

// N'...': a Unicode string literal that means exactly `text` ("'" doubled).
// BACKUP ... TO DISK = and the extended procedures take only a literal there.
std::string SqlTextLiteral(std::string_view text);

// [...]: an identifier that means exactly `name` ("]" doubled).
std::string SqlNameLiteral(std::string_view name);

// Replaces every single quote with '+CHAR(39)+' and every double quote with
// '+CHAR(34)+'; all other bytes are copied. No trimming, no enclosing quotes.
// UTF-8 never uses the bytes 34 or 39 inside a multi-byte character, so
// Chinese text passes through unchanged.
std::string EscapeSqlQuotes(std::string_view text);

// Trims characters 0..32 at both ends, applies EscapeSqlQuotes and encloses the
// result in single quotes: " O'Neil " gives 'O'+CHAR(39)+'Neil'.
std::string QuoteSqlText(std::string_view text);

}  // namespace bakwyn
