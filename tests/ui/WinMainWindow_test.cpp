// The settings window in this process under Wine: the widgets it builds from
// the model when first shown, the log pane, the message codes, the tray icon
// and the mapping of every event to the model's hooks.
#include <windows.h>

#include <commctrl.h>

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "form/FrmMainIds.h"
#include "form/SettingsForm.h"
#include "tests/driver/Remote.h"
#include "ui/MainWindow.h"

namespace bakwyn::ui {
namespace {

using namespace bakwyn::form;

// Runs the message loop until the timer's first tick has reached the model's
// hook (10 s at the most; the time taken is not asserted).
void WaitForFirstTick(const std::vector<std::string>& calls) {
  MSG msg;
  const ULONGLONG end = GetTickCount64() + 10000;
  while (calls.empty() && GetTickCount64() < end && GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
}

void Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

// The model with every hook recording its call; refuses to close unless told otherwise.
struct RecordingForm : SettingsForm {
  std::vector<std::string> calls;
  bool allowClose = false;
  bool handleSysCommand = true;

  RecordingForm() {
    auto record = [this](std::string call) { return [this, call] { calls.push_back(call); }; };
    onShow = record("FormShow");
    onCloseQuery = [this] {
      calls.push_back("FormCloseQuery");
      return allowClose;
    };
    onSysCommand = [this](unsigned command) {
      calls.push_back("WMSysCommand:" + std::to_string(command));
      return handleSysCommand;
    };
    BitBtn1.onClick = record("BitBtn1Click");
    BitBtn2.onClick = record("BitBtn2Click");
    BitBtn3.onClick = record("BitBtn3Click");
    SpeedButton1.onClick = record("SpeedButton1Click");
    mavBEdit2.onButtonClick = [this](TdxButtonEdit&) { calls.push_back("mavBEdit2ButtonClick"); };
    mEdt1.onInitPopup = [this](TdxPopupEdit&) { calls.push_back("mEdt1InitPopup"); };
    mEdt1.onPopup = [this](TdxPopupEdit&) { calls.push_back("mEdt1Popup"); };
    mavTree1.onClick = [this](TdxTreeList&) { calls.push_back("mavTree1Click"); };
    for (LinkLabel* link : {&Label10, &Label11})
      link->onClick = [this](LinkLabel& sender) { calls.push_back("Label10Click:" + sender.caption()); };
    N1.onClick = record("N1Click");
    N2.onClick = record("N2Click");
    N4.onClick = record("N4Click");
    N8.onClick = record("N8Click");
    SpeedButton3.onClick = record("SpeedButton3Click");
    SpeedButton4.onClick = record("SpeedButton4Click");
    SpeedButton5.onClick = record("SpeedButton5Click");
    Timer1.onTimer = record("Timer1Timer");
  }
};

class WinMainForm : public ::testing::Test {
 protected:
  WinMainForm() {
    // The widgets exist from the first show on.
    ShowWindow(window->hwnd(), SW_SHOW);
    ShowWindow(window->hwnd(), SW_HIDE);
    Pump();
    form.calls.clear();
  }
  void TearDown() override {
    window.reset();
    Pump();
  }
  HWND widget(const std::string& name, bool part = false) const {
    return remote::FindControl(window->hwnd(), name, part);
  }
  // As the widget itself reports a click or change to its parent.
  void report(const std::string& name, WORD code, bool part = false) {
    HWND w = widget(name, part);
    ASSERT_NE(w, nullptr) << name;
    SendMessageW(GetParent(w), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(w), code), reinterpret_cast<LPARAM>(w));
  }
  std::string paneText() const { return WindowTextUtf8(widget("mavMemo1")); }

  RecordingForm form;
  std::unique_ptr<MainWindow> window = std::make_unique<MainWindow>(form);
};

TEST(WinMainWindow, HoldsOnlyTheTrayIconAndTheTimerUntilFirstShown) {
  RecordingForm form;
  MainWindow window(form);
  EXPECT_FALSE(window.widgetsBuilt());
  EXPECT_EQ(GetWindow(window.hwnd(), GW_CHILD), nullptr) << "no child window before the first show";
  // The log pane keeps its lines in the model meanwhile, and shows them all.
  form.mavMemo1.addLine("备份记录:");
  form.mavMemo1.addLine("[26-12-10 07:05:09]: 开始备份数据库...");
  // The schedule runs hidden.
  form.Timer1.setEnabled(true);
  WaitForFirstTick(form.calls);
  EXPECT_EQ(form.calls, std::vector<std::string>{"Timer1Timer"});
  form.Timer1.setEnabled(false);

  ShowWindow(window.hwnd(), SW_SHOW);
  EXPECT_TRUE(window.widgetsBuilt());
  EXPECT_EQ(WindowTextUtf8(remote::FindControl(window.hwnd(), "mavMemo1")),
            "备份记录:\r\n[26-12-10 07:05:09]: 开始备份数据库...\r\n");
  for (const std::string_view n : kFrmMainComponents) {
    // Every visual component has its window; the menu, the tray icon, the
    // timer, the actions and the connection have none.
    const Component* c = form.find(std::string(n));
    const bool visual = dynamic_cast<const Control*>(c) && !dynamic_cast<const form::TrayIcon*>(c) &&
                        !dynamic_cast<const form::Timer*>(c);
    EXPECT_EQ(remote::FindControl(window.hwnd(), std::string(n)) != nullptr, visual) << n;
  }
  EXPECT_EQ(form.calls.back(), "FormShow");
}

TEST_F(WinMainForm, WidgetsShowTheModelsInitialStates) {
  EXPECT_FALSE(IsWindowEnabled(widget("mEdt2")));
  EXPECT_TRUE(IsWindowEnabled(widget("mEdt3")));
  // The password field hides its text because the model says it is a password.
  EXPECT_TRUE(GetWindowLongW(widget("mEdt4"), GWL_STYLE) & ES_PASSWORD);
  EXPECT_FALSE(GetWindowLongW(widget("mEdt3"), GWL_STYLE) & ES_PASSWORD);
  for (int slot = 1; slot <= 4; ++slot) {
    const std::string digit = std::to_string(slot);
    EXPECT_FALSE(IsWindowEnabled(widget("dxTimeEdit" + digit)));
    EXPECT_EQ(WindowTextUtf8(widget("dxTimeEdit" + digit)), "00:00");
    EXPECT_EQ(WindowTextUtf8(widget("dxCheckEdit" + digit)), SettingsForm::SlotCaption(slot));
  }
  EXPECT_EQ(WindowTextUtf8(widget("dxCheckEdit5")), "自动删除      天以前备份");
  EXPECT_EQ(WindowTextUtf8(widget("mavSpinEdit1")), "3");
  EXPECT_FALSE(IsWindowEnabled(widget("mavSpinEdit1")));
  EXPECT_EQ(ListView_GetColumnWidth(widget("mavTree1"), 0), 57);
  EXPECT_EQ(WindowTextUtf8(widget("BitBtn1")), "保存");
  EXPECT_EQ(WindowTextUtf8(widget("Label10")), kMakerWebAddress);
  // The status bar's two panels, 250 and 50 pixels: right edges 250 and 300.
  int edges[3] = {};
  ASSERT_EQ(SendMessageW(widget("StatusBar1"), SB_GETPARTS, 3, reinterpret_cast<LPARAM>(edges)), 2);
  EXPECT_EQ(edges[0], 250);
  EXPECT_EQ(edges[1], 300);
}

std::string ComboItem(HWND combo, int index) {
  const LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
  if (length == CB_ERR) return "<none>";
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<size_t>(length));
  return remote::Utf8(text);
}

// The options page lists each pick list's items in the model's order and shows
// the model's choice; a choice of the user reaches the model, whose rule then
// enables the day and the hour.
TEST_F(WinMainForm, OptionsPageShowsTheModelAndTakesTheUsersChoice) {
  HWND verify = widget("dxCheckEdit7");
  ASSERT_NE(verify, nullptr);
  EXPECT_EQ(WindowTextUtf8(verify), "备份后校验");
  EXPECT_EQ(SendMessageW(verify, BM_GETCHECK, 0, 0), BST_CHECKED);
  EXPECT_EQ(GetParent(verify), widget("TabSheet2"));
  for (TdxPickEdit* pick : {&form.dxPickEdit1, &form.dxPickEdit2, &form.dxPickEdit3}) {
    HWND combo = widget(pick->name());
    ASSERT_NE(combo, nullptr) << pick->name();
    EXPECT_EQ(remote::ClassName(combo), L"ComboBox");
    EXPECT_EQ(GetWindowLongW(combo, GWL_STYLE) & 3, CBS_DROPDOWNLIST) << "nothing can be typed";
    std::vector<std::string> items;
    for (int i = 0; i < static_cast<int>(SendMessageW(combo, CB_GETCOUNT, 0, 0)); ++i) items.push_back(ComboItem(combo, i));
    EXPECT_EQ(items, pick->items()) << pick->name();
    EXPECT_EQ(WindowTextUtf8(combo), pick->text()) << pick->name();
  }

  struct Step {
    const char* name;
    std::function<void()> act;
    const char *every, *day, *hour;
    bool dayEnabled, hourEnabled;
  };
  auto choose = [&](const char* name, int index) {
    return [this, name, index] {
      SendMessageW(widget(name), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
      report(name, CBN_SELCHANGE);
    };
  };
  const Step steps[] = {
      {"the user picks never", choose("dxPickEdit1", 0), "不测试", "星期日", "第一次备份后", false, false},
      {"the user picks daily", choose("dxPickEdit1", 2), "每天", "星期日", "第一次备份后", false, true},
      {"the user picks 23:00", choose("dxPickEdit3", 24), "每天", "星期日", "23:00", false, true},
      {"the program shows weekly on Friday", [&] {
         form.dxPickEdit1.setItemIndex(1);
         form.dxPickEdit2.setItemIndex(5);
       }, "每周", "星期五", "23:00", true, true},
      {"the user picks Saturday", choose("dxPickEdit2", 6), "每周", "星期六", "23:00", true, true},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    step.act();
    EXPECT_EQ(form.dxPickEdit1.text(), step.every);
    EXPECT_EQ(form.dxPickEdit2.text(), step.day);
    EXPECT_EQ(form.dxPickEdit3.text(), step.hour);
    EXPECT_EQ(WindowTextUtf8(widget("dxPickEdit1")), step.every);
    EXPECT_EQ(WindowTextUtf8(widget("dxPickEdit2")), step.day);
    EXPECT_EQ(WindowTextUtf8(widget("dxPickEdit3")), step.hour);
    EXPECT_EQ(IsWindowEnabled(widget("dxPickEdit2")) != FALSE, step.dayEnabled);
    EXPECT_EQ(IsWindowEnabled(widget("dxPickEdit3")) != FALSE, step.hourEnabled);
  }

  SendMessageW(verify, BM_CLICK, 0, 0);
  EXPECT_FALSE(form.dxCheckEdit7.checked());
  form.dxCheckEdit7.setChecked(true);
  EXPECT_EQ(SendMessageW(verify, BM_GETCHECK, 0, 0), BST_CHECKED);
}

// The ping addresses on the options page: captioned rows of plain edits (the
// user reads back what was pasted), each with its test button; what is typed
// reaches the model key by key, and what the model holds is shown.
TEST_F(WinMainForm, PingAddressFieldsShowWhatIsTypedAndReachTheModel) {
  HWND options = widget("TabSheet2");
  for (const char* name : {"Bevel4", "Label16", "mEdt5", "SpeedButton3", "Label17", "mEdt6", "SpeedButton4", "Label18"}) {
    ASSERT_NE(widget(name), nullptr) << name;
    EXPECT_EQ(GetParent(widget(name)), options) << name;
  }
  EXPECT_EQ(WindowTextUtf8(widget("Label16")), "备份结果通知地址 (可选):");
  EXPECT_EQ(WindowTextUtf8(widget("Label17")), "恢复测试结果通知地址 (可选):");
  EXPECT_EQ(WindowTextUtf8(widget("SpeedButton3")), "测试");
  EXPECT_EQ(WindowTextUtf8(widget("SpeedButton4")), "测试");
  EXPECT_EQ(WindowTextUtf8(widget("Label18")), form.Label18.caption());
  for (const char* name : {"mEdt5", "mEdt6"}) {
    SCOPED_TRACE(name);
    HWND edit = widget(name);
    EXPECT_EQ(remote::ClassName(edit), L"Edit");
    const LONG style = GetWindowLongW(edit, GWL_STYLE);
    EXPECT_FALSE(style & ES_PASSWORD);
    EXPECT_FALSE(style & ES_MULTILINE);
    EXPECT_TRUE(style & ES_AUTOHSCROLL) << "an address longer than the field can be typed";
    EXPECT_EQ(WindowTextUtf8(edit), "");
  }

  // Typed key by key, longer than the field is wide.
  const std::wstring typed = L"https://hc-ping.example/5f0c7e2a-9b1d-4c3e-8f00-0123456789ab?token=口令";
  HWND edit = widget("mEdt5");
  SetFocus(edit);
  for (wchar_t c : typed) SendMessageW(edit, WM_CHAR, c, 0);
  EXPECT_EQ(form.mEdt5.text(), remote::Utf8(typed));
  EXPECT_EQ(form.mEdt6.text(), "") << "only the field typed into";
  SendMessageW(edit, WM_CHAR, VK_BACK, 0);
  EXPECT_EQ(form.mEdt5.text(), remote::Utf8(typed.substr(0, typed.size() - 1)));

  form.mEdt6.setText("https://chat.example/hook?k=a'b");
  EXPECT_EQ(WindowTextUtf8(widget("mEdt6")), "https://chat.example/hook?k=a'b");
  EXPECT_EQ(form.mEdt6.text(), "https://chat.example/hook?k=a'b") << "no echo back into the model";
}

// The log backup's check box and the simple recovery model's button on the
// options page: the box shows the model and the user's click reaches it; the
// button only runs its hook (the handlers ask before anything is changed).
TEST_F(WinMainForm, LogBackupBoxAndSimpleRecoveryButtonOnTheOptionsPage) {
  HWND options = widget("TabSheet2");
  for (const char* name : {"Bevel5", "dxCheckEdit8", "Label19", "SpeedButton5", "Label20"}) {
    ASSERT_NE(widget(name), nullptr) << name;
    EXPECT_EQ(GetParent(widget(name)), options) << name;
  }
  EXPECT_EQ(WindowTextUtf8(widget("dxCheckEdit8")), "同时备份事务日志");
  EXPECT_EQ(WindowTextUtf8(widget("Label19")), form.Label19.caption());
  EXPECT_EQ(WindowTextUtf8(widget("SpeedButton5")), "改为简单恢复模式");
  EXPECT_EQ(WindowTextUtf8(widget("Label20")), form.Label20.caption());

  HWND backupLog = widget("dxCheckEdit8");
  EXPECT_EQ(SendMessageW(backupLog, BM_GETCHECK, 0, 0), BST_UNCHECKED);
  SendMessageW(backupLog, BM_CLICK, 0, 0);
  EXPECT_TRUE(form.dxCheckEdit8.checked());
  EXPECT_TRUE(form.dxCheckEdit7.checked()) << "only the box clicked";
  form.dxCheckEdit8.setChecked(false);
  EXPECT_EQ(SendMessageW(backupLog, BM_GETCHECK, 0, 0), BST_UNCHECKED);

  SendMessageW(widget("SpeedButton5"), BM_CLICK, 0, 0);
  EXPECT_EQ(form.calls, std::vector<std::string>{"SpeedButton5Click"});
  EXPECT_FALSE(form.dxCheckEdit8.checked());
}

// The tabs, in order, and the page each one shows.
TEST_F(WinMainForm, EachTabShowsItsOwnPage) {
  HWND tabs = widget("PageControl1");
  const char* pages[] = {"TabSheet1", "TabSheet2", "TabSheet3"};
  const char* captions[] = {"数据库的连接设置", "选项", "关于Vorda的其它产品"};
  ASSERT_EQ(TabCtrl_GetItemCount(tabs), 3);
  for (int tab = 0; tab < 3; ++tab) {
    SCOPED_TRACE(tab);
    wchar_t text[64] = {};
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = text;
    item.cchTextMax = 64;
    ASSERT_TRUE(TabCtrl_GetItem(tabs, tab, &item));
    EXPECT_EQ(remote::Utf8(text), captions[tab]);
    TabCtrl_SetCurSel(tabs, tab);
    for (int page = 0; page < 3; ++page)
      EXPECT_EQ((GetWindowLongW(widget(pages[page]), GWL_STYLE) & WS_VISIBLE) != 0, page == tab) << pages[page];
  }
}

TEST_F(WinMainForm, IsAFixedCentredWindowWithoutCloseBox) {
  HWND w = window->hwnd();
  EXPECT_EQ(remote::ClassName(w), L"TFrmMain");
  EXPECT_EQ(remote::Text(w), "Bakwyn[Vorda免费软件]");
  RECT client;
  GetClientRect(w, &client);
  EXPECT_EQ(client.right, 634);
  EXPECT_EQ(client.bottom, 344);
  const LONG style = GetWindowLongW(w, GWL_STYLE);
  EXPECT_TRUE(style & WS_MINIMIZEBOX);
  EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
  EXPECT_FALSE(style & WS_SYSMENU) << "no system menu, hence no close box";
  EXPECT_FALSE(style & WS_THICKFRAME);
  EXPECT_FALSE(style & WS_MAXIMIZEBOX);
  EXPECT_FALSE(IsWindowVisible(w));
  RECT frame;
  GetWindowRect(w, &frame);
  EXPECT_NEAR((frame.left + frame.right) / 2, GetSystemMetrics(SM_CXSCREEN) / 2, 1);
  EXPECT_NEAR((frame.top + frame.bottom) / 2, GetSystemMetrics(SM_CYSCREEN) / 2, 1);
  LOGFONTW font{};
  GetObjectW(reinterpret_cast<HFONT>(SendMessageW(widget("mEdt3"), WM_GETFONT, 0, 0)), sizeof font, &font);
  EXPECT_EQ(remote::Utf8(font.lfFaceName), "新宋体");
  EXPECT_EQ(font.lfHeight, -12);
}


TEST_F(WinMainForm, AppendLogFollowsTheNewestLineWithoutTakingTheFocus) {
  HWND pane = widget("mavMemo1");
  HWND other = widget("mEdt3");
  ShowWindow(window->hwnd(), SW_SHOW);
  Pump();
  for (int i = 0; i < 200; ++i) form.mavMemo1.addLine("line " + std::to_string(i));
  Pump();
  SetFocus(other);
  form.mavMemo1.addLine("visible");
  Pump();
  // A scheduled backup while the user types must not send the keys to the log.
  EXPECT_EQ(GetFocus(), other);
  MSG msg;
  EXPECT_FALSE(PeekMessageW(&msg, pane, WM_KEYDOWN, WM_KEYDOWN, PM_REMOVE)) << "no keys are made up";
  // The view shows the newest line.
  const int lines = static_cast<int>(SendMessageW(pane, EM_GETLINECOUNT, 0, 0));
  const int first = static_cast<int>(SendMessageW(pane, EM_GETFIRSTVISIBLELINE, 0, 0));
  EXPECT_GT(first, lines - 30) << first << " of " << lines;
  EXPECT_NE(paneText().find("visible\r\n"), std::string::npos);
}

TEST_F(WinMainForm, PaneKeepsEveryOneOfAHundredThousandLines) {
  constexpr int kLines = 100000;
  form.mavMemo1.clear();
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kLines; ++i) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "[26-12-10 07:05:%02d]: ", i % 60);
    form.mavMemo1.addLine(stamp + ("line " + std::to_string(i)));
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  RecordProperty("append_100000_seconds", std::to_string(seconds));
  std::printf("appending %d lines took %.2f s\n", kLines, seconds);

