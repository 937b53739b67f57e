// The exe as a whole, started as a separate process under Wine.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "tests/driver/Remote.h"

namespace {

using bakwyn::remote::BuildDir;
using bakwyn::remote::ExePath;
using bakwyn::remote::DriverPath;

struct Process {
  PROCESS_INFORMATION pi{};
  ~Process() {
    if (pi.hProcess) {
      if (WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(pi.hProcess, 99);
      CloseHandle(pi.hThread);
      CloseHandle(pi.hProcess);
    }
  }
};

bool Start(Process& p, const std::wstring& exe, const std::wstring& args, HANDLE out = nullptr) {
  std::wstring cmd = L"\"" + exe + L"\" " + args;
  STARTUPINFOW si{};
  si.cb = sizeof si;
  if (out) {
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = out;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  }
  return CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, out != nullptr, 0, nullptr, nullptr, &si, &p.pi);
}

struct FindData {
  DWORD pid;
  HWND found;
};

HWND WaitForWindowOf(DWORD pid, DWORD timeoutMs) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  do {
    FindData data{pid, nullptr};
    EnumWindows(
        [](HWND hwnd, LPARAM lp) -> BOOL {
          auto* d = reinterpret_cast<FindData*>(lp);
          DWORD owner = 0;
          GetWindowThreadProcessId(hwnd, &owner);
          wchar_t cls[64];
          if (owner == d->pid && GetClassNameW(hwnd, cls, 64) && std::wstring(cls) == L"TFrmMain") {
            d->found = hwnd;
            return FALSE;
          }
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&data));
    if (data.found) return data.found;
    Sleep(20);
  } while (GetTickCount64() < end);
  return nullptr;
}

TEST(Exe, StartsHiddenAndEndsCleanlyWhenItsWindowCloses) {
  Process app;
  ASSERT_TRUE(Start(app, ExePath(), L"")) << "CreateProcess failed: " << GetLastError();
  HWND hwnd = WaitForWindowOf(app.pi.dwProcessId, 20000);
  ASSERT_NE(hwnd, nullptr) << "the main window never appeared";
  EXPECT_FALSE(IsWindowVisible(hwnd)) << "the program must start in the tray, its window hidden";

  // A second process reads the caption through the driver, as later tests will.
  wchar_t tmp[MAX_PATH], file[MAX_PATH];
  GetTempPathW(MAX_PATH, tmp);
  GetTempFileNameW(tmp, L"drv", 0, file);
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE out = CreateFileW(file, GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(out, INVALID_HANDLE_VALUE);
  {
    Process driver;
    ASSERT_TRUE(Start(driver, DriverPath(), L"caption", out));
    CloseHandle(out);
    ASSERT_EQ(WaitForSingleObject(driver.pi.hProcess, 20000), WAIT_OBJECT_0);
    DWORD code = 99;
    GetExitCodeProcess(driver.pi.hProcess, &code);
    EXPECT_EQ(code, 0u);
  }
  std::ifstream in(file, std::ios::binary);
  std::string caption((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  DeleteFileW(file);
  EXPECT_EQ(caption, "Bakwyn[Vorda\xE5\x85\x8D\xE8\xB4\xB9\xE8\xBD\xAF\xE4\xBB\xB6]\n");  // "Bakwyn[Vorda免费软件]"

  // Closing asks first; Yes ends the program.
  PostMessageW(hwnd, WM_CLOSE, 0, 0);
  HWND question = bakwyn::remote::WaitFor(&bakwyn::remote::FindMessageBox, app.pi.dwProcessId, 20000);
  ASSERT_NE(question, nullptr) << "no exit question";
  EXPECT_TRUE(bakwyn::remote::PressMessageBoxButton(question, IDYES));
  ASSERT_EQ(WaitForSingleObject(app.pi.hProcess, 20000), WAIT_OBJECT_0) << "the program did not end";
  DWORD code = 99;
  GetExitCodeProcess(app.pi.hProcess, &code);
  EXPECT_EQ(code, 0u);

  // The program registered itself to start at log-on; left behind, the value would
  // make the next wineboot of this prefix start it.
  HKEY run = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", 0,
                    KEY_SET_VALUE | KEY_WOW64_32KEY, &run) == ERROR_SUCCESS) {
    RegDeleteValueW(run, L"Bakwyn[Vorda\u514D\u8D39\u8F6F\u4EF6]");
    RegCloseKey(run);
  }
}

TEST(Exe, CarriesManifestAndVersionResource) {
  const std::wstring exe = ExePath();
  HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(module, nullptr);
  HRSRC res = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(res, nullptr) << "no application manifest";
  const char* data = static_cast<const char*>(LockResource(LoadResource(module, res)));
  std::string manifest(data, SizeofResource(module, res));
  EXPECT_NE(manifest.find("Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos);
  EXPECT_NE(manifest.find("PerMonitorV2"), std::string::npos);
  EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
  EXPECT_NE(FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(14)), nullptr) << "no icon";  // RT_GROUP_ICON
  FreeLibrary(module);

  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &ignored);
  ASSERT_GT(size, 0u) << "no version resource";
  std::string info(size, '\0');
  ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, size, info.data()));
  wchar_t* product = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\StringFileInfo\\040904b0\\ProductName", reinterpret_cast<void**>(&product), &length));
  EXPECT_EQ(std::wstring(product), L"Bakwyn");
  VS_FIXEDFILEINFO* fixed = nullptr;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(HIWORD(fixed->dwFileVersionMS), 1u);
}

}  // namespace
