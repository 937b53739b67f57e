#include "ui/TrayIcon.h"

#include <algorithm>

#include "base/Text.h"

namespace bakwyn::ui {

TrayIcon::TrayIcon(HWND window, UINT id, UINT callbackMessage, HICON icon, const std::string& tip) {
  data_.cbSize = sizeof data_;
  data_.hWnd = window;
  data_.uID = id;
  data_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  data_.uCallbackMessage = callbackMessage;
  data_.hIcon = icon;
  const std::u16string wide = Utf8ToUtf16(tip);
  // szTip holds 128 characters including the terminator.
  const size_t n = std::min(wide.size(), std::size(data_.szTip) - 1);
  std::copy_n(wide.begin(), n, data_.szTip);
  data_.szTip[n] = L'\0';
  added_ = add();
}

TrayIcon::~TrayIcon() {
  if (added_) Shell_NotifyIconW(NIM_DELETE, &data_);
}

void TrayIcon::reAdd() {
  // After a taskbar restart the old icon is gone; a delete first makes this
  // safe to call when it is not.
  if (added_) Shell_NotifyIconW(NIM_DELETE, &data_);
  added_ = add();
}

bool TrayIcon::add() {
  if (!Shell_NotifyIconW(NIM_ADD, &data_)) return false;
  // Version 4 hands over the click point in screen coordinates, which is the
  // right place for the menu even on another monitor.
  data_.uVersion = NOTIFYICON_VERSION_4;
  versionFour_ = Shell_NotifyIconW(NIM_SETVERSION, &data_) != FALSE;
  return true;
}

}  // namespace bakwyn::ui
