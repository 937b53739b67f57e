// Bakwyn.exe as another process sees it: the controls found by name, their
// captions, limits and initial states, and the settings window opened and a
// check box clicked through the driver.
#include <windows.h>

#include <commctrl.h>

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/ExeHarness.h"

namespace bakwyn {
namespace {

using namespace bakwyn::exe;
using remote::FindControl;
using remote::Text;

// The driver's output; a driver that fails is a test failure.
std::string Driver(const std::wstring& args) {
  DWORD code = 99;
  std::string printed = RunDriver(args, &code);
  EXPECT_EQ(code, 0u) << "bakwyn-driver " << Utf8(args);
  return printed;
}

struct Expected {
  const char* name;
  const wchar_t* windowClass;
  const char* text;  // nullptr: not checked
  bool enabled;
  LONG styleSet;     // bits that must be set
  LONG styleClear;   // bits that must be clear
};

class WinRemote : public ::testing::Test {
 protected:
  void SetUp() override {
    ForgetStoredState();
    app.start();
    main = app.main();
  }
  // The program ends with the fixture (App asks it to close).
  void TearDown() override { ForgetStoredState(); }
  App app;
  HWND main = nullptr;
};

TEST_F(WinRemote, ControlsAreFoundByNameWithTheirCaptionsLimitsAndStates) {
  // The window has its controls once it is shown; showing it fills in the
  // server, user and folder (checked below).
  app.menu("N1");
  ASSERT_TRUE(app.visible());
  const Expected controls[] = {
      {"Label1", L"Static", "版本号: 1.00版", true, 0, 0},
      {"Label3", L"Static", "Vorda软件主页:", true, 0, 0},
      {"Label10", L"Static", "http://www.example.com/", true, SS_NOTIFY, 0},
      {"BitBtn1", L"Button", "保存", true, 0, 0},
      {"BitBtn3", L"Button", "伺服运行", true, 0, 0},
      {"BitBtn2", L"Button", "退出", true, 0, 0},
      {"PageControl1", WC_TABCONTROLW, nullptr, true, TCS_BUTTONS | TCS_FLATBUTTONS, 0},
      {"mavMemo1", L"Edit", "备份记录:\r\n", true, ES_MULTILINE | ES_AUTOHSCROLL, 0},
      {"mavTree1", WC_LISTVIEWW, nullptr, true, LVS_REPORT, 0},
      {"Label4", L"Static", "SQL数据库电脑名", true, 0, 0},
      {"mEdt2", L"Edit", nullptr, false, 0, 0},
      {"Label5", L"Static", "[只能本机操作]", true, 0, 0},
      {"Label6", L"Static", "SQL数据库用户名", true, 0, 0},
      {"mEdt3", L"Edit", nullptr, true, 0, ES_PASSWORD},
      {"Label7", L"Static", "数据库密码", true, 0, 0},
      {"mEdt4", L"Edit", "", true, ES_PASSWORD, 0},
      {"Label9", L"Static", "SQL数据库备份目录", true, 0, 0},
      {"mavBEdit2", L"Edit", nullptr, true, 0, 0},
      {"dxCheckEdit1", L"Button", "备份时间一", true, BS_AUTOCHECKBOX, 0},
      {"dxTimeEdit1", L"Edit", "00:00", false, 0, 0},
      {"dxCheckEdit2", L"Button", "备份时间二", true, BS_AUTOCHECKBOX, 0},
      {"dxTimeEdit2", L"Edit", "00:00", false, 0, 0},
      {"dxCheckEdit3", L"Button", "备份时间三", true, BS_AUTOCHECKBOX, 0},
      {"dxTimeEdit3", L"Edit", "00:00", false, 0, 0},
      {"dxCheckEdit4", L"Button", "备份时间四", true, BS_AUTOCHECKBOX, 0},
      {"dxTimeEdit4", L"Edit", "00:00", false, 0, 0},
      {"Label8", L"Static", "SQL数据库名称", true, 0, 0},
      {"mEdt1", L"Edit", "", true, 0, 0},
      {"SpeedButton1", L"Button", "刷新", true, BS_FLAT, 0},
      {"dxCheckEdit5", L"Button", "自动删除      天以前备份", true, BS_AUTOCHECKBOX, 0},
      {"mavSpinEdit1", L"Edit", "3", false, ES_RIGHT | ES_NUMBER, 0},
      {"Label11", L"Static", "http://www.example.com/", true, SS_NOTIFY, 0},
      {"mavMemo2", L"Edit", nullptr, true, ES_MULTILINE | ES_READONLY, 0},
      {"StatusBar1", STATUSCLASSNAMEW, nullptr, true, 0, 0},
  };
  int previousId = 0;
  for (const Expected& e : controls) {
    HWND w = FindControl(main, e.name);
    ASSERT_NE(w, nullptr) << e.name;
    // The table is in creation order, and so are the IDs.
    EXPECT_GT(GetDlgCtrlID(w), previousId) << e.name;
    previousId = GetDlgCtrlID(w);
    EXPECT_EQ(remote::ClassName(w), std::wstring(e.windowClass)) << e.name;
    if (e.text) EXPECT_EQ(Text(w), e.text) << e.name;
    EXPECT_EQ(IsWindowEnabled(w) != FALSE, e.enabled) << e.name;
    const LONG style = GetWindowLongW(w, GWL_STYLE);
    EXPECT_EQ(style & e.styleSet, e.styleSet) << e.name;
    EXPECT_EQ(style & e.styleClear, 0) << e.name;
    if (e.styleSet & BS_AUTOCHECKBOX) EXPECT_EQ(SendMessageW(w, BM_GETCHECK, 0, 0), BST_UNCHECKED) << e.name;
  }
  // The log pane takes more than the 32K characters of an edit's default limit.
  EXPECT_GT(static_cast<unsigned long long>(SendMessageW(FindControl(main, "mavMemo1"), EM_GETLIMITTEXT, 0, 0)),
            32767ull);
  // The second windows of the two-part controls.
  EXPECT_EQ(Text(FindControl(main, "mavBEdit2", true)), "...");
  EXPECT_NE(FindControl(main, "mEdt1", true), nullptr);
  HWND arrows = FindControl(main, "mavSpinEdit1", true);
  ASSERT_NE(arrows, nullptr);
  EXPECT_EQ(remote::ClassName(arrows), std::wstring(UPDOWN_CLASSW));
  EXPECT_FALSE(IsWindowEnabled(arrows));
  RECT edit, spin;
  GetWindowRect(FindControl(main, "mavSpinEdit1"), &edit);
  GetWindowRect(arrows, &spin);
  EXPECT_EQ(spin.right - edit.left, 35);
  // The drop-down panel waits hidden.
  HWND panel = FindControl(main, "Panel7");
  ASSERT_NE(panel, nullptr);
  EXPECT_FALSE(IsWindowVisible(panel));
  RECT box;
  GetWindowRect(panel, &box);
  EXPECT_EQ(box.right - box.left, 158);
  EXPECT_EQ(box.bottom - box.top, 137);
}

TEST_F(WinRemote, TheDriversMenuOpensTheWindowWithItsDefaultsAndItsClickEnablesAnEditor) {
  EXPECT_FALSE(IsWindowVisible(main)) << "the program starts in the tray";
  Driver(L"menu N1");
  EXPECT_TRUE(WaitUntil([&] { return IsWindowVisible(main) != FALSE; }, 20000));
  app.idle();
  // Opening the window fills in this computer, "sa" and the default folder.
  wchar_t computer[MAX_COMPUTERNAME_LENGTH + 256] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 256;
  ASSERT_TRUE(GetComputerNameW(computer, &size));
  EXPECT_EQ(Driver(L"text mEdt2"), remote::Utf8(computer) + "\n");
  EXPECT_EQ(Text(FindControl(main, "mEdt3")), "sa");
  EXPECT_EQ(Text(FindControl(main, "mavBEdit2")), DefaultBackupFolder());

  // A check box's click enables its time editor, in the other process.
  Driver(L"click dxCheckEdit2");
  app.idle();
  EXPECT_TRUE(IsWindowEnabled(FindControl(main, "dxTimeEdit2")));
  EXPECT_FALSE(IsWindowEnabled(FindControl(main, "dxTimeEdit1")));

}

// The options page of the running program shows what is stored beside the
// controls, read from the registry at start; a stored value out of its range
// is passed over and named in the log. The driver finds its controls and
// chooses in its pick lists as a user would.
TEST(WinRemoteOptions, OptionsPageShowsTheStoredOptionsAndTheDriverChoosesInIt) {
  ForgetStoredState();
  struct Forget {
    ~Forget() { ForgetStoredState(); }
  } forget;
  App app;  // declared after `forget`: the program ends before the store is cleared
  ASSERT_TRUE(WriteString(kStatusKey, "VerifyBackups", "0"));
  ASSERT_TRUE(WriteString(kStatusKey, "RestoreTestEvery", "2"));
  ASSERT_TRUE(WriteString(kStatusKey, "RestoreTestDay", "9"));
  ASSERT_TRUE(WriteString(kStatusKey, "RestoreTestHour", "5"));
  app.start();
  HWND main = app.main();
  app.menu("N1");
  ASSERT_TRUE(app.visible());
  Driver(L"page 1");
  app.idle();
  // name, class, enabled, visible, style, text: as the driver lists them.
  std::map<std::string, std::vector<std::string>> listed;
  std::istringstream lines(Driver(L"controls"));
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> fields;
    std::istringstream parts(line);
    for (std::string field; std::getline(parts, field, '\t');) fields.push_back(field);
    if (!fields.empty()) listed[fields[0]] = fields;
  }
  struct Row {
    const char* name;
    const char* windowClass;
    const char* enabled;
    const char* text;
  };
  const Row rows[] = {
      {"TabSheet2", "BakwynPanel", "1", ""},
      {"dxCheckEdit7", "Button", "1", "备份后校验"},
      {"Label14", "Static", "1", "恢复测试"},
      {"dxPickEdit1", "ComboBox", "1", "每天"},
      {"dxPickEdit2", "ComboBox", "0", "星期日"},  // daily: no day; the stored 9 was passed over
      {"dxPickEdit3", "ComboBox", "1", "05:00"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_EQ(listed.count(row.name), 1u);
    const std::vector<std::string>& fields = listed[row.name];
    ASSERT_EQ(fields.size() >= 5, true);
    EXPECT_EQ(fields[1], row.windowClass);
    EXPECT_EQ(fields[2], row.enabled);
    EXPECT_EQ(fields[3], "1") << "the options page is the one shown";
    EXPECT_EQ(fields.size() > 5 ? fields[5] : std::string(), row.text);
  }
  EXPECT_EQ(listed["TabSheet1"][3], "0");
  EXPECT_FALSE(app.checked("dxCheckEdit7"));
  bool named = false;
  for (const std::string& line : app.log())
    named = named || line.find("无法读取存储的设置: RestoreTestDay \"9\",已忽略") != std::string::npos;
  EXPECT_TRUE(named) << "the stored day out of range is named in the log";

  // Weekly: the day comes back; the choice reaches the program's model.
  Driver(L"pick dxPickEdit1 1");
  app.idle();
  EXPECT_EQ(Text(FindControl(main, "dxPickEdit1")), "每周");
  EXPECT_TRUE(IsWindowEnabled(FindControl(main, "dxPickEdit2")));
  Driver(L"pick dxPickEdit2 3");
  app.idle();
  EXPECT_EQ(Driver(L"text dxPickEdit2"), "星期三\n");
  Driver(L"pick dxPickEdit1 0");
  app.idle();
  EXPECT_FALSE(IsWindowEnabled(FindControl(main, "dxPickEdit2")));
  EXPECT_FALSE(IsWindowEnabled(FindControl(main, "dxPickEdit3")));
  // An item the list does not have is refused.
  DWORD code = 0;
  RunDriver(L"pick dxPickEdit3 25", &code);
  EXPECT_EQ(code, 1u);
}

}  // namespace
}  // namespace bakwyn
