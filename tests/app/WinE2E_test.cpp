// Bakwyn.exe as a whole, driven from a second process the way a user would
// drive it: first start, tray modes, exit, a second start, saved settings that
// back up at their minute, and a new user's first save with its error paths.
// The program talks to the stand-in server; backups go to drive T:, which the
// Wine prefix maps to <build>/testdrive and the stand-in is told about.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/ExeHarness.h"

namespace bakwyn {
namespace {

using namespace bakwyn::exe;

const std::string kDaysInvalid = "自动删除的天数必须在1到999999之间!";
const std::string kConnectFailed =
    "无法联接到你所指定的SQL服务器.\r请检查你输入的各个参数的正确性!\r可能原因:\r1.  指定电脑上并没有安装SQL数据库;\r"
    "2.  SQL服务器还没有启动.\r3.  或者SA密码不正确.\r";

using WinE2E = ProgramTest;

TEST_F(WinE2E, FirstStartWaitsInTheTrayAndRewritesItsAutostartPath) {
  // A path from an older installation, which every start corrects.
  WriteString(kRunKey, kRunValue, "C:\\Program Files\\旧版本\\Bakwyn.exe");
  app().start();

  EXPECT_FALSE(app().visible());
  // In a prefix just made, the shell's notification area may come up after
  // the program: the icon is there once it does (the program adds it again
  // when the taskbar is created).
  EXPECT_TRUE(WaitUntil([&] { return TrayIconShown(app().main()); }, 10000));
  // The log is read from the window, once it is shown.
  app().menu("N1");
  EXPECT_EQ(app().log(), std::vector<std::string>{kHeader});
  // Quoted: the path may hold blanks.
  EXPECT_EQ(ReadString(kRunKey, kRunValue), "\"" + Utf8(remote::ExePath()) + "\"");
  // Nothing stored, nothing armed: no backup, not even a login.
  EXPECT_TRUE(standIn_.record().logins.empty());
  EXPECT_EQ(StoredValueCount(), 0);
}

TEST_F(WinE2E, TrayModesSwitchAndExitNoKeepsTheMode) {
  App& a = app();
  a.start();
  ASSERT_TRUE(TrayIconShown(a.main()));

  // The settings window replaces the tray icon.
  a.menu("N1");
  EXPECT_TRUE(a.visible());
  EXPECT_FALSE(TrayIconShown(a.main()));
  EXPECT_EQ(a.text("mEdt2"), ComputerName());
  // Opening the window again keeps what the user typed; the server is always this computer.
  a.type("mEdt2", "ELSEWHERE");
  a.type("mEdt3", "备份员");
  a.type("mavBEdit2", "T:\\别处");
  PostMessageW(a.main(), WM_SYSCOMMAND, SC_MINIMIZE, 0);
  a.idle();
  EXPECT_FALSE(a.visible());
  EXPECT_TRUE(TrayIconShown(a.main()));

  // A double click on the icon, as the shell reports it (version 4).
  PostMessageW(a.main(), WM_APP + 1, MAKEWPARAM(10, 10), MAKELPARAM(WM_LBUTTONDBLCLK, 1));
  a.idle();
  EXPECT_TRUE(a.visible());
  EXPECT_FALSE(TrayIconShown(a.main()));
  EXPECT_EQ(a.text("mEdt2"), ComputerName());
  EXPECT_EQ(a.text("mEdt3"), "备份员");
  EXPECT_EQ(a.text("mavBEdit2"), "T:\\别处");

  // No keeps the settings window...
  a.click("BitBtn2");
  auto box = a.answer(IDNO);
  ASSERT_TRUE(box);
  EXPECT_EQ(box->text, "确信要退出备份程序?");
  EXPECT_FALSE(a.process().ended(0));
  EXPECT_TRUE(a.visible());
  EXPECT_FALSE(TrayIconShown(a.main()));

  // ...and the tray, after "伺服运行".
  a.click("BitBtn3");
  a.idle();
  EXPECT_FALSE(a.visible());
  EXPECT_TRUE(TrayIconShown(a.main()));
  a.menu("N2");
  box = a.answer(IDNO);
  ASSERT_TRUE(box);
  EXPECT_EQ(box->text, "确信要退出备份程序?");
  EXPECT_FALSE(a.process().ended(0));
  EXPECT_FALSE(a.visible());
  EXPECT_TRUE(TrayIconShown(a.main()));
  a.menu("N1");
  EXPECT_TRUE(a.visible());
  EXPECT_FALSE(TrayIconShown(a.main()));
  a.click("BitBtn3");
  a.idle();

  // Yes ends the program. (Whether it took its icon along cannot be seen from
  // here: Wine's tray drops the icons of windows that are gone by itself.)
  ASSERT_TRUE(a.quit());
  EXPECT_EQ(a.process().exitCode(), 0u);
}

TEST_F(WinE2E, SecondStartShowsTheRunningWindowAndEnds) {
  App& a = app();
  a.start();
  ASSERT_FALSE(a.visible());

  Process second;
  ASSERT_TRUE(second.start(remote::ExePath()));
  ASSERT_TRUE(second.ended(20000)) << "the second start kept running";
  EXPECT_EQ(second.exitCode(), 0u);
  EXPECT_TRUE(WaitUntil([&] { return a.visible(); }, 20000));
  a.idle();
  EXPECT_FALSE(TrayIconShown(a.main()));
  EXPECT_EQ(MainWindowCount(), 1);
  EXPECT_FALSE(a.process().ended(0));
}

TEST_F(WinE2E, SavedSettingsAreLoadedAppliedAndBackUpAtTheirMinute) {
  const std::string user = "备份员", password = "旧的明文'pw", database = "账务 [2026]'";
  standIn_.setUsers({{user, password}});
  standIn_.setDatabases({"master", database});
  const Minute minute = ComingMinute(10);
  // The store's own format; the password in clear, as older versions kept it.
  StoreConnection(ComputerName(), user, password, database, "T:\\e2e\\已存");
  Store("dxCheckEdit1", "CHECKED", "0");
  StoreSlot(2, minute.hhnn());
  Store("dxCheckEdit3", "CHECKED", "0");
  Store("dxTimeEdit3", "TEXT", "23:59");
  Store("dxCheckEdit5", "CHECKED", "0");
  Store("mavSpinEdit1", "VALUE", "7");

  App& a = app();
  a.start();
  EXPECT_FALSE(a.visible());
  // Opening the window keeps the saved login and folder.
  a.menu("N1");
  EXPECT_TRUE(a.visible());
  EXPECT_EQ(a.log().front(), kHeader);
  EXPECT_EQ(a.text("mEdt2"), ComputerName());
  EXPECT_EQ(a.text("mEdt3"), user);
  EXPECT_EQ(a.text("mEdt1"), database);
  EXPECT_EQ(a.text("mavBEdit2"), "T:\\e2e\\已存\\") << "applied with its separator";
  EXPECT_TRUE(a.checked("dxCheckEdit2"));
  EXPECT_TRUE(a.enabled("dxTimeEdit2"));
  EXPECT_EQ(a.text("dxTimeEdit2"), minute.hhnn());
  EXPECT_FALSE(a.checked("dxCheckEdit3"));
  EXPECT_FALSE(a.enabled("dxTimeEdit3"));
  EXPECT_EQ(a.text("dxTimeEdit3"), "23:59");
  EXPECT_FALSE(a.enabled("dxTimeEdit1"));
  EXPECT_EQ(a.text("mavSpinEdit1"), "7");
  EXPECT_FALSE(a.enabled("mavSpinEdit1"));

  const std::string path = "T:\\e2e\\已存\\" + minute.fileName();
  ASSERT_TRUE(WaitForBackupFile(minute, Wide(path))) << path;
  const std::vector<std::string> lines = app().waitForLog(3);
  EXPECT_EQ(Texts(lines), (std::vector<std::string>{"(no stamp) " + kHeader, kStarted, Succeeded(path)}));
  for (size_t i = 1; i < lines.size(); ++i) {
    const auto line = ParseStamped(lines[i]);
    ASSERT_TRUE(line);
    EXPECT_EQ(line->hhnn, minute.hhnn()) << "not run at its minute";
  }
  const test::StandInRecord record = standIn_.record();
  ASSERT_EQ(record.logins.size(), 1u);
  EXPECT_EQ(record.logins[0].user, user);
  EXPECT_EQ(record.logins[0].password, password);
  EXPECT_TRUE(record.logins[0].accepted);
  // Verified, as by default: the backup with checksums, then read back.
  ASSERT_EQ(record.statements.size(), 3u);
  ExpectVerifiedBackup(record.statements, 0, database, path, 1);
  EXPECT_TRUE(RecordedAsVerified(path, 1)) << ReadWholeFile(std::filesystem::path(Wide("T:\\e2e\\已存\\" + kVerifiedRecord)));
}

// A backup the server keeps silent: the window goes on answering (each of the
// driver's readings and clicks is measured and printed, the longest wait a
// figure of the README), and the tray menu's cancel ends it, logged as
// cancelled and never as a success.
TEST_F(WinE2E, TheWindowAnswersWhileTheServerKeepsABackupSilentAndTheTrayCancelsIt) {
  standIn_.setUsers({{"sa", "pw"}});
  standIn_.setDatabases({"master", "shop"});
  test::StandInFault silent;
  silent.kind = "stall";
  silent.afterPercent = 40;
  silent.seconds = 300;
  standIn_.arm(silent);
  const Minute minute = ComingMinute(10);
  StoreConnection(ComputerName(), "sa", "pw", "shop", "T:\\e2e\\静默");
  StoreSlot(1, minute.hhnn());

  App& a = app();
  a.start();
  a.menu("N1");
  ASSERT_FALSE(a.waitForLogText(kStarted, 120000).empty()) << "the backup did not start";
  ASSERT_TRUE(WaitUntil([&] { return !standIn_.record().statements.empty(); }, 30000));

  // Twenty seconds of a user at the window while the server says nothing.
  DWORD longest = 0;
  int rounds = 0;
  const ULONGLONG until = GetTickCount64() + 20000;
  while (GetTickCount64() < until) {
    const ULONGLONG before = GetTickCount64();
    DWORD_PTR answer = 0;
    ASSERT_TRUE(SendMessageTimeoutW(a.control("mEdt3"), WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &answer))
        << "the window did not answer within 5 s while the backup ran";
    a.click("dxCheckEdit6");
    ASSERT_TRUE(SendMessageTimeoutW(a.control("dxCheckEdit6"), BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 5000, &answer));
    longest = std::max(longest, static_cast<DWORD>(GetTickCount64() - before));
    ++rounds;
    Sleep(200);
  }
  std::printf("window answered %d rounds during a silent backup, the longest in %lu ms\n", rounds,
              static_cast<unsigned long>(longest));
  EXPECT_EQ(a.text("mEdt3"), "sa");

  a.menu("N7");
  const std::vector<std::string> lines = a.waitForLogText("数据库备份已取消", 60000);
  ASSERT_FALSE(lines.empty()) << "the cancel was not logged";
  for (const std::string& line : a.log()) EXPECT_EQ(line.find("数据库备份成功"), std::string::npos) << line;
  const test::StandInRecord record = standIn_.record();
  ASSERT_EQ(record.statements.size(), 1u);
  EXPECT_TRUE(record.statements[0].cancelled) << "the server was asked to stop the statement";
}

TEST_F(WinE2E, NewUserSavesOnceAndTheBackupRunsAndSurvivesARestart) {
  const std::string user = "备份员", password = "p;w'{x}", folder = "T:\\e2e\\新用户 'a'";
  const std::vector<std::string> databases = {"master", "库存'] {x};", "shop"};
  standIn_.setUsers({{user, password}});
  standIn_.setDatabases(databases);

  App& a = app();
  a.start();
  EXPECT_FALSE(a.visible());
  a.menu("N1");
  ASSERT_TRUE(a.visible());
  const Minute minute = ComingMinute(20);

  a.type("mEdt3", user);
  a.type("mEdt4", password);
  a.type("mavBEdit2", folder);
  // The drop-down fills from the server; a click on a row picks it.
  a.click("mEdt1", true);
  a.idle();
  EXPECT_TRUE(IsWindowVisible(a.control("Panel7")));
  // The server lists them by name.
  EXPECT_EQ(a.listRows(), (std::vector<std::string>{"master", "shop", databases[1]}));
  a.clickListRow(databases[1]);
  EXPECT_EQ(a.text("mEdt1"), databases[1]);
  EXPECT_FALSE(IsWindowVisible(a.control("Panel7")));

  a.click("dxCheckEdit1");
  a.idle();
  EXPECT_TRUE(a.enabled("dxTimeEdit1"));
  a.typeTime("dxTimeEdit1", minute.hhnn());
  EXPECT_EQ(a.text("dxTimeEdit1"), minute.hhnn());

  a.click("BitBtn1");
  a.idle();
  EXPECT_FALSE(a.boxShown());
  const std::vector<std::string> saved = a.log();
  ASSERT_EQ(saved.size(), 2u) << ::testing::PrintToString(saved);
  for (const auto& [line, text] : {std::pair{saved[0], "数据库连接成功!"}, std::pair{saved[1], "保存成功!"}}) {
    const auto parsed = ParseStamped(line);
    ASSERT_TRUE(parsed) << line;
    EXPECT_EQ(parsed->text, text);
    EXPECT_EQ(parsed->date, Today());
  }

  // The registry, read back on its own; the password not in clear.
  EXPECT_EQ(Stored("mEdt2", "TEXT"), ComputerName());
  EXPECT_EQ(Stored("mEdt3", "TEXT"), user);
  EXPECT_EQ(Stored("mEdt1", "TEXT"), databases[1]);
  EXPECT_EQ(Stored("mavBEdit2", "TEXT"), folder);
  EXPECT_EQ(Stored("dxCheckEdit1", "CHECKED"), "-1");
  EXPECT_EQ(Stored("dxTimeEdit1", "TEXT"), minute.hhnn());
  const std::string storedPassword = Stored("mEdt4", "TEXT").value_or("");
  EXPECT_FALSE(storedPassword.empty());
  EXPECT_EQ(storedPassword.find(password), std::string::npos) << storedPassword;

  const std::string path = folder + "\\" + minute.fileName();
  ASSERT_TRUE(WaitForBackupFile(minute, Wide(path))) << path;
  const std::vector<std::string> lines = app().waitForLog(4);
  EXPECT_EQ(Texts(lines), (std::vector<std::string>{"数据库连接成功!", "保存成功!", kStarted, Succeeded(path)}));
  test::StandInRecord record = standIn_.record();
  ASSERT_GE(record.statements.size(), 3u);
  ExpectVerifiedBackup(record.statements, record.statements.size() - 3, databases[1], path, 1);
  EXPECT_TRUE(RecordedAsVerified(path, 1));

  // Ended and started again: the settings are back, and armed: start-up
  // clears the slots' date stamps, so a start within the slot's minute runs it
  // again, with the password read back from its protected form.
  const size_t statementsBefore = record.statements.size();
  ASSERT_TRUE(a.quit());
  a.start();
  EXPECT_FALSE(a.visible());
  a.menu("N1");
  EXPECT_EQ(a.text("mEdt3"), user);
  EXPECT_EQ(a.text("mEdt1"), databases[1]);
  EXPECT_EQ(a.text("mavBEdit2"), folder + "\\");
  EXPECT_TRUE(a.checked("dxCheckEdit1"));
  EXPECT_TRUE(a.enabled("dxTimeEdit1"));
  EXPECT_EQ(a.text("dxTimeEdit1"), minute.hhnn());
  EXPECT_EQ(Texts(app().waitForLog(3)), (std::vector<std::string>{"(no stamp) " + kHeader, kStarted, Succeeded(path)}));
  record = standIn_.record();
  // The same minute's file again: the set appended to it is the one verified.
  ASSERT_EQ(record.statements.size(), statementsBefore + 3);
  ExpectVerifiedBackup(record.statements, statementsBefore, databases[1], path, 2);
  EXPECT_TRUE(RecordedAsVerified(path, 2));
  EXPECT_EQ(record.logins.back().password, password);
  EXPECT_TRUE(record.logins.back().accepted);
}

struct SaveErrorCase {
  const char* name;
  std::string user, password, database, folder;
  bool serverUp;
  std::string message;
  std::vector<std::string> log;  // texts after the save
  std::string days = "";         // typed with cleanup on; empty: cleanup off
};

std::string Repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

TEST_F(WinE2E, EachFailedSaveShowsItsBoxAndStoresNothing) {
  // An installed server that cannot be reached, rather than none at all.
  const InstalledSqlServer installed;
  standIn_.setUsers({{"sa", "pw"}});
  standIn_.setDatabases({"master", "shop"});
  const SaveErrorCase cases[] = {
      {"stopped server", "sa", "pw", "shop", "T:\\e2e\\x", false, kConnectFailed, {}},
      {"wrong password", "sa", "nope';{}", "shop", "T:\\e2e\\x", true, kConnectFailed, {}},
      {"database not listed", "sa", "pw", "无此库'];{x}", "T:\\e2e\\x", true, "SQL数据库名称无此库'];{x}不存在!",
       {"数据库连接成功!"}},
      {"long database name not listed", "sa", "pw", Repeat("库", 300), "T:\\e2e\\x", true,
       "SQL数据库名称" + Repeat("库", 300) + "不存在!", {"数据库连接成功!"}},
      {"blank user", " \t ", "pw", "shop", "T:\\e2e\\x", true, "SQL数据库用户名不存在!\r通常为:sa", {}},
      {"blank database", "sa", "pw", "  ", "T:\\e2e\\x", true, "SQL数据库名称不存在!", {}},
      {"blank folder", "sa", "pw", "shop", " ", true, "请指定SQL数据库备份目录!", {"数据库连接成功!"}},
      {"blank folder, stopped server", "sa", "pw", "shop", "", false, kConnectFailed, {}},
      {"days zero", "sa", "pw", "shop", "T:\\e2e\\x", true, kDaysInvalid, {"数据库连接成功!"}, "0"},
      // The days are checked after the folder, and so after the connection.
      {"days zero, blank folder", "sa", "pw", "shop", " ", true, "请指定SQL数据库备份目录!", {"数据库连接成功!"}, "0"},
      {"days zero, stopped server", "sa", "pw", "shop", "T:\\e2e\\x", false, kConnectFailed, {}, "0"},
  };
  App& a = app();
  a.start();
  a.menu("N1");
  ASSERT_TRUE(a.visible());
  for (const SaveErrorCase& c : cases) {
    SCOPED_TRACE(c.name);
    standIn_.listen(c.serverUp);
    a.type("mEdt3", c.user);
    a.type("mEdt4", c.password);
    a.type("mEdt1", c.database);
    a.type("mavBEdit2", c.folder);
    if (a.checked("dxCheckEdit5") == c.days.empty()) a.click("dxCheckEdit5");
    a.idle();
    if (!c.days.empty()) a.type("mavSpinEdit1", c.days);
    // Something for the save to clear.
    SendMessageW(a.control("mavMemo1"), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"earlier\r\n"));
    a.click("BitBtn1");
    const auto box = a.answer(IDOK);
    ASSERT_TRUE(box) << "no message box";
    EXPECT_EQ(box->text, c.message);
    EXPECT_TRUE(box->okOnly);
    if (c.message == kConnectFailed) {
      // The box names the possible causes; the log what the driver or the server said.
      const std::vector<std::string> logged = Texts(a.log());
      ASSERT_EQ(logged.size(), 1u);
      EXPECT_EQ(logged[0].rfind("数据库连接失败! 原因: ", 0), 0u) << logged[0];
      EXPECT_GT(logged[0].size(), std::string("数据库连接失败! 原因: ").size()) << "a cause is named";
    } else {
      EXPECT_EQ(Texts(a.log()), c.log);
    }
    EXPECT_EQ(StoredValueCount(), 0);
  }
  standIn_.listen(true);
}

TEST_F(WinE2E, RefreshWithAWrongPasswordEmptiesTheListSilently) {
  standIn_.setUsers({{"sa", "pw"}});
  standIn_.setDatabases({"master", "shop", "库存"});
  App& a = app();
  a.start();
  a.menu("N1");
  a.type("mEdt3", "sa");
  a.type("mEdt4", "pw");
  a.click("SpeedButton1");
  a.idle();
  ASSERT_EQ(a.listRows(), (std::vector<std::string>{"master", "shop", "库存"}));
  const std::vector<std::string> before = a.log();

  a.type("mEdt4", "wrong");
  a.click("SpeedButton1");
  a.idle();
  EXPECT_TRUE(a.listRows().empty());
  EXPECT_FALSE(a.boxShown());
  EXPECT_EQ(a.log(), before);
  const test::StandInRecord record = standIn_.record();
  ASSERT_EQ(record.logins.size(), 2u);
  EXPECT_FALSE(record.logins[1].accepted);
}

}  // namespace
}  // namespace bakwyn
