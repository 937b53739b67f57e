#pragma once
// Every message box of the program goes through ShowMessageCode: a code picks
// the buttons, the icon and, for some codes, a fixed text; all boxes are modal
// and captioned "注意".
#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace bakwyn::ui {

// Shows a box and returns the identifier of the button pressed. The real one is
// MessageBoxW; tests put a recorder in its place.
using MessageBoxFunction =
    std::function<int(HWND owner, const std::string& text, const std::string& caption, UINT style)>;
MessageBoxFunction SystemMessageBox();

struct MessageCode {
  const char* fixedText;  // nullptr: the caller's text is shown
  UINT style;             // MessageBoxW's uType
  bool offersChoice;      // the result is the button pressed, else -1
};

// The row of `code`, or nothing for a code that shows no box.
std::optional<MessageCode> FindMessageCode(std::int32_t code);

inline constexpr char kMessageCaption[] = "注意";

int ShowMessageCode(const MessageBoxFunction& box, HWND owner, std::int32_t code, const std::string& text);

}  // namespace bakwyn::ui
