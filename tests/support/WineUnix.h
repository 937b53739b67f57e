#pragma once
// The Unix side of the Wine prefix, for tests that need what Windows code
// cannot make there: Unix mode bits and symbolic links (Wine keeps neither an
// access list given at creation nor a link made by CreateSymbolicLinkW).
// Windows only; meaningful under Wine.
#include <windows.h>

#include <string>

namespace bakwyn::testing {

// The Unix path Wine maps a Windows path to; empty where there is none (not Wine).
inline std::string UnixPath(const std::wstring& path) {
  using Convert = char*(CDECL*)(const wchar_t*);
  const auto convert = reinterpret_cast<Convert>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* unix = convert ? convert(path.c_str()) : nullptr;
  if (!unix) return {};
  std::string out = unix;
  HeapFree(GetProcessHeap(), 0, unix);
  return out;
}

// The Unix path of a Windows path, quoted for the shell.
inline std::wstring UnixQuoted(const std::wstring& path) {
  const std::string unix = UnixPath(path);
  std::wstring wide(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, unix.data(), static_cast<int>(unix.size()), nullptr, 0)), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, unix.data(), static_cast<int>(unix.size()), wide.data(), static_cast<int>(wide.size()));
  return L"'" + wide + L"'";
}

// Runs a Unix shell command (no double quotes in it) and waits until it has
// ended: Wine starts a Unix program given by its Z: path, but its process
// handle cannot be waited for, so the command leaves a mark when done.
inline bool RunUnix(const std::wstring& command) {
  static int count = 0;
  const std::wstring mark =
      L"Z:\\tmp\\bakwyn-unix-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++count);
  std::wstring line = L"/bin/sh -c \"" + command + L"; touch " + UnixQuoted(mark) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(L"Z:\\bin\\sh", line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return false;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  bool done = false;
  for (int waited = 0; waited < 200 && !done; ++waited) {
    done = GetFileAttributesW(mark.c_str()) != INVALID_FILE_ATTRIBUTES;
    if (!done) Sleep(50);
  }
  DeleteFileW(mark.c_str());
  return done;
}

}  // namespace bakwyn::testing
