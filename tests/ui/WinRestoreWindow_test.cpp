// The restore window in this process under Wine, with fake actions: its real
// controls clicked and read back, and its layout at the system's DPI.
#include <windows.h>

#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "form/RestoreForm.h"
#include "tests/driver/Remote.h"
#include "ui/RestoreWindow.h"

namespace bakwyn::ui {
namespace {

using namespace bakwyn::form;

void Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

RestoreChoice Choice(std::string path, LocalDateTime finished, std::uint64_t bytes, bool second, bool verified) {
  RestoreChoice c;
  c.path = std::move(path);
  c.finished = finished;
  c.bytes = bytes;
  c.secondFolder = second;
  c.verified = verified;
  c.database = "Sales";
  return c;
}

// The program's side, recording what reaches it.
struct FakeProgram {
  std::vector<RestoreChoice> backups = {
      Choice("D:\\备份\\2026年12月09日02时00分.bak", {2026, 12, 9, 2, 0, 41}, 350 * 1024 * 1024, false, true),
      Choice("\\\\nas\\b\\2026年12月10日02时00分.bak", {2026, 12, 10, 2, 0, 37}, 2048, true, false)};
  std::vector<std::string> names;  // the new names planned
  std::vector<RestorePlan::Target> targets;
  std::vector<std::string> started;
  std::vector<std::string> questions;
  bool answerYes = true;
  int cancels = 0;
  const std::vector<std::string> statements = {"RESTORE DATABASE [新]]库] FROM DISK = N'D:\\O''Brien.bak' WITH FILE = 1",
                                               "DBCC CHECKDB ([新]]库]) -- 😀"};

  RestoreActions actions() {
    RestoreActions a;
    a.database = "Sales";
    a.list = [this] { return backups; };
    a.proposedName = [] { return std::string("Sales_恢复_20261211_0930"); };
    a.plan = [this](const RestoreChoice& from, RestorePlan::Target target, const std::string& name) {
      names.push_back(name);
      targets.push_back(target);
      PlannedRestore out;
      out.plan.emplace();
      out.plan->from = from;
      out.plan->target = target;
      out.plan->database = target == RestorePlan::Target::current ? "Sales" : name;
      out.plan->statements = statements;
      return out;
    };
    a.start = [this](const RestorePlan& plan) {
      started.push_back(plan.database);
      return std::string();
    };
    a.cancel = [this] { ++cancels; };
    a.confirm = [this](const std::string& text) {
      questions.push_back(text);
      return answerYes;
    };
    return a;
  }
};

class WinRestoreWindow : public ::testing::Test {
 protected:
  WinRestoreWindow() {
    window->onDestroyed = [this] { ++destroyed; };
    window->show();
    Pump();  // the posted listing
  }
  void TearDown() override {
    window.reset();
    Pump();
  }
  HWND control(const std::string& name) const { return remote::FindById(window->hwnd(), RestoreControlId(name)); }
  std::string text(const std::string& name) const { return remote::Text(control(name)); }
  bool enabled(const std::string& name) const { return IsWindowEnabled(control(name)) != FALSE; }
  bool checked(const std::string& name) const {
    return SendMessageW(control(name), BM_GETCHECK, 0, 0) == BST_CHECKED;
  }
  void click(const std::string& name) {
    HWND button = control(name);
    ASSERT_NE(button, nullptr) << name;
    SendMessageW(button, BM_CLICK, 0, 0);
    Pump();
  }

