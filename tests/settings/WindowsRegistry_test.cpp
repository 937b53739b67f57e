// The control-state store against the real registry (Windows, or Wine). What
// the store wrote is read back by reg.exe, not by the program's own code.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "base/Text.h"
#include "settings/Autostart.h"
#include "form/StoredForm.h"
#include "settings/DpapiProtector.h"
#include "settings/WindowsRegistry.h"
#include "tests/support/StoreWindow.h"

namespace bakwyn::settings {
namespace {

using bakwyn::testing::StoredControlNames;
using bakwyn::testing::StoreWindow;
using namespace bakwyn::form;

// The settings window's own keys, which the record always uses: the test runs
// in the build tree's Wine prefix, whose settings are the tests' own, and
// removes them again.
const std::string kWindow(SettingsWindow);
const std::string kRunName = "BakwynRegistryTest运行";


bool KeyExists(const std::string& path, REGSAM view) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ToWide(path).c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

void DeleteTree(const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ToWide(path).c_str(), 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS) {
    return;
  }
  RegDeleteTreeW(key, nullptr);
  RegCloseKey(key);
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, ToWide(path).c_str(), KEY_WOW64_32KEY, 0);
}

// Runs reg.exe with `arguments` and waits for it; its exit code.
DWORD RunReg(const std::wstring& arguments) {
  wchar_t system[MAX_PATH];
  GetSystemDirectoryW(system, MAX_PATH);
  const std::wstring exe = std::wstring(system) + L"\\reg.exe";
  std::wstring command = L"\"" + exe + L"\" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                      &startup, &process)) {
    return static_cast<DWORD>(-1);
  }
  WaitForSingleObject(process.hProcess, 60000);
  DWORD code = static_cast<DWORD>(-1);
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code;
}

// The string values of every key below `path` in the 32-bit view, as exported
// by reg.exe: key path (below `path`) -> value name -> text.
using Exported = std::map<std::string, std::map<std::string, std::string>>;

std::wstring ReadUtf16File(const std::wstring& file) {
  std::ifstream in(file.c_str(), std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::wstring text;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    text += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8));
  }
  if (!text.empty() && text[0] == 0xFEFF) text.erase(0, 1);
  return text;
}

// Reads one quoted .reg string starting at text[i] == '"'; leaves i after it.
std::wstring QuotedAt(const std::wstring& text, size_t& i) {
  std::wstring out;
  for (++i; i < text.size() && text[i] != L'"'; ++i) {
    if (text[i] == L'\\' && i + 1 < text.size()) {
      const wchar_t next = text[++i];
      out += next == L'n' ? L'\n' : next == L'r' ? L'\r' : next == L'0' ? L'\0' : next;
    } else {
      out += text[i];
    }
  }
  ++i;
  return out;
}

Exported Export(const std::string& path) {
  wchar_t dir[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  const std::wstring file = std::wstring(dir) + L"bakwyn-registry-test.reg";
  DeleteFileW(file.c_str());
  const DWORD code = RunReg(L"export \"HKLM\\" + ToWide(path) + L"\" \"" + file + L"\" /y /reg:32");
  EXPECT_EQ(code, 0u) << "reg export " << path;
  const std::wstring text = ReadUtf16File(file);
  DeleteFileW(file.c_str());

  Exported out;
  std::string current;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == L'[') {
      const size_t end = text.find(L']', i);
      const std::string key = FromWide(text.substr(i + 1, end - i - 1));
      // The header may name the 32-bit view's own location (with WOW6432Node):
      // the subkey is what follows the last name of `path`.
      const std::string leaf = "\\" + path.substr(path.rfind('\\') + 1);
      const size_t at = key.find(leaf);
      current = at == std::string::npos ? key : key.substr(at + leaf.size());
      if (!current.empty() && current[0] == '\\') current.erase(0, 1);
      out[current];
      i = end + 1;
    } else if (text[i] == L'"') {
      const std::string name = FromWide(QuotedAt(text, i));
      if (i < text.size() && text[i] == L'=' && i + 1 < text.size() && text[i + 1] == L'"') {
        i += 1;
        out[current][name] = FromWide(QuotedAt(text, i));
      }
    } else {
      ++i;
    }
  }
  return out;
}

