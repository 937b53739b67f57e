#pragma once
// Text inside the program is UTF-8 in std::string; UTF-16 only at the Win32 and
// ODBC boundaries. std::u16string is used for UTF-16 so that the same code works
// where wchar_t is 32 bits (Linux, unixODBC's SQLWCHAR is 16 bits there too).
#include <string>
#include <string_view>

namespace bakwyn {

// Invalid UTF-8 sequences become U+FFFD; unpaired surrogates likewise.
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

// Removes leading and trailing characters with codes 0 to 32 (blanks and control characters).
std::string TrimControl(std::string_view text);

// True for "HH:NN" with the hour 00 to 23 and the minute 00 to 59: a time that
// some minute of the day matches. Anything else would never run.
bool IsValidTime(std::string_view hhnn);

// Equal when the ASCII letters are folded to one case (other bytes compare as they are).
bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b);

#ifdef _WIN32
// The Win32 API's wchar_t is UTF-16 on Windows.
std::wstring ToWide(std::string_view utf8);
std::string FromWide(std::wstring_view wide);
#endif

}  // namespace bakwyn
