// bakwyn-driver: drives a running Bakwyn from a second process, for tests and scripts.
//   bakwyn-driver wait [timeout_ms]     waits for the main window, prints its handle
//   bakwyn-driver caption               prints the main window's caption (UTF-8)
//   bakwyn-driver visible               prints 1 or 0
//   bakwyn-driver close                 posts WM_CLOSE to the main window
// Exit code 0 on success, 1 when the window is not there, 2 on bad usage.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

constexpr wchar_t kMainClass[] = L"TFrmMain";

std::string ToUtf8(const std::wstring& text) {
  if (text.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

HWND WaitForMain(DWORD timeoutMs) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  for (;;) {
    if (HWND hwnd = FindWindowW(kMainClass, nullptr)) return hwnd;
    if (GetTickCount64() >= end) return nullptr;
    Sleep(20);
  }
}

std::wstring WindowText(HWND hwnd) {
  // WM_GETTEXT crosses processes; GetWindowTextW would not read another process's controls.
  LRESULT length = SendMessageW(hwnd, WM_GETTEXTLENGTH, 0, 0);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  LRESULT got = SendMessageW(hwnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<size_t>(got));
  return text;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // Plain "\n" line ends: scripts and tests read this output byte for byte.
  _setmode(_fileno(stdout), _O_BINARY);
  if (argc < 2) {
    std::fputs("usage: bakwyn-driver wait|caption|visible|close\n", stderr);
    return 2;
  }
  const std::wstring command = argv[1];
  if (command == L"wait") {
    DWORD timeout = argc > 2 ? static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)) : 10000;
    HWND hwnd = WaitForMain(timeout);
    if (!hwnd) return 1;
    std::printf("%p\n", static_cast<void*>(hwnd));
    return 0;
  }
  HWND hwnd = FindWindowW(kMainClass, nullptr);
  if (!hwnd) return 1;
  if (command == L"caption") {
    std::printf("%s\n", ToUtf8(WindowText(hwnd)).c_str());
  } else if (command == L"visible") {
    std::printf("%d\n", IsWindowVisible(hwnd) ? 1 : 0);
  } else if (command == L"close") {
    PostMessageW(hwnd, WM_CLOSE, 0, 0);
  } else {
    return 2;
  }
  return 0;
}