class WindowsStore : public ::testing::Test {
 protected:
  void SetUp() override {
    vendorExisted_ = KeyExists(vendorKey_, KEY_WOW64_32KEY);
    DeleteTree(windowKey_);
  }
  void TearDown() override {
    DeleteTree(vendorExisted_ ? windowKey_ : vendorKey_);
    HKEY run = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ToWide(std::string(RunKey)).c_str(), 0, KEY_SET_VALUE | KEY_WOW64_32KEY,
                      &run) == ERROR_SUCCESS) {
      RegDeleteValueW(run, ToWide(kRunName).c_str());
      RegCloseKey(run);
    }
    EXPECT_FALSE(KeyExists(windowKey_, KEY_WOW64_32KEY));
  }

  std::unique_ptr<Registry> registry = MachineRegistry();
  DpapiProtector protector;
  const std::string vendorKey_ = "Software\\Tarsel软件";
  const std::string windowKey_ = std::string(StateRoot) + kWindow;

 private:
  bool vendorExisted_ = false;
};

TEST_F(WindowsStore, EveryControlRoundTripsAndLandsExactlyWhereItShould) {
  const std::string hostile[] = {
      "O'Neil \"quoted\" \\back\\",
      "[bracket]]; DROP TABLE x; --",
      "{braces} %percent% =equals=",
      "tab\tand\x01control\x1f",
      "D:\\数据库自动备份目录\\",
      "中文口令",
      std::string(3000, 'x') + "长",
      "line\r\nbreak",
  };
  const char* textControls[] = {"mEdt2", "mEdt3", "mEdt4", "mavBEdit2", "dxTimeEdit1",
                                "dxTimeEdit2", "dxTimeEdit3", "dxTimeEdit4", "mEdt1"};
  StoreWindow saved(kWindow);
  std::map<std::string, std::string> texts;
  size_t n = 0;
  for (const char* name : textControls) {
    // Time editors hold only times of the day; loading passes over anything else.
    texts[name] = std::string_view(name).starts_with("dxTimeEdit") ? std::string("1") + name[10] + ":5" + name[10]
                                                                    : hostile[n++ % std::size(hostile)] + name;
    dynamic_cast<TdxInplaceTextEdit&>(*saved.find(name)).setText(texts[name]);
  }
  for (int i = 1; i <= 4; ++i) saved.get<TdxCheckEdit>("dxCheckEdit" + std::to_string(i)).setChecked(i % 2 == 0);
  saved.get<TdxCheckEdit>("dxCheckEdit5").setChecked(true);
  saved.get<TmavSpinEdit>("mavSpinEdit1").setValue(998);

  form::SaveWindowSettings(saved, *registry, protector);

  const Exported exported = Export(windowKey_);
  std::vector<std::string> keys;
  for (const auto& [key, values] : exported) {
    if (!key.empty()) keys.push_back(key);
  }
  std::vector<std::string> expectedKeys(StoredControlNames().begin() + 1, StoredControlNames().end());
  std::sort(expectedKeys.begin(), expectedKeys.end(), [](const std::string& a, const std::string& b) {
    return CompareStringOrdinal(ToWide(a).c_str(), -1, ToWide(b).c_str(), -1, TRUE) == CSTR_LESS_THAN;
  });
  std::vector<std::string> sortedKeys = keys;
  std::sort(sortedKeys.begin(), sortedKeys.end(), [](const std::string& a, const std::string& b) {
    return CompareStringOrdinal(ToWide(a).c_str(), -1, ToWide(b).c_str(), -1, TRUE) == CSTR_LESS_THAN;
  });
  EXPECT_EQ(sortedKeys, expectedKeys);
  for (const char* name : textControls) {
    if (std::string(name) == "mEdt4") continue;
    EXPECT_EQ(exported.at(name), (std::map<std::string, std::string>{{"TEXT", texts[name]}})) << name;
  }
  for (int i = 1; i <= 4; ++i) {
    const std::string name = "dxCheckEdit" + std::to_string(i);
    EXPECT_EQ(exported.at(name), (std::map<std::string, std::string>{{"CHECKED", i % 2 == 0 ? "-1" : "0"}})) << name;
  }
  EXPECT_EQ(exported.at("dxCheckEdit5"), (std::map<std::string, std::string>{{"CHECKED", "-1"}}));
  EXPECT_EQ(exported.at("mavSpinEdit1"), (std::map<std::string, std::string>{{"VALUE", "998"}}));

  // The password is not in the registry in any readable form.
  const std::string password = exported.at("mEdt4").at("TEXT");
  EXPECT_EQ(password.compare(0, ProtectedPrefix.size(), ProtectedPrefix), 0) << password;
  EXPECT_EQ(password.find(texts["mEdt4"]), std::string::npos);
  EXPECT_EQ(password.find("mEdt4"), std::string::npos);

  // The keys live in the 32-bit view only.
  EXPECT_TRUE(KeyExists(windowKey_ + "\\mEdt4", KEY_WOW64_32KEY));
  EXPECT_FALSE(KeyExists(windowKey_ + "\\mEdt4", KEY_WOW64_64KEY));

  StoreWindow loaded(kWindow);
  form::LoadWindowSettings(loaded, *registry, protector);
  EXPECT_EQ(loaded.snapshot(), saved.snapshot());
}