  HWND pane = widget("mavMemo1");
  // Every line ends with a line break, so the edit shows one empty line after them.
  EXPECT_EQ(SendMessageW(pane, EM_GETLINECOUNT, 0, 0), kLines + 1);
  const std::string text = paneText();
  EXPECT_EQ(text.rfind("[26-12-10 07:05:39]: line 99999\r\n"), text.size() - 33);
  EXPECT_EQ(text.find("[26-12-10 07:05:00]: line 0\r\n"), 0u);
  size_t lines = 0;
  for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2)) ++lines;
  EXPECT_EQ(lines, static_cast<size_t>(kLines));
}

struct BoxCall {
  HWND owner;
  std::string text, caption;
  UINT style;
};

struct MessageCase {
  const char* name;
  std::int32_t code;
  std::string text;          // the caller's
  bool shown;
  std::string expectedText;  // what the box shows
  UINT style;
  int pressed;               // the button the user presses
  int result;
};

TEST_F(WinMainForm, ShowMessageCodeShowsEachRowOfTheTable) {
  const MessageCase cases[] = {
      {"c0", 0, "ignored", true, "数据存储失败,请再试一次!", 16, IDOK, -1},
      {"c1", 1, "SQL数据库名称不存在!", true, "SQL数据库名称不存在!", 16, IDOK, -1},
      {"c1_empty", 1, "", true, "", 16, IDOK, -1},
      {"c1_hostile", 1, "a'b\"c];{x}\r\n\t", true, "a'b\"c];{x}\r\n\t", 16, IDOK, -1},
      {"c2", 2, "信息", true, "信息", 64, IDOK, -1},
      {"c3_yes", 3, "ignored", true, "数据还没有保存,确信要退出吗?", 68, IDYES, 6},
      {"c4_no", 4, "ignored", true, "数据还没有保存,确信要放弃吗?", 36, IDNO, 7},
      {"c5", 5, "ignored", true, "数据删除失败,请再试一次!", 16, IDOK, -1},
      {"c6", 6, "ignored", true, "数据查询失败,请再试一次!\r注:请尽量增加查询条件!", 16, IDOK, -1},
      {"c7", 7, "ignored", true, "没有找到符合条件的记录!", 64, IDOK, -1},
      {"c31_yes", 31, "确信要退出备份程序?", true, "确信要退出备份程序?", 36, IDYES, 6},
      {"c31_no", 31, "确信要退出备份程序?", true, "确信要退出备份程序?", 36, IDNO, 7},
      {"c32", 32, "q", true, "q", 292, IDNO, 7},
      {"c33", 33, "q", true, "q", 33, IDOK, 1},
      {"c34", 34, "q", true, "q", 289, IDCANCEL, 2},
      {"unknown_8", 8, "x", false, "", 0, IDOK, -1},
      {"unknown_30", 30, "x", false, "", 0, IDOK, -1},
      {"unknown_35", 35, "x", false, "", 0, IDOK, -1},
      {"unknown_negative", -1, "x", false, "", 0, IDOK, -1},
      {"unknown_min", INT_MIN, "x", false, "", 0, IDOK, -1},
      {"unknown_max", INT_MAX, "x", false, "", 0, IDOK, -1},
  };
  for (const MessageCase& c : cases) {
    std::vector<BoxCall> calls;
    window->messageBox = [&](HWND owner, const std::string& text, const std::string& caption, UINT style) {
      calls.push_back({owner, text, caption, style});
      return c.pressed;
    };
    EXPECT_EQ(window->ShowMessageCode(c.code, c.text), c.result) << c.name;
    ASSERT_EQ(calls.size(), c.shown ? 1u : 0u) << c.name;
    if (!c.shown) continue;
    EXPECT_EQ(calls[0].owner, window->hwnd()) << c.name;
    EXPECT_EQ(calls[0].caption, "注意") << c.name;
    EXPECT_EQ(calls[0].text, c.expectedText) << c.name;
    EXPECT_EQ(calls[0].style, c.style) << c.name;
  }
}

