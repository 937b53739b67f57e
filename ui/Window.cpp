#include "ui/Window.h"

#include "base/Text.h"

namespace bakwyn::ui {

std::string WindowTextUtf8(HWND hwnd) {
  const LRESULT length = SendMessageW(hwnd, WM_GETTEXTLENGTH, 0, 0);
  std::u16string text(static_cast<size_t>(length) + 1, u'\0');
  const LRESULT got = SendMessageW(hwnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<size_t>(got));
  return Utf16ToUtf8(text);
}

void SetWindowTextUtf8(HWND hwnd, const std::string& text) {
  const std::u16string wide = Utf8ToUtf16(text);
  SendMessageW(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()));
}

Window::~Window() {
  // Too late for the derived handlers: whatever arrives now gets the default.
  if (hwnd_) SetWindowLongPtrW(hwnd_.get(), GWLP_USERDATA, 0);
}

bool Window::create(const CreateArgs& args, HBRUSH background) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  if (!GetClassInfoExW(instance, args.className, &wc)) {
    wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &Window::Procedure;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = background;
    wc.lpszClassName = args.className;
    if (!RegisterClassExW(&wc)) return false;
  }
  const std::u16string title = Utf8ToUtf16(args.title);
  // hwnd_ is set in WM_NCCREATE, so handlers see it from the first message on.
  HWND hwnd = CreateWindowExW(args.exStyle, args.className, reinterpret_cast<const wchar_t*>(title.c_str()),
                              args.style, args.x, args.y, args.width, args.height, args.parent, nullptr, instance,
                              this);
  return hwnd != nullptr;
}

void Window::destroy() {
  if (hwnd_) DestroyWindow(hwnd_.get());
}

LRESULT Window::handleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  return defaultHandling(message, wParam, lParam);
}

LRESULT CALLBACK Window::Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* self = static_cast<Window*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    self->hwnd_.reset(hwnd);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<Window*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!self) return DefWindowProcW(hwnd, message, wParam, lParam);
  if (message == WM_NCDESTROY) {
    // The system destroys the window now; the object must not destroy it again.
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    LRESULT result = self->handleMessage(message, wParam, lParam);
    (void)self->hwnd_.release();
    return result;
  }
  return self->handleMessage(message, wParam, lParam);
}

}  // namespace bakwyn::ui
