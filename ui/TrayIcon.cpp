#include "ui/TrayIcon.h"

#include <algorithm>

#include "base/Text.h"

namespace bakwyn::ui {

namespace {

// Copies as much of `text` as the fixed field holds, with its terminator.
template <size_t N>
void CopyInto(wchar_t (&field)[N], const std::string& text) {
  const std::u16string wide = Utf8ToUtf16(text);
  const size_t n = std::min(wide.size(), N - 1);
  std::copy_n(wide.begin(), n, field);
  field[n] = L'\0';
}

}  // namespace

TrayIcon::TrayIcon(HWND window, UINT id, UINT callbackMessage, HICON icon, const std::string& tip) {
  data_.cbSize = sizeof data_;
  data_.hWnd = window;
  data_.uID = id;
  data_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  data_.uCallbackMessage = callbackMessage;
  data_.hIcon = icon;
  CopyInto(data_.szTip, tip);  // 128 characters with the terminator
  added_ = add();
}

void TrayIcon::setTip(const std::string& tip) {
  CopyInto(data_.szTip, tip);
  data_.uFlags = NIF_TIP;
  if (added_) Shell_NotifyIconW(NIM_MODIFY, &data_);
  data_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
}

void TrayIcon::setIcon(HICON icon) {
  data_.hIcon = icon;
  data_.uFlags = NIF_ICON;
  if (added_) Shell_NotifyIconW(NIM_MODIFY, &data_);
  data_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
}

void TrayIcon::balloon(const std::string& title, const std::string& text) {
  NOTIFYICONDATAW info = data_;
  info.uFlags = NIF_INFO;
  CopyInto(info.szInfoTitle, title);
  CopyInto(info.szInfo, text);
  info.dwInfoFlags = NIIF_ERROR;
  if (added_) Shell_NotifyIconW(NIM_MODIFY, &info);
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