TEST_F(WinMainForm, RealMessageBoxIsAnsweredFromAnotherThread) {
  struct Row {
    std::int32_t code;
    const char* text;
    int press;
    int result;
    const char* shown;
  } rows[] = {
      {31, "确信要退出备份程序?", IDNO, 7, "确信要退出备份程序?"},
      {31, "确信要退出备份程序?", IDYES, 6, "确信要退出备份程序?"},
      {1, "无法联接", IDOK, -1, "无法联接"},
  };
  window->messageBox = SystemMessageBox();
  for (const Row& row : rows) {
    std::string seenText;
    bool pressed = false;
    std::thread answerer([&] {
      HWND box = remote::WaitFor(&remote::FindMessageBox, GetCurrentProcessId(), 20000);
      if (!box) return;
      seenText = remote::MessageBoxText(box);
      pressed = remote::PressMessageBoxButton(box, row.press);
    });
    const int result = window->ShowMessageCode(row.code, row.text);
    answerer.join();
    ASSERT_TRUE(pressed) << "no box with the caption 注意 appeared for code " << row.code;
    EXPECT_EQ(result, row.result);
    EXPECT_EQ(seenText, row.shown);
  }
}

TEST_F(WinMainForm, UserEditsReachTheModelAndProgramChangesReachTheWidgets) {
  // Edits: both directions, hostile text included.
  for (const char* name : {"mEdt3", "mEdt4", "mavBEdit2", "mEdt1"}) {
    auto* model = dynamic_cast<TdxInplaceTextEdit*>(form.find(name));
    ASSERT_NE(model, nullptr);
    model->setText("程序 a'b];{c}");
    EXPECT_EQ(WindowTextUtf8(widget(name)), "程序 a'b];{c}") << name;
    SetWindowTextUtf8(widget(name), "用户 \"x\";[y]");
    EXPECT_EQ(model->text(), "用户 \"x\";[y]") << name;
  }

  // Check boxes: a click checks the model and runs the change handler.
  for (int i = 0; i < 5; ++i) {
    const std::string name = "dxCheckEdit" + std::to_string(i + 1);
    form.calls.clear();
    SendMessageW(widget(name), BM_CLICK, 0, 0);
    EXPECT_TRUE(form.dxCheckEdits[static_cast<size_t>(i)]->checked()) << name;
    // The pairing rule ran: the paired editor follows the check box.
    HWND paired = widget(i < 4 ? "dxTimeEdit" + std::to_string(i + 1) : std::string("mavSpinEdit1"));
    EXPECT_TRUE(IsWindowEnabled(paired)) << name;
    form.dxCheckEdits[static_cast<size_t>(i)]->setChecked(false);
    EXPECT_EQ(SendMessageW(widget(name), BM_GETCHECK, 0, 0), BST_UNCHECKED) << name;
  }

  // Enabled state follows the model, for both windows of a two-part control.
  form.mavSpinEdit1.setEnabled(true);
  EXPECT_TRUE(IsWindowEnabled(widget("mavSpinEdit1")));
  EXPECT_TRUE(IsWindowEnabled(widget("mavSpinEdit1", true)));
  form.mavBEdit2.setEnabled(false);
  EXPECT_FALSE(IsWindowEnabled(widget("mavBEdit2", true)));
}

