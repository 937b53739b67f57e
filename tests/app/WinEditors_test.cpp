// Bakwyn.exe's settings window driven from a second process: what the time and
// days editors accept while a user types or another program sets their text,
// a save that refuses an invalid time however it got in, and the web links,
// which reach the shell as the address itself.
#include <windows.h>

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <cwchar>
#include <functional>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/ExeHarness.h"

namespace bakwyn {
namespace {

using namespace bakwyn::exe;

bool ValidTime(const std::string& text) {
  static const std::regex pattern(R"(([01]\d|2[0-3]):[0-5]\d)");
  return std::regex_match(text, pattern);
}

class WinEditors : public ProgramTest {
 protected:
  // The settings window of a new user, with the time editor of slot 1 and the
  // days editor enabled.
  void openSettings() {
    app().start();
    app().menu("N1");
    ASSERT_TRUE(app().visible());
    app().click("dxCheckEdit1");
    app().click("dxCheckEdit5");
    app().idle();
    ASSERT_TRUE(app().enabled("dxTimeEdit1"));
    ASSERT_TRUE(app().enabled("mavSpinEdit1"));
  }
};

TEST_F(WinEditors, TimeEditorsTakeOnlyHoursUpTo23AndMinutesUpTo59) {
  openSettings();
  App& a = app();

  // Keystrokes: a digit that would make an invalid hour or minute is refused
  // and its position keeps what it showed.
  const struct {
    const char* name;
    const char* before;
    int caret;
    const char* typed;
    const char* after;
  } typing[] = {
      {"hour 25", "00:00", 0, "2500", "20:00"},
      {"hour 3x", "00:00", 0, "3", "00:00"},
      {"a first digit 2 before a 9 makes hour 20", "19:00", 0, "2", "20:00"},
      {"minute 7x", "12:00", 3, "7", "12:00"},
      {"minute 6x", "12:34", 3, "6", "12:34"},
      {"the last minute of the day", "00:00", 0, "2359", "23:59"},
      {"letters and signs", "08:15", 0, "a-:", "08:15"},
  };
  for (const auto& t : typing) {
    SCOPED_TRACE(t.name);
    a.setText("dxTimeEdit1", t.before);
    ASSERT_EQ(a.text("dxTimeEdit1"), t.before);
    a.typeAt("dxTimeEdit1", t.caret, t.typed);
    EXPECT_EQ(a.text("dxTimeEdit1"), t.after);
  }

  // Text set from outside: an invalid time is refused, the last valid one stays.
  for (const char* text : {"25:00", "12:75", "24:00", "12:60", "99:99", "7:5", "ab:cd"}) {
    SCOPED_TRACE(text);
    a.setText("dxTimeEdit1", "06:45");
    ASSERT_EQ(a.text("dxTimeEdit1"), "06:45");
    a.setText("dxTimeEdit1", text);
    EXPECT_EQ(a.text("dxTimeEdit1"), "06:45");
  }

  // The days editor holds six digits.
  a.type("mavSpinEdit1", "1234567");
  EXPECT_EQ(a.text("mavSpinEdit1"), "123456");
}

// Other ways for text to reach an edit control than keystrokes and WM_SETTEXT.
// Either the editor refuses an invalid time, or the save does.
TEST_F(WinEditors, AnInvalidTimeThatGetsPastTheEditorIsRefusedBySaving) {
  standIn_.setUsers({{"sa", "pw"}});
  standIn_.setDatabases({"master", "shop"});
  openSettings();
  App& a = app();
  a.type("mEdt3", "sa");
  a.type("mEdt4", "pw");
  a.type("mEdt1", "shop");
  a.type("mavBEdit2", kFolder + "\\x");
  a.type("mavSpinEdit1", "3");

  const auto paste = [&](const std::wstring& text) {
    ASSERT_TRUE(OpenClipboard(nullptr));
    EmptyClipboard();
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t));
    std::memcpy(GlobalLock(memory), text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    GlobalUnlock(memory);
    SetClipboardData(CF_UNICODETEXT, memory);
    CloseClipboard();
    HWND edit = a.control("dxTimeEdit1");
    SendMessageW(edit, EM_SETSEL, 0, -1);
    SendMessageW(edit, WM_PASTE, 0, 0);
  };
  const struct {
    const char* name;
    std::function<void()> enter;
  } ways[] = {
      {"pasted", [&] { paste(L"25:00"); }},
      {"pasted digits", [&] { paste(L"2575"); }},
      {"replacing the selection",
       [&] {
         HWND edit = a.control("dxTimeEdit1");
         SendMessageW(edit, EM_SETSEL, 0, -1);
         SendMessageW(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L"25:00"));
       }},
      {"replacing the minutes",
       [&] {
         HWND edit = a.control("dxTimeEdit1");
         SendMessageW(edit, EM_SETSEL, 3, 5);
         SendMessageW(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L"99"));
       }},
  };
  for (const auto& way : ways) {
    SCOPED_TRACE(way.name);
    a.setText("dxTimeEdit1", "06:45");
    way.enter();
    a.idle();
    const std::string shown = a.text("dxTimeEdit1");
    if (ValidTime(shown)) continue;  // the editor refused it
    a.click("BitBtn1");
    const auto box = a.answer(IDOK);
    ASSERT_TRUE(box) << "saved with the time " << shown;
    EXPECT_EQ(box->text, "备份时间一的时间无效,请输入00:00到23:59之间的时间!");
    EXPECT_TRUE(box->okOnly);
    EXPECT_EQ(StoredValueCount(), 0);
  }
}