  FakeProgram program;
  RestoreForm form{program.actions()};
  std::unique_ptr<RestoreWindow> window = std::make_unique<RestoreWindow>(form);
  int destroyed = 0;
};

TEST_F(WinRestoreWindow, ListsTheBackupsInItsRowsNewestFirst) {
  EXPECT_EQ(remote::Text(window->hwnd()), "恢复数据库");
  EXPECT_EQ(remote::ClassName(window->hwnd()), kFrmRestoreClass);
  HWND list = control("mavTree1");
  ASSERT_NE(list, nullptr);
  HWND header = ListView_GetHeader(list);
  std::vector<std::string> captions;
  for (int c = 0; c < Header_GetItemCount(header); ++c) {
    wchar_t caption[64] = {};
    HDITEMW item{};
    item.mask = HDI_TEXT;
    item.pszText = caption;
    item.cchTextMax = 64;
    Header_GetItem(header, c, &item);
    captions.push_back(remote::Utf8(caption));
  }
  EXPECT_EQ(captions, (std::vector<std::string>{"日期时间", "大小", "文件夹", "已校验", "已测试恢复"}));
  std::vector<std::vector<std::string>> rows;
  for (int r = 0; r < ListView_GetItemCount(list); ++r) {
    rows.emplace_back();
    for (int c = 0; c < 5; ++c) {
      wchar_t cell[64] = {};
      ListView_GetItemText(list, r, c, cell, 64);
      rows.back().push_back(remote::Utf8(cell));
    }
  }
  const std::vector<std::vector<std::string>> expected = {
      {"2026-12-10 02:00:37", "2 KB", "第二目录", "", ""},
      {"2026-12-09 02:00:41", "350.0 MB", "备份目录", "是", ""},
  };
  EXPECT_EQ(rows, expected);
  EXPECT_EQ(ListView_GetNextItem(list, -1, LVNI_SELECTED), 0) << "the newest is chosen";
  EXPECT_EQ(text("mEdt1"), "Sales_恢复_20261211_0930");

  // A row the user picks is the one planned.
  ListView_SetItemState(list, 1, LVIS_FOCUSED | LVIS_SELECTED, LVIS_FOCUSED | LVIS_SELECTED);
  Pump();
  click("BitBtn1");
  EXPECT_EQ(form.chosen(), 1u);
  // Listing again replaces the rows.
  program.backups.pop_back();
  click("SpeedButton1");
  EXPECT_EQ(ListView_GetItemCount(list), 1);
}

TEST_F(WinRestoreWindow, TheRadioButtonsSwitchTheTargetAndTheStatementsAreShown) {
  EXPECT_TRUE(checked("RadioButton1"));
  EXPECT_FALSE(checked("RadioButton2"));
  EXPECT_EQ(text("RadioButton2"), "覆盖当前数据库 Sales");
  // The name typed goes to the plan, and the plan's statements one a line.
  SetWindowTextW(control("mEdt1"), remote::Wide("新'库]").c_str());
  Pump();
  click("BitBtn1");
  ASSERT_EQ(program.names, std::vector<std::string>{"新'库]"});
  EXPECT_EQ(text("mavMemo1"), program.statements[0] + "\r\n" + program.statements[1] + "\r\n");
  EXPECT_NE(GetWindowLongW(control("mavMemo1"), GWL_STYLE) & ES_READONLY, 0);

  click("RadioButton2");
  EXPECT_TRUE(checked("RadioButton2"));
  EXPECT_FALSE(checked("RadioButton1"));
  EXPECT_FALSE(enabled("mEdt1"));
  EXPECT_EQ(text("mavMemo1"), "") << "the statements were for the other target";
  click("BitBtn1");
  EXPECT_EQ(program.targets.back(), RestorePlan::Target::current);
  click("RadioButton1");
  EXPECT_TRUE(checked("RadioButton1"));
  EXPECT_FALSE(checked("RadioButton2"));
  EXPECT_TRUE(enabled("mEdt1"));
}

TEST_F(WinRestoreWindow, ARestoreOverTheCurrentDatabaseRunsToItsResult) {
  click("RadioButton2");
  program.answerYes = false;
  click("BitBtn2");
  EXPECT_EQ(program.questions.size(), 1u);
  EXPECT_TRUE(program.started.empty()) << "answered no";
  program.answerYes = true;
  click("BitBtn2");
  ASSERT_EQ(program.started, std::vector<std::string>{"Sales"});
  EXPECT_FALSE(enabled("BitBtn2"));
  EXPECT_FALSE(enabled("BitBtn1"));
  EXPECT_FALSE(enabled("mavTree1"));
  EXPECT_TRUE(enabled("BitBtn3"));
  window->progress("10 percent processed.");
  click("BitBtn3");
  EXPECT_EQ(program.cancels, 1);
  EXPECT_FALSE(enabled("BitBtn3"));
  window->finished({RestoreResult::Outcome::cancelled, "", "D:\\备份\\安全.bak", 75'000});
  EXPECT_EQ(text("mavMemo2"),
            "10 percent processed.\r\n正在取消恢复...\r\n恢复已取消: 数据库 Sales,用时 1分15秒\r\n"
            "恢复前的安全备份: D:\\备份\\安全.bak\r\n");
  EXPECT_TRUE(enabled("BitBtn2"));
  EXPECT_TRUE(enabled("mavTree1"));
  EXPECT_FALSE(enabled("BitBtn3"));
}

TEST_F(WinRestoreWindow, ClosingWhileARestoreRunsAsksAndLeavesItRunning) {
  click("BitBtn2");
  ASSERT_EQ(program.started.size(), 1u);
  program.answerYes = false;
  SendMessageW(window->hwnd(), WM_CLOSE, 0, 0);
  Pump();
  ASSERT_EQ(program.questions.size(), 1u);
  EXPECT_TRUE(IsWindow(window->hwnd()));
  program.answerYes = true;
  click("BitBtn4");
  EXPECT_EQ(program.questions.size(), 2u);
  EXPECT_EQ(window->hwnd(), nullptr) << "destroyed";
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(program.cancels, 0) << "closing never cancels";
  // The program's lines still reach the model, and nothing else.
  window->progress("100 percent processed.");
  window->finished({RestoreResult::Outcome::succeeded, "", "", 1000});
  EXPECT_FALSE(form.running());
  EXPECT_NE(form.mavMemo2.text().find("恢复成功: 数据库 Sales_恢复_20261211_0930,用时 1秒"), std::string::npos);
}

// ---- Layout at the system's DPI ---------------------------------------------------

int TextWidthOf(HWND control, const std::string& text) {
  const std::wstring wide = remote::Wide(text);
  HDC dc = GetDC(control);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
  SIZE size{};
  GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &size);
  SelectObject(dc, old);
  ReleaseDC(control, dc);
  return size.cx;
}

std::string NameOf(HWND control) { return std::string(RestoreComponentName(GetDlgCtrlID(control))); }

// The process is DPI-aware as the program's manifest makes Bakwyn.exe: the
// window is laid out with the system's check marks and scroll bars.
TEST(WinRestoreLayout, EveryControlInsideTheWindowApartAndShowingItsText) {
  SetProcessDPIAware();
  HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
  ReleaseDC(nullptr, screen);
  std::printf("laid out at %d DPI\n", dpi);
  if (const char* asked = std::getenv("BAKWYN_LAYOUT_DPI")) {
    ASSERT_EQ(dpi, std::atoi(asked)) << "the DPI asked for did not apply";
  }
  FakeProgram program;
  RestoreForm form(program.actions());
  RestoreWindow window(form);
  window.show();
  Pump();
  RECT inside;
  GetClientRect(window.hwnd(), &inside);
  std::vector<HWND> controls;
  for (HWND child = GetWindow(window.hwnd(), GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
    controls.push_back(child);
  ASSERT_EQ(controls.size(), std::size(kFrmRestoreComponents));
  for (size_t i = 0; i < controls.size(); ++i) {
    RECT a;
    GetWindowRect(controls[i], &a);
    MapWindowPoints(nullptr, window.hwnd(), reinterpret_cast<POINT*>(&a), 2);
    EXPECT_TRUE(a.left >= 0 && a.top >= 0 && a.right <= inside.right && a.bottom <= inside.bottom)
        << NameOf(controls[i]) << ": " << a.left << "," << a.top << " " << a.right << "," << a.bottom << " in "
        << inside.right << "x" << inside.bottom;
    for (size_t j = i + 1; j < controls.size(); ++j) {
      RECT b, both;
      GetWindowRect(controls[j], &b);
      MapWindowPoints(nullptr, window.hwnd(), reinterpret_cast<POINT*>(&b), 2);
      EXPECT_FALSE(IntersectRect(&both, &a, &b)) << NameOf(controls[i]) << " covers " << NameOf(controls[j]);
    }
    const std::wstring kind = remote::ClassName(controls[i]);
    const LONG style = GetWindowLongW(controls[i], GWL_STYLE);
    int needed = 0;
    if (kind == L"Button" && (style & BS_TYPEMASK) == BS_PUSHBUTTON) {
      needed = TextWidthOf(controls[i], remote::Text(controls[i])) + 4 * GetSystemMetrics(SM_CXEDGE);
    } else if (kind == L"Button") {
      needed = GetSystemMetrics(SM_CXMENUCHECK) + TextWidthOf(controls[i], remote::Text(controls[i]));
    } else if (kind == L"Static") {
      needed = TextWidthOf(controls[i], remote::Text(controls[i]));
    } else if (kind == WC_LISTVIEWW) {
      // Each column shows its caption and its widest cell whole.
      HWND list = controls[i];
      for (int c = 0; c < 5; ++c) {
        int widest = ListView_GetStringWidth(list, remote::Wide(form.mavTree1.columns()[c].caption).c_str());
        for (int r = 0; r < ListView_GetItemCount(list); ++r) {
          wchar_t cell[64] = {};
          ListView_GetItemText(list, r, c, cell, 64);
          widest = std::max(widest, ListView_GetStringWidth(list, cell));
        }
        EXPECT_LE(widest + 12, ListView_GetColumnWidth(list, c)) << "column " << c;
      }
      continue;
    } else {
      continue;  // the edits scroll their text
    }
    EXPECT_LE(needed, a.right - a.left) << NameOf(controls[i]);
  }
}

// The same at 144 DPI (150 %), in a process of its own started with the
// prefix's LogPixels at 144 (the system's DPI is read when a process starts);
// the value is put back whatever happens.
TEST(WinRestoreLayout, At144Dpi) {
  const wchar_t* desktop = L"Control Panel\\Desktop";
  DWORD before = 0, size = sizeof before;
  const bool had = RegGetValueW(HKEY_CURRENT_USER, desktop, L"LogPixels", RRF_RT_REG_DWORD, nullptr, &before, &size) ==
                   ERROR_SUCCESS;
  const DWORD asked = 144;
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, desktop, L"LogPixels", REG_DWORD, &asked, sizeof asked), ERROR_SUCCESS);
  struct PutBack {
    bool had;
    DWORD value;
    ~PutBack() {
      HKEY key = nullptr;
      if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
      if (had)
        RegSetValueExW(key, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
      else
        RegDeleteValueW(key, L"LogPixels");
      RegCloseKey(key);
    }
  } putBack{had, before};

  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring command = L"\"" + std::wstring(self) +
                         L"\" --gtest_color=no --gtest_filter=WinRestoreLayout.EveryControlInsideTheWindowApartAndShowingItsText";
  SetEnvironmentVariableW(L"BAKWYN_LAYOUT_DPI", L"144");
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  const BOOL started =
      CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
  SetEnvironmentVariableW(L"BAKWYN_LAYOUT_DPI", nullptr);
  ASSERT_TRUE(started);
  WaitForSingleObject(process.hProcess, 120000);
  DWORD code = 99;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  EXPECT_EQ(code, 0u) << "the layout at 144 DPI: see the output above";
}

}  // namespace
}  // namespace bakwyn::ui