TEST_F(WinMainForm, SpinEditorStepsWithinItsLimitsAndTakesTypedDigits) {
  TmavSpinEdit& spin = form.mavSpinEdit1;
  spin.setEnabled(true);
  HWND edit = widget("mavSpinEdit1");
  EXPECT_EQ(WindowTextUtf8(edit), "3");
  EXPECT_TRUE(GetWindowLongW(edit, GWL_STYLE) & ES_RIGHT);
  RECT pair, edge;
  GetWindowRect(edit, &pair);
  GetWindowRect(widget("mavSpinEdit1", true), &edge);
  EXPECT_EQ(std::max(pair.right, edge.right) - pair.left, 35) << "edit and up-down together: " << pair.left << "," << pair.right << " " << edge.left << "," << edge.right;

  struct Step {
    double from;
    WPARAM key;
    double to;
  } steps[] = {{3, VK_UP, 4}, {3, VK_DOWN, 2}, {1, VK_DOWN, 1}, {999999, VK_UP, 999999}, {0, VK_UP, 1}};
  for (const Step& s : steps) {
    spin.setValue(s.from);
    SendMessageW(edit, WM_KEYDOWN, s.key, 0);
    EXPECT_EQ(spin.value(), s.to) << s.from << (s.key == VK_UP ? " up" : " down");
    EXPECT_EQ(WindowTextUtf8(edit), SpinText(s.to));
  }
  SetWindowTextUtf8(edit, "42");
  EXPECT_EQ(spin.value(), 42);
  EXPECT_EQ(spin.mIntValue(), 42);
}