// A value written by hand or by another program may hold a NUL: the registry
// gives the whole text back, and the field, the settings and the statements
// must all mean the part an edit control shows.
TEST_F(WindowsStore, StoredTextWithANulIsCutThere) {
  const std::wstring key = ToWide(windowKey_ + "\\mEdt1");
  HKEY hkey = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_WRITE | KEY_WOW64_32KEY, nullptr,
                            &hkey, nullptr),
            ERROR_SUCCESS);
  const wchar_t data[] = L"shop\0junk";
  ASSERT_EQ(RegSetValueExW(hkey, L"TEXT", 0, REG_SZ, reinterpret_cast<const BYTE*>(data), sizeof data),
            ERROR_SUCCESS);
  RegCloseKey(hkey);
  auto read = registry->open(windowKey_ + "\\mEdt1", Access::Read);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->readString("TEXT"), std::string("shop\0junk", 9)) << "the registry keeps the whole text";

  StoreWindow loaded(kWindow);
  EXPECT_TRUE(form::LoadWindowSettings(loaded, *registry, protector).empty());
  EXPECT_EQ(loaded.get<TmavPopEdit>("mEdt1").text(), "shop");
}

TEST_F(WindowsStore, ClearTextPasswordOfAnOlderVersionLoadsAndIsProtectedAtTheNextSave) {
  const std::string key = windowKey_ + "\\mEdt4";
  ASSERT_EQ(RunReg(L"add \"HKLM\\" + ToWide(key) + L"\" /v TEXT /t REG_SZ /d \"旧口令'x\" /f /reg:32"), 0u);
  StoreWindow window(kWindow);
  form::LoadWindowSettings(window, *registry, protector);
  EXPECT_EQ(window.get<TmEdt>("mEdt4").text(), "旧口令'x");

  form::SaveWindowSettings(window, *registry, protector);
  const std::string stored = Export(windowKey_).at("mEdt4").at("TEXT");
  EXPECT_EQ(stored.compare(0, ProtectedPrefix.size(), ProtectedPrefix), 0) << stored;
  StoreWindow again(kWindow);
  form::LoadWindowSettings(again, *registry, protector);
  EXPECT_EQ(again.get<TmEdt>("mEdt4").text(), "旧口令'x");
}

TEST_F(WindowsStore, FirstLoadCreatesTheKeysAndAValueOfAnotherTypeIsPassedOver) {
  StoreWindow window(kWindow);
  const std::string before = window.snapshot();
  form::LoadWindowSettings(window, *registry, protector);
  EXPECT_EQ(window.snapshot(), before);
  for (const std::string& name : StoredControlNames()) EXPECT_TRUE(KeyExists(windowKey_ + "\\" + name, KEY_WOW64_32KEY)) << name;

  // The tree list's column widths are only ever read.
  ASSERT_EQ(RunReg(L"add \"HKLM\\" + ToWide(windowKey_) + L"\\mavTree1\" /v 0 /t REG_SZ /d 120 /f /reg:32"), 0u);
  form::LoadWindowSettings(window, *registry, protector);
  EXPECT_EQ(window.get<TmavTree>("mavTree1").columns()[0].width, 120);

  // A value of another type is an error of the registry, which loading passes
  // over like any value it cannot take.
  ASSERT_EQ(RunReg(L"add \"HKLM\\" + ToWide(windowKey_) + L"\\mavSpinEdit1\" /v VALUE /t REG_DWORD /d 5 /f /reg:32"), 0u);
  auto key = registry->open(windowKey_ + "\\mavSpinEdit1", Access::Read);
  ASSERT_TRUE(key);
  try {
    key->readString("VALUE");
    ADD_FAILURE() << "no error";
  } catch (const RegistryError& e) {
    EXPECT_STREQ(e.what(), "Invalid data type for 'VALUE'");
  }
  const std::vector<LoadProblem> problems = form::LoadWindowSettings(window, *registry, protector);
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].control, "mavSpinEdit1");
  EXPECT_EQ(window.get<TmavSpinEdit>("mavSpinEdit1").value(), 3);
}

TEST_F(WindowsStore, RunValueLandsInTheSameView) {
  WriteRunValue(*registry, kRunName, "C:\\程序 目录\\Bakwyn.exe");
  const Exported exported = Export(std::string(RunKey));
  ASSERT_TRUE(exported.count(""));
  EXPECT_EQ(exported.at("").at(kRunName), "C:\\程序 目录\\Bakwyn.exe");
}

}  // namespace
}  // namespace bakwyn::settings