// The shell's open command for http, swapped for the driver in its recording
// mode for the life of this object (64-bit view, where Wine's shell looks).
class HttpOpenCommand {
 public:
  explicit HttpOpenCommand(const std::wstring& command) {
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY,
                        nullptr, &key_, nullptr) != ERROR_SUCCESS) {
      key_ = nullptr;
      return;
    }
    DWORD type = 0, bytes = 0;
    if (RegQueryValueExW(key_, nullptr, nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS) {
      std::wstring data(bytes / sizeof(wchar_t) + 1, L'\0');
      RegQueryValueExW(key_, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &bytes);
      data.resize(wcsnlen(data.c_str(), data.size()));
      before_ = data;
      type_ = type;
    }
    set_ = RegSetValueExW(key_, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                          static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
  }
  ~HttpOpenCommand() {
    if (!key_) return;
    if (before_)
      RegSetValueExW(key_, nullptr, 0, type_, reinterpret_cast<const BYTE*>(before_->c_str()),
                     static_cast<DWORD>((before_->size() + 1) * sizeof(wchar_t)));
    else
      RegDeleteValueW(key_, nullptr);
    RegCloseKey(key_);
  }
  bool set() const { return set_; }
  HttpOpenCommand(const HttpOpenCommand&) = delete;
  HttpOpenCommand& operator=(const HttpOpenCommand&) = delete;

 private:
  static constexpr const wchar_t* kKey = L"Software\\Classes\\http\\shell\\open\\command";
  HKEY key_ = nullptr;
  std::optional<std::wstring> before_;
  DWORD type_ = REG_SZ;
  bool set_ = false;
};

std::vector<std::string> Lines(const std::wstring& file) {
  std::ifstream in(std::filesystem::path(file), std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Programs named `exe` that process `parent` started; each one found is ended.
std::vector<DWORD> EndChildrenNamed(DWORD parent, const std::wstring& exe) {
  std::vector<DWORD> found;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return found;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ParentProcessID != parent || _wcsicmp(entry.szExeFile, exe.c_str()) != 0) continue;
    found.push_back(entry.th32ProcessID);
    if (HANDLE child = OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID)) {
      TerminateProcess(child, 1);
      CloseHandle(child);
    }
  }
  CloseHandle(snapshot);
  return found;
}

TEST_F(WinEditors, WebLinksHandTheAddressToTheShell) {
  const std::wstring file = Wide(kFolder) + L"\\opened.txt";
  CreateDirectoryW(Wide(kFolder).c_str(), nullptr);
  const HttpOpenCommand command(L"\"" + remote::DriverPath() + L"\" record-url \"" + file + L"\" \"%1\"");
  ASSERT_TRUE(command.set());
  const std::string address = form::kMakerWebAddress;

  App& a = app();
  a.start();
  a.menu("N4");
  EXPECT_TRUE(WaitUntil([&] { return Lines(file).size() >= 1; }, 20000)) << "the tray menu's link reached no browser";
  a.menu("N1");
  ASSERT_EQ(a.text("Label10"), address);
  a.clickLabel("Label10");
  EXPECT_TRUE(WaitUntil([&] { return Lines(file).size() >= 2; }, 20000)) << "the label's click reached no browser";
  EXPECT_EQ(Lines(file), (std::vector<std::string>{address, address}));
  EXPECT_EQ(EndChildrenNamed(a.pid(), L"iexplore.exe"), std::vector<DWORD>{}) << "a browser program was started";
}

}  // namespace
}  // namespace bakwyn