TEST_F(WinMainForm, TimeEditorKeepsItsMask) {
  TmavTimeEdit& time = *form.dxTimeEdits[0];
  time.setEnabled(true);
  HWND edit = widget("dxTimeEdit1");
  auto type = [&](const std::wstring& keys) {
    for (wchar_t k : keys) SendMessageW(edit, WM_CHAR, k, 0);
  };
  struct Case {
    const char* name;
    int caret;
    std::wstring keys;
    std::string text;
    std::string dText;
  } cases[] = {
      {"digits skip the colon", 0, L"1234", "12:34", "12:34"},
      {"letters and signs are refused", 0, L"a;]'{", "00:00", "00:00"},
      {"backspace leaves a blank", 5, L"\b", "00:0 ", "00:00"},
      {"backspace over the colon", 3, L"\b", "0 :00", "00:00"},
      {"overwrite in the middle", 3, L"5", "00:50", "00:50"},
      {"nothing after the end", 5, L"9", "00:00", "00:00"},
      // Only times of the day can be typed.
      {"last minute of the day", 0, L"2359", "23:59", "23:59"},
      {"hour 25 refused at its second digit", 0, L"2500", "20:00", "20:00"},
      {"hour 3x refused at its first digit", 0, L"3", "00:00", "00:00"},
      {"minute 6x refused", 3, L"6", "00:00", "00:00"},
      {"minute 75: the 7 is refused, the 5 taken", 3, L"75", "00:50", "00:50"},
  };
  for (const Case& c : cases) {
    time.setText("00:00");
    SendMessageW(edit, EM_SETSEL, static_cast<WPARAM>(c.caret), c.caret);
    type(c.keys);
    EXPECT_EQ(time.text(), c.text) << c.name;
    EXPECT_EQ(WindowTextUtf8(edit), c.text) << c.name;
    EXPECT_EQ(time.dText(), c.dText) << c.name;
  }
  // A first hour digit 2 before a second one above 3 makes hour 20.
  time.setText("09:30");
  SendMessageW(edit, EM_SETSEL, 0, 0);
  type(L"2");
  EXPECT_EQ(time.text(), "20:30");

  // Text set from outside is held to the day too: the widget keeps its own.
  for (const wchar_t* refused : {L"25:00", L"12:75", L"7:5", L"abcde"}) {
    time.setText("08:15");
    SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(refused));
    EXPECT_EQ(WindowTextUtf8(edit), "08:15");
    EXPECT_EQ(time.text(), "08:15");
  }
  SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"21:45"));
  EXPECT_EQ(time.text(), "21:45");
}

