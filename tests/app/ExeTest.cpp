// The exe as a whole, started as a separate process under Wine.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/support/ExeHarness.h"

namespace {

using namespace bakwyn::exe;
using bakwyn::remote::ExePath;

TEST(Exe, TheDriverReadsTheRunningProgramsCaption) {
  ForgetStoredState();
  {
    App app;
    app.start();
    DWORD code = 99;
    EXPECT_EQ(RunDriver(L"caption", &code), "Bakwyn[Vorda免费软件]\n");
    EXPECT_EQ(code, 0u);
  }
  ForgetStoredState();
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
