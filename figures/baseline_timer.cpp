// Baseline for the idle and memory figures: the least a Win32 tray program with a
// 100-millisecond timer does. A hidden window, a tray icon, a timer whose handler
// formats the time of day, and the message loop.
#include <windows.h>

#include <shellapi.h>

#include <cwchar>

namespace {

constexpr UINT kTimerId = 1;

LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_TIMER: {
      SYSTEMTIME t;
      GetLocalTime(&t);
      wchar_t text[8];
      std::swprintf(text, 8, L"%02u:%02u", t.wHour, t.wMinute);
      return 0;
    }
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  WNDCLASSEXW wc{sizeof wc};
  wc.lpfnWndProc = Proc;
  wc.hInstance = instance;
  wc.lpszClassName = L"BaselineTimer";
  RegisterClassExW(&wc);
  HWND hwnd = CreateWindowExW(0, wc.lpszClassName, L"baseline", WS_OVERLAPPEDWINDOW, 0, 0, 640, 380, nullptr,
                              nullptr, instance, nullptr);
  NOTIFYICONDATAW nid{sizeof nid};
  nid.hWnd = hwnd;
  nid.uID = 1;
  nid.uFlags = NIF_ICON | NIF_TIP;
  nid.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
  std::wcscpy(nid.szTip, L"baseline");
  Shell_NotifyIconW(NIM_ADD, &nid);
  SetTimer(hwnd, kTimerId, 100, nullptr);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  Shell_NotifyIconW(NIM_DELETE, &nid);
  return 0;
}