TEST_F(WinMainForm, DaysEditorHoldsToItsRange) {
  TmavSpinEdit& spin = form.mavSpinEdit1;
  spin.setEnabled(true);
  HWND edit = widget("mavSpinEdit1");
  EXPECT_EQ(SendMessageW(edit, EM_GETLIMITTEXT, 0, 0), 6) << "9999999999 cannot be typed";
  SendMessageW(edit, EM_SETSEL, 0, -1);
  SendMessageW(edit, WM_CHAR, VK_BACK, 0);
  // Typed digit by digit into the narrow field: six go in, the seventh does not.
  for (wchar_t c : std::wstring(L"1234567")) SendMessageW(edit, WM_CHAR, c, 0);
  EXPECT_EQ(WindowTextUtf8(edit), "123456");
  EXPECT_EQ(spin.value(), 123456);
  SetWindowTextUtf8(edit, "0");
  EXPECT_EQ(spin.value(), 0);
  // Leaving the field brings what was typed into the range.
  SendMessageW(window->hwnd(), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(edit), EN_KILLFOCUS), reinterpret_cast<LPARAM>(edit));
  EXPECT_EQ(spin.value(), 1);
  EXPECT_EQ(WindowTextUtf8(edit), "1");
}

TEST_F(WinMainForm, EventsRunTheirHooks) {
  struct Case {
    const char* name;
    std::function<void()> act;
    std::vector<std::string> calls;
  };
  HWND w = window->hwnd();
  auto menu = [&](const char* item) { SendMessageW(w, WM_COMMAND, MAKEWPARAM(FrmMainControlId(item), 0), 0); };
  const std::string address = "http://www.example.com/";
  const Case cases[] = {
      {"save", [&] { report("BitBtn1", BN_CLICKED); }, {"BitBtn1Click"}},
      {"exit", [&] { report("BitBtn2", BN_CLICKED); }, {"BitBtn2Click"}},
      {"serve", [&] { report("BitBtn3", BN_CLICKED); }, {"BitBtn3Click"}},
      {"refresh", [&] { report("SpeedButton1", BN_CLICKED); }, {"SpeedButton1Click"}},
      {"browse", [&] { report("mavBEdit2", BN_CLICKED, true); }, {"mavBEdit2ButtonClick"}},
      {"link", [&] { report("Label10", STN_CLICKED); }, {"Label10Click:" + address}},
      {"second link", [&] { report("Label11", STN_CLICKED); }, {"Label10Click:" + address}},
      {"menu N4", [&] { menu("N4"); }, {"N4Click"}},
      {"menu N1", [&] { menu("N1"); }, {"N1Click"}},
      {"menu N2", [&] { menu("N2"); }, {"N2Click"}},
      {"menu N8", [&] { menu("N8"); }, {"N8Click"}},
      {"test the backup's ping address", [&] { report("SpeedButton3", BN_CLICKED); }, {"SpeedButton3Click"}},
      {"test the restore test's ping address", [&] { report("SpeedButton4", BN_CLICKED); }, {"SpeedButton4Click"}},
      {"switch to the simple recovery model", [&] { report("SpeedButton5", BN_CLICKED); }, {"SpeedButton5Click"}},
      {"minimise", [&] { SendMessageW(w, WM_SYSCOMMAND, SC_MINIMIZE, 0); }, {"WMSysCommand:61472"}},
      {"close refused", [&] { SendMessageW(w, WM_CLOSE, 0, 0); }, {"FormCloseQuery"}},
      {"shown", [&] { ShowWindow(w, SW_SHOW); }, {"FormShow"}},
  };
  for (const Case& c : cases) {
    form.calls.clear();
    c.act();
    EXPECT_EQ(form.calls, c.calls) << c.name;
  }
  EXPECT_TRUE(IsWindow(w)) << "a refused close keeps the window";
  EXPECT_FALSE(IsIconic(w)) << "a handled minimise gets no default handling";
  EXPECT_EQ(WindowTextUtf8(widget("Label10")), address);

  form.calls.clear();
  form.Timer1.setEnabled(true);
  WaitForFirstTick(form.calls);
  EXPECT_EQ(form.calls, std::vector<std::string>{"Timer1Timer"});
  form.Timer1.setEnabled(false);
}

TEST_F(WinMainForm, DropDownShowsTheListBelowTheFieldAndClosesWhenFocusLeaves) {
  HWND w = window->hwnd();
  ShowWindow(w, SW_SHOW);
  Pump();
  form.mavTree1.addTopNode({"master"});
  form.mavTree1.addTopNode({"数据库'];{x}"});
  form.calls.clear();
  report("mEdt1", BN_CLICKED, true);
  EXPECT_EQ(form.calls, (std::vector<std::string>{"mEdt1InitPopup", "mEdt1Popup"}));
  EXPECT_TRUE(form.mEdt1.droppedDown());
  HWND panel = widget("Panel7");
  ASSERT_TRUE(IsWindowVisible(panel));
  RECT edit, box;
  GetWindowRect(widget("mEdt1"), &edit);
  GetWindowRect(panel, &box);
  EXPECT_EQ(box.left, edit.left);
  EXPECT_EQ(box.top, edit.bottom);
  EXPECT_EQ(box.right - box.left, 158);
  EXPECT_EQ(box.bottom - box.top, 137);

  HWND list = widget("mavTree1");
  EXPECT_EQ(GetFocus(), list);
  ASSERT_EQ(ListView_GetItemCount(list), 2);
  wchar_t text[64] = {};
  ListView_GetItemText(list, 1, 0, text, 64);
  EXPECT_EQ(remote::Utf8(text), "数据库'];{x}");
  // Choosing the second row focuses it in the model; a click runs the hook.
  ListView_SetItemState(list, 1, LVIS_FOCUSED | LVIS_SELECTED, LVIS_FOCUSED | LVIS_SELECTED);
  ASSERT_NE(form.mavTree1.focusedNode(), nullptr);
  EXPECT_EQ(form.mavTree1.focusedNode()->values[0], "数据库'];{x}");
  NMITEMACTIVATE click{};
  click.hdr = {list, static_cast<UINT_PTR>(GetDlgCtrlID(list)), static_cast<UINT>(NM_CLICK)};
  click.iItem = 1;
  form.calls.clear();
  SendMessageW(GetParent(list), WM_NOTIFY, click.hdr.idFrom, reinterpret_cast<LPARAM>(&click));
  EXPECT_EQ(form.calls, std::vector<std::string>{"mavTree1Click"});

  SetFocus(widget("mEdt3"));
  EXPECT_FALSE(form.mEdt1.droppedDown());
  EXPECT_FALSE(IsWindowVisible(panel));
}

