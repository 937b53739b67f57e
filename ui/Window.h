#pragma once
// A small base for windows of our own classes: the object travels to the window
// procedure through CreateWindowExW's last parameter and handles messages in a
// virtual method. Also the few text helpers every widget needs.
#include <windows.h>

#include <string>

#include "base/WinHandles.h"

namespace bakwyn::ui {

// Text of a window in UTF-8 (WM_GETTEXT, so it also reads another thread's controls).
std::string WindowTextUtf8(HWND hwnd);
void SetWindowTextUtf8(HWND hwnd, const std::string& text);

class Window {
 public:
  Window() = default;
  virtual ~Window();
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  HWND hwnd() const { return hwnd_.get(); }

 protected:
  struct CreateArgs {
    const wchar_t* className = nullptr;
    std::string title;
    DWORD style = 0;
    DWORD exStyle = 0;
    int x = CW_USEDEFAULT, y = CW_USEDEFAULT, width = CW_USEDEFAULT, height = CW_USEDEFAULT;
    HWND parent = nullptr;
  };
  // Registers the class on first use (with this module's icon 1 and the given
  // background), then creates the window. Returns false when creation failed.
  bool create(const CreateArgs& args, HBRUSH background = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1));

  // Messages arrive here from WM_NCCREATE on; the default is DefWindowProcW.
  virtual LRESULT handleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT defaultHandling(UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(hwnd_.get(), message, wParam, lParam);
  }

  // Destroys the window while the derived object is still whole, so its
  // handlers see WM_DESTROY. A derived class calls it from its destructor.
  void destroy();

 private:
  static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  UniqueWindow hwnd_;
};

}  // namespace bakwyn::ui
