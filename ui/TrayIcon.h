#pragma once
// One icon in the notification area, alive exactly as long as this object:
// the constructor adds it, the destructor removes it. The shell knows it by
// window and ID. When Explorer restarts it forgets every icon and broadcasts
// "TaskbarCreated"; the owner then calls reAdd().
#include <windows.h>

#include <shellapi.h>

#include <string>

namespace bakwyn::ui {

class TrayIcon {
 public:
  // Events arrive at `window` as `callbackMessage` in the version-4 form:
  // LOWORD(lParam) is the event (WM_CONTEXTMENU, WM_LBUTTONUP, ...), and wParam
  // carries the anchor point in screen coordinates (GET_X_LPARAM/GET_Y_LPARAM).
  TrayIcon(HWND window, UINT id, UINT callbackMessage, HICON icon, const std::string& tip);
  ~TrayIcon();
  TrayIcon(const TrayIcon&) = delete;
  TrayIcon& operator=(const TrayIcon&) = delete;

  bool added() const { return added_; }
  // False when the shell only speaks the old form (lParam is the mouse message,
  // no point is given, and the owner reads the cursor position itself).
  bool versionFour() const { return versionFour_; }
  void reAdd();
  void setTip(const std::string& tip);
  void setIcon(HICON icon);
  // A notification balloon with the error icon.
  void balloon(const std::string& title, const std::string& text);

 private:
  bool add();
  NOTIFYICONDATAW data_{};
  bool added_ = false;
  bool versionFour_ = false;
};

}  // namespace bakwyn::ui
