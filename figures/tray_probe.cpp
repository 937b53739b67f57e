// Start-up probe: starts a program and reports, in microseconds, how long it took
// until its tray icon exists. The icon is known by its window class and icon ID:
// modifying an icon that is not there fails, so NIM_MODIFY with no changes is a
// harmless test of presence.
//   tray_probe <exe> <window class> <icon id> [timeout ms]
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

// The top-level window of class `cls` that belongs to process `pid`.
HWND WindowOf(DWORD pid, const wchar_t* cls) {
  struct Search {
    DWORD pid;
    const wchar_t* cls;
    HWND found;
  } search{pid, cls, nullptr};
  EnumWindows(
      [](HWND hwnd, LPARAM lp) -> BOOL {
        auto* s = reinterpret_cast<Search*>(lp);
        DWORD owner = 0;
        GetWindowThreadProcessId(hwnd, &owner);
        wchar_t name[128] = {};
        GetClassNameW(hwnd, name, 128);
        if (owner == s->pid && std::wcscmp(name, s->cls) == 0) {
          s->found = hwnd;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) {
    std::fputs("usage: tray_probe EXE CLASS ID [TIMEOUT_MS]\n", stderr);
    return 2;
  }
  const std::wstring exe = argv[1];
  const wchar_t* cls = argv[2];
  const UINT id = static_cast<UINT>(std::wcstoul(argv[3], nullptr, 10));
  const DWORD timeout = argc > 4 ? static_cast<DWORD>(std::wcstoul(argv[4], nullptr, 10)) : 30000;

  LARGE_INTEGER freq, start, now;
  QueryPerformanceFrequency(&freq);
  std::wstring cmd = L"\"" + exe + L"\"";
  STARTUPINFOW si{sizeof si};
  PROCESS_INFORMATION pi{};
  QueryPerformanceCounter(&start);
  if (!CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return 1;
  for (;;) {
    QueryPerformanceCounter(&now);
    const double us = double(now.QuadPart - start.QuadPart) * 1e6 / double(freq.QuadPart);
    if (us > timeout * 1000.0) {
      std::puts("timeout");
      TerminateProcess(pi.hProcess, 1);
      return 1;
    }
    HWND hwnd = WindowOf(pi.dwProcessId, cls);
    if (hwnd) {
      NOTIFYICONDATAW nid{sizeof nid};
      nid.hWnd = hwnd;
      nid.uID = id;
      if (Shell_NotifyIconW(NIM_MODIFY, &nid)) {
        std::printf("%.0f\n", us);
        std::fflush(stdout);
        break;
      }
    }
    Sleep(1);
  }
  // Leave the program running: the caller measures it further or ends it.
  std::printf("%lu\n", pi.dwProcessId);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return 0;
}