TEST_F(WinMainForm, MinimisingGoesToTheTrayWhileThatIsOn) {
  HWND w = window->hwnd();
  form.handleSysCommand = false;  // default handling of the minimise command
  form.rmTrayIcon1.setVisible(false);
  ShowWindow(w, SW_SHOW);
  SendMessageW(w, WM_SYSCOMMAND, SC_MINIMIZE, 0);
  EXPECT_FALSE(IsWindowVisible(w));
  EXPECT_TRUE(form.rmTrayIcon1.visible());

  form.rmTrayIcon1.minimizeToTray = false;
  form.rmTrayIcon1.setVisible(false);
  ShowWindow(w, SW_RESTORE);
  SendMessageW(w, WM_SYSCOMMAND, SC_MINIMIZE, 0);
  EXPECT_TRUE(IsWindowVisible(w));
  EXPECT_TRUE(IsIconic(w));
  EXPECT_FALSE(form.rmTrayIcon1.visible());
}

TEST_F(WinMainForm, TrayIconIsKnownByWindowAndIdAndComesBackAfterATaskbarRestart) {
  auto iconExists = [&] {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = window->hwnd();
    data.uID = window->trayView().id();
    return Shell_NotifyIconW(NIM_MODIFY, &data) != FALSE;
  };
  ASSERT_TRUE(iconExists());
  // Explorer forgot it (as after a restart); the broadcast brings it back.
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof data;
  data.hWnd = window->hwnd();
  data.uID = window->trayView().id();
  ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &data));
  EXPECT_FALSE(iconExists());
  SendMessageW(window->hwnd(), RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
  EXPECT_TRUE(iconExists());
  form.rmTrayIcon1.setVisible(false);
  EXPECT_FALSE(iconExists());
  // A hidden icon stays hidden on the broadcast.
  SendMessageW(window->hwnd(), RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
  EXPECT_FALSE(iconExists());
}

// The real tray menu, read while it is open: every item of the model in its
// order, under its control ID, greyed while the model says so.
TEST_F(WinMainForm, TrayMenuHoldsTheRestoreTestItemAfterTheBackupsItems) {
  struct Item {
    UINT id;
    std::string text;
    UINT state;
  };
  for (const bool enabled : {true, false}) {
    SCOPED_TRACE(enabled ? "enabled" : "disabled");
    form.N8.setEnabled(enabled);
    std::vector<Item> items;
    bool found = false;
    std::thread watcher([&] {
      const ULONGLONG end = GetTickCount64() + 20000;
      while (GetTickCount64() < end) {
        HWND menu = FindWindowW(L"#32768", nullptr);
        if (menu && IsWindowVisible(menu)) {
          HMENU handle = reinterpret_cast<HMENU>(SendMessageW(menu, MN_GETHMENU, 0, 0));
          for (int i = 0; handle && i < GetMenuItemCount(handle); ++i) {
            wchar_t text[128] = {};
            GetMenuStringW(handle, static_cast<UINT>(i), text, 128, MF_BYPOSITION);
            items.push_back({GetMenuItemID(handle, i), remote::Utf8(text), GetMenuState(handle, static_cast<UINT>(i), MF_BYPOSITION)});
          }
          found = handle != nullptr;
          PostMessageW(menu, WM_KEYDOWN, VK_ESCAPE, 0);
          return;
        }
        Sleep(20);
      }
    });
    PopupMenuAt(form.PopupMenu1, window->hwnd(), POINT{300, 200});
    watcher.join();
    ASSERT_TRUE(found) << "no menu appeared";
    ASSERT_EQ(items.size(), form.PopupMenu1.items.size());
    for (size_t i = 0; i < items.size(); ++i) {
      const MenuItem& model = *form.PopupMenu1.items[i];
      EXPECT_EQ(items[i].id, static_cast<UINT>(FrmMainControlId(model.name()))) << model.name();
      if (model.caption() != "-") EXPECT_EQ(items[i].text, model.caption()) << model.name();
    }
    EXPECT_EQ(items[5].text, "取消正在进行的备份");
    EXPECT_EQ(items[6].text, "立即测试恢复");
    EXPECT_EQ(items[6].id, static_cast<UINT>(FrmMainControlId("N8")));
    EXPECT_EQ((items[6].state & MF_GRAYED) != 0, !enabled);
    EXPECT_EQ(items[7].text, "恢复数据库...");
    EXPECT_EQ(items[7].id, static_cast<UINT>(FrmMainControlId("N9")));
    EXPECT_EQ(items[7].state & MF_GRAYED, 0u) << "the restore window opens also while a backup runs";
    EXPECT_EQ(items[8].text, "中止退出");
  }
}

TEST_F(WinMainForm, RightClickOnTheTrayIconPopsTheMenuUpAtThePoint) {
  const POINT at{300, 200};
  RECT menuRect{};
  bool found = false;
  std::thread watcher([&] {
    const ULONGLONG end = GetTickCount64() + 20000;
    while (GetTickCount64() < end) {
      HWND menu = FindWindowW(L"#32768", nullptr);
      if (menu && IsWindowVisible(menu)) {
        GetWindowRect(menu, &menuRect);
        found = true;
        // The menu's loop reads this thread-independent keyboard message and closes.
        PostMessageW(menu, WM_KEYDOWN, VK_ESCAPE, 0);
        return;
      }
      Sleep(20);
    }
  });
  if (window->trayView().versionFour()) {
    SendMessageW(window->hwnd(), window->trayView().callbackMessage(), MAKEWPARAM(at.x, at.y), MAKELPARAM(WM_CONTEXTMENU, 1));
  } else {
    SetCursorPos(at.x, at.y);
    SendMessageW(window->hwnd(), window->trayView().callbackMessage(), 1, WM_RBUTTONUP);
  }
  watcher.join();
  ASSERT_TRUE(found) << "no menu appeared";
  EXPECT_EQ(menuRect.left, at.x);
  EXPECT_EQ(menuRect.top, at.y);
}

// ---- Layout at the system's DPI ---------------------------------------------------

// The width of a control's text in the control's own font.
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

// The height of a control's text broken into lines `width` pixels wide, as a
// static control breaks them.
int WrappedHeightOf(HWND control, const std::string& text, int width) {
  std::wstring wide = remote::Wide(text);
  HDC dc = GetDC(control);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
  RECT rc{0, 0, width, 0};
  DrawTextW(dc, wide.data(), static_cast<int>(wide.size()), &rc, DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS);
  SelectObject(dc, old);
  ReleaseDC(control, dc);
  return rc.bottom - rc.top;
}

std::vector<HWND> ChildrenOf(HWND parent) {
  std::vector<HWND> out;
  for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) out.push_back(child);
  return out;
}

