#pragma once
// Windows only: the system's text for an error code (GetLastError and the
// like), in the system's display language, as UTF-8.
#include <string>

namespace bakwyn {

// Without the line break the system ends it with; "error <code>" when the
// system has no text for the code.
std::string SystemMessage(unsigned long code);

}  // namespace bakwyn