std::string NameOf(HWND control) { return std::string(FrmMainComponentName(GetDlgCtrlID(control))); }

// The process is DPI-aware as the program's manifest makes Bakwyn.exe; the
// pages are then laid out in the system's DPI, with its check marks and
// scroll bars.
TEST(WinLayout, EveryPageHoldsItsControlsAndTheOptionsPageItsTexts) {
  SetProcessDPIAware();
  HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
  ReleaseDC(nullptr, screen);
  std::printf("laid out at %d DPI\n", dpi);
  if (const char* asked = std::getenv("BAKWYN_LAYOUT_DPI")) {
    ASSERT_EQ(dpi, std::atoi(asked)) << "the DPI asked for did not apply";
  }
  RecordingForm form;
  MainWindow window(form);
  ShowWindow(window.hwnd(), SW_SHOW);
  Pump();
  for (const char* page : {"TabSheet1", "TabSheet2", "TabSheet3"}) {
    HWND sheet = remote::FindControl(window.hwnd(), page);
    ASSERT_NE(sheet, nullptr) << page;
    RECT inside;
    GetClientRect(sheet, &inside);
    for (HWND child : ChildrenOf(sheet)) {
      if (!(GetWindowLongW(child, GWL_STYLE) & WS_VISIBLE)) continue;
      RECT at;
      GetWindowRect(child, &at);
      MapWindowPoints(nullptr, sheet, reinterpret_cast<POINT*>(&at), 2);
      EXPECT_TRUE(at.left >= 0 && at.top >= 0 && at.right <= inside.right && at.bottom <= inside.bottom)
          << page << " " << NameOf(child) << ": " << at.left << "," << at.top << " " << at.right << "," << at.bottom
          << " in " << inside.right << "x" << inside.bottom;
    }
  }

  // On the options page no control covers another, and each shows its whole
  // text: the captions beside their check marks, the widest item of each pick
  // list beside its drop-down button, a button's caption inside its edges, a
  // text of more than one line in as many lines as its width makes (the
  // address fields scroll their text).
  HWND options = remote::FindControl(window.hwnd(), "TabSheet2");
  const std::vector<HWND> controls = ChildrenOf(options);
  ASSERT_EQ(controls.size(), 21u);
  {
    // How much of the page is left under its lowest control, for whoever
    // adds the next one.
    RECT inside, lowest{};
    GetClientRect(options, &inside);
    for (HWND control : controls) {
      RECT at;
      GetWindowRect(control, &at);
      MapWindowPoints(nullptr, options, reinterpret_cast<POINT*>(&at), 2);
      if (at.bottom > lowest.bottom) lowest = at;
    }
    std::printf("options page %ldx%ld, its lowest control ends at %ld\n", inside.right, inside.bottom, lowest.bottom);
  }
  for (size_t i = 0; i < controls.size(); ++i) {
    RECT a;
    GetWindowRect(controls[i], &a);
    for (size_t j = i + 1; j < controls.size(); ++j) {
      RECT b, both;
      GetWindowRect(controls[j], &b);
      EXPECT_FALSE(IntersectRect(&both, &a, &b)) << NameOf(controls[i]) << " covers " << NameOf(controls[j]);
    }
    const std::wstring kind = remote::ClassName(controls[i]);
    int needed = 0;
    if (kind == L"ComboBox") {
      for (const std::string& item : dynamic_cast<TdxPickEdit&>(*form.find(NameOf(controls[i]))).items())
        needed = std::max(needed, TextWidthOf(controls[i], item));
      needed += GetSystemMetrics(SM_CXVSCROLL);
    } else if (kind == L"Button" && (GetWindowLongW(controls[i], GWL_STYLE) & BS_TYPEMASK) == BS_PUSHBUTTON) {
      needed = TextWidthOf(controls[i], WindowTextUtf8(controls[i])) + 4 * GetSystemMetrics(SM_CXEDGE);
    } else if (kind == L"Button") {
      needed = GetSystemMetrics(SM_CXMENUCHECK) + TextWidthOf(controls[i], WindowTextUtf8(controls[i]));
    } else if (kind == L"Edit") {
      continue;  // an address scrolls within its field
    } else if (kind == L"Static" && a.bottom - a.top > WrappedHeightOf(controls[i], "X", 10000)) {
      EXPECT_LE(WrappedHeightOf(controls[i], WindowTextUtf8(controls[i]), a.right - a.left), a.bottom - a.top)
          << NameOf(controls[i]);
      continue;
    } else {
      needed = TextWidthOf(controls[i], WindowTextUtf8(controls[i]));
    }
    EXPECT_LE(needed, a.right - a.left) << NameOf(controls[i]);
  }
}

// The same at 144 DPI (150 %): the system's DPI is read when a process starts,
// so this test runs the one above in a process of its own with the prefix's
// LogPixels at 144, and puts the value back whatever happens.
TEST(WinLayout, At144Dpi) {
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
                         L"\" --gtest_color=no --gtest_filter=WinLayout.EveryPageHoldsItsControlsAndTheOptionsPageItsTexts";
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
