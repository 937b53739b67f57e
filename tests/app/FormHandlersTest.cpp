// The window's handlers over the control model, the in-memory registry and a
// scripted server session: start-up, applying, the tray modes, exit, saving,
// the database list and the folder browser.
#include "app/Backups.h"
#include "app/FormHandlers.h"

#include "app/StoredSchedule.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <chrono>
#include <tuple>
#include <optional>
#include <string>
#include <vector>

#include "engine/BackupEngine.h"
#include "engine/VerifiedBackups.h"
#include "settings/Autostart.h"
#include "form/StoredForm.h"
#include "settings/MemoryRegistry.h"
#include "tests/support/EngineFakes.h"
#include "tests/support/TestProtector.h"

namespace bakwyn::app {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// The window's model with the names the old tests used for its stored controls.
struct Form : form::SettingsForm {
  form::TmavTree* tree = &mavTree1;
  form::TmEdt *server = &mEdt2, *user = &mEdt3, *password = &mEdt4;
  form::TmavBEdit* folder = &mavBEdit2;
  form::TdxCheckEdit* checks[4] = {dxCheckEdits[0], dxCheckEdits[1], dxCheckEdits[2], dxCheckEdits[3]};
  form::TmavTimeEdit* times[4] = {dxTimeEdits[0], dxTimeEdits[1], dxTimeEdits[2], dxTimeEdits[3]};
  form::TmavPopEdit* database = &mEdt1;
  form::TdxCheckEdit* cleanup = &dxCheckEdit5;
  form::TmavSpinEdit* days = &mavSpinEdit1;
  form::SettingsForm& owner = *this;

  // The log pane, a line each.
  std::vector<std::string> log() const {
    std::vector<std::string> lines;
    const std::string& all = mavMemo1.text();
    for (size_t from = 0, at; (at = all.find("\r\n", from)) != std::string::npos; from = at + 2)
      lines.push_back(all.substr(from, at - from));
    return lines;
  }
};

class FakeShell final : public FormShell {
 public:
  int showMessageCode(int code, const std::string& text) override {
    messages.push_back(std::to_string(code) + ":" + text);
    return answer;
  }
  void focus(const form::Control& control) override { focused = control.name(); }
  std::string computerName() override { return "OFFICE1"; }
  std::string programPath() override { return "C:\\Program Files\\Bakwyn\\Bakwyn.exe"; }
  void showWindow() override { windowShown = true; }
  void hideWindow() override { windowShown = false; }
  void requestClose() override { ++closeRequests; }
  void openAddress(const std::string& address) override { opened.push_back(address); }
  void openFile(const std::string& path) override { opened.push_back(path); }
  std::optional<std::string> browseForFolder(const std::string& title) override {
    browseTitle = title;
    return folderChoice;
  }
  bool elevated() override { return isElevated; }
  bool restartElevated() override {
    ++restarts;
    return restartStarts;
  }
  void quit() override { ++quits; }
  std::vector<settings::SqlInstance> sqlInstances() override { return instances; }
  std::optional<size_t> choose(const form::Control& anchor, const std::vector<std::string>& items) override {
    chooser = anchor.name();
    offered = items;
    return choice;
  }
  bool fixedDisk(char drive) override { return drive == 'D' && dIsFixed; }
  ServiceState serviceState() override {
    ++serviceQueries;
    return service;
  }
  ServiceChange switchService(bool install) override {
    switches.push_back(install);
    if (switchResult.done) service = install ? ServiceState::Running : ServiceState::NotInstalled;
    return switchResult;
  }
  bool signalService() override {
    ++signals;
    return signalReaches;
  }
  std::string registerEventSource() override {
    ++registrations;
    return registrationFailure;
  }

  std::vector<std::string> messages, opened;
  std::string focused, browseTitle;
  std::optional<std::string> folderChoice;
  bool windowShown = false;
  int answer = -1;
  int closeRequests = 0;
  bool isElevated = true;
  bool restartStarts = true;
  int restarts = 0;
  int quits = 0;
  // Only the default instance, as on most servers; D: a disk of this computer.
  std::vector<settings::SqlInstance> instances{{"MSSQLSERVER", "MSSQL16.MSSQLSERVER", "C:\\SQL\\Backup"}};
  bool dIsFixed = true;
  std::string chooser;
  std::vector<std::string> offered;
  std::optional<size_t> choice;
  ServiceState service = ServiceState::NotInstalled;
  int serviceQueries = 0;
  std::vector<bool> switches;
  ServiceChange switchResult{true, ""};
  int signals = 0;
  bool signalReaches = true;
  int registrations = 0;
  std::string registrationFailure;
};

// The pings' HTTP: every POST recorded, answered by `answer`.
struct PingTransport final : HttpTransport {
  HttpAnswer post(const std::string& url, const std::string& body, std::chrono::milliseconds) override {
    std::lock_guard lock(mutex);
    posts.push_back(url + " " + body);
    return answer;
  }
  std::vector<std::string> all() {
    std::lock_guard lock(mutex);
    return posts;
  }
  std::mutex mutex;
  std::vector<std::string> posts;
  HttpAnswer answer{true, 200, {}};
};

using testing::FakeSession;
using testing::TestProtector;

const std::string kKeyBase = std::string(settings::StateRoot) + "FrmMain\\";
const std::string kRunKey(settings::RunKey);

// Counts how often the schedule is armed: the timer switched on.
struct TimerWatch final : form::ControlView {
  void showEnabled(bool on) override { arms += on ? 1 : 0; }
  int arms = 0;
};

// The window's model with the handlers wired to it, and everything they reach.
struct Rig {
  Form form;
  FakeSession session;
  settings::MemoryRegistry registry;
  settings::MemoryRegistry own;  // this user's own, where the machine's cannot be written
  TestProtector protector;
  FakeShell shell;
  testing::FakeClock clock{{2026, 12, 10, 7, 5, 9, 0}};  // of the log's time stamps; a test may move it
  testing::MemoryFiles files;
  InlineWorker worker;  // the backups run at once, step by step with the test
  // Made as the program makes them; the backups' session is the window's here.
  PingTransport http;
  Backups backups{clock, session, files, registry, &own, "C:\\ProgramData\\Bakwyn\\Bakwyn.log",
                  "C:\\Users\\u\\AppData\\Local\\Bakwyn\\Bakwyn.log", worker, &form.rmTrayIcon1,
                  [this] { return shell.computerName(); }, nullptr, &http};
  BackupSettings& settings = backups.settings;
  FormHandlers handlers{form, backups.runtime, session, registry, protector, shell, &own, &*backups.pinger};
  TimerWatch timer;

  Rig() {
    form.Timer1.attach(&timer);
    timer.arms = 0;
    // The daily health checks are tested with the runtime's other observers.
    backups.runtime.setHealthCheck(nullptr);
  }
  ~Rig() { form.Timer1.attach(nullptr); }
  std::vector<std::string> log() const { return form.log(); }
};

class Handlers : public ::testing::Test, protected Rig {
 protected:
  // What a user fills in before saving.
  void fillValidForm() {
    form.onShow();
    form.password->setText("p;w}d");
    form.database->setText("shop");
    form.folder->setText("T:\\备份");
    form.checks[0]->setChecked(true);
    form.times[0]->setText("02:00");
  }
};

TEST_F(Handlers, FirstStartWithEmptyRegistryArmsNothing) {
  handlers.FormCreate();
  EXPECT_THAT(log(), ElementsAre("备份记录:"));
    EXPECT_EQ(timer.arms, 0) << "no database saved: the schedule stays idle";
  EXPECT_EQ(registry.value(kRunKey, "Bakwyn[Vorda免费软件]"), "\"C:\\Program Files\\Bakwyn\\Bakwyn.exe\"")
      << "quoted: unquoted, a path with blanks would start C:\\Program.exe";
  EXPECT_TRUE(registry.hasKey(kKeyBase + "mavSpinEdit1"));
}

TEST_F(Handlers, StartUpLoadsAndAppliesSavedSettingsAndClearsStamps) {
  registry.setValue(kKeyBase + "mEdt2", "TEXT", "OFFICE1");
  registry.setValue(kKeyBase + "mEdt3", "TEXT", " sa ");
  registry.setValue(kKeyBase + "mEdt1", "TEXT", "shop");
  registry.setValue(kKeyBase + "mavBEdit2", "TEXT", "T:\\备份");
  registry.setValue(kKeyBase + "dxCheckEdit2", "CHECKED", "-1");
  registry.setValue(kKeyBase + "dxTimeEdit2", "TEXT", "21:05");
  registry.setValue(kKeyBase + "dxCheckEdit5", "CHECKED", "-1");
  registry.setValue(kKeyBase + "mavSpinEdit1", "VALUE", "7");
  settings.slots[1].lastRunDate = "20261209";

  handlers.FormCreate();

  EXPECT_EQ(timer.arms, 1);
  EXPECT_EQ(settings.user, "sa") << "trimmed, as the save checked it";
  EXPECT_EQ(settings.database, "shop");
  EXPECT_EQ(settings.backupDir, "T:\\备份\\");
  EXPECT_EQ(form.folder->text(), "T:\\备份\\") << "the separator is written back into the field";
  EXPECT_FALSE(settings.slots[0].enabled);
  EXPECT_TRUE(settings.slots[1].enabled);
  EXPECT_EQ(settings.slots[1].time, "21:05");
  EXPECT_EQ(settings.slots[1].lastRunDate, "");
  EXPECT_TRUE(form.times[1]->enabled()) << "checking the box enables its editor";
  EXPECT_FALSE(form.times[0]->enabled());
  EXPECT_TRUE(settings.cleanupEnabled);
  EXPECT_TRUE(form.days->enabled());
  EXPECT_EQ(settings.retentionDays, 7);
}

// Whatever is wrong at start-up, the stored schedule is armed first and the
// problem is then named in the log: nothing waits for a person.
TEST_F(Handlers, StartUpArmsTheScheduleThenNamesWhatWentWrong) {
  struct Case {
    const char* name;
    std::vector<std::array<const char*, 3>> stored;  // control, value name, text
    bool failRunKey;
    std::vector<std::string> log;  // after "备份记录:"
    std::function<void(const Form&, const BackupSettings&)> check;
  };
  const Case cases[] = {
      {"Run key that cannot be written", {}, true,
       {"[26-12-10 07:05:09]: 无法登记开机自动启动: Failed to set data for 'Bakwyn[Vorda免费软件]'"}, {}},
      {"check state that is no boolean, later controls still load",
       {{"dxCheckEdit5", "CHECKED", "yes"}, {"mavSpinEdit1", "VALUE", "9"}}, false,
       {"[26-12-10 07:05:09]: 无法读取存储的设置: dxCheckEdit5 \"yes\",已忽略"},
       [](const Form& f, const BackupSettings& s) {
         EXPECT_FALSE(s.cleanupEnabled);
         EXPECT_EQ(f.days->value(), 9);
       }},
      // What is kept never shrinks: a number beyond the range is held to the
      // most days, and anything else that cannot be read holds cleanup off.
      {"days beyond any integer", {{"dxCheckEdit5", "CHECKED", "-1"}, {"mavSpinEdit1", "VALUE", "9999999999"}}, false, {},
       [](const Form& f, const BackupSettings& s) {
         EXPECT_EQ(s.retentionDays, 999999);
         EXPECT_TRUE(s.cleanupEnabled);
         EXPECT_EQ(f.days->value(), 999999);
       }},
      {"days in exponent form", {{"dxCheckEdit5", "CHECKED", "-1"}, {"mavSpinEdit1", "VALUE", "1E20"}}, false, {},
       [](const Form&, const BackupSettings& s) {
         EXPECT_EQ(s.retentionDays, 999999);
         EXPECT_TRUE(s.cleanupEnabled);
       }},
      {"days of text, cleanup on: held off until a save",
       {{"dxCheckEdit5", "CHECKED", "-1"}, {"mavSpinEdit1", "VALUE", "abc"}}, false,
       {"[26-12-10 07:05:09]: 无法读取存储的设置: mavSpinEdit1 \"abc\",已忽略",
        "[26-12-10 07:05:09]: 自动删除已停止: 存储的保留天数无法读取,重新保存设置之前不会删除任何备份"},
       [](const Form& f, const BackupSettings& s) {
         EXPECT_FALSE(s.cleanupEnabled);
         EXPECT_TRUE(f.cleanup->checked()) << "the window shows what was stored";
       }},
      {"days of text, cleanup off: nothing more to say", {{"mavSpinEdit1", "VALUE", "-1E20"}}, false,
       {"[26-12-10 07:05:09]: 无法读取存储的设置: mavSpinEdit1 \"-1E20\",已忽略"},
       [](const Form&, const BackupSettings& s) { EXPECT_FALSE(s.cleanupEnabled); }},
      {"password protected elsewhere is never quoted", {{"mEdt4", "TEXT", "dpapi:@@@"}}, false,
       {"[26-12-10 07:05:09]: 无法读取存储的设置: mEdt4,已忽略"}, {}},
      {"time beyond the day: slot not armed",
       {{"dxCheckEdit1", "CHECKED", "-1"}, {"dxTimeEdit1", "TEXT", "25:00"}}, false,
       {"[26-12-10 07:05:09]: 备份时间一: 存储的时间 \"25:00\" 无效,此备份时间不会运行"},
       [](const Form& f, const BackupSettings& s) {
         EXPECT_FALSE(s.slots[0].enabled);
         EXPECT_FALSE(f.checks[0]->checked()) << "the window shows what is armed";
         EXPECT_FALSE(f.times[0]->enabled());
         EXPECT_EQ(f.times[0]->text(), "00:00");
         EXPECT_TRUE(s.slots[1].enabled) << "the other slots are armed";
       }},
      {"time of another shape", {{"dxCheckEdit3", "CHECKED", "-1"}, {"dxTimeEdit3", "TEXT", "7:5"}}, false,
       {"[26-12-10 07:05:09]: 备份时间三: 存储的时间 \"7:5\" 无效,此备份时间不会运行"},
       [](const Form&, const BackupSettings& s) { EXPECT_FALSE(s.slots[2].enabled); }},
      {"several at once, in creation order, the Run key last",
       {{"dxTimeEdit4", "TEXT", "99:99"}, {"dxCheckEdit5", "CHECKED", "x"}}, true,
       {"[26-12-10 07:05:09]: 备份时间四: 存储的时间 \"99:99\" 无效,此备份时间不会运行", "[26-12-10 07:05:09]: 无法读取存储的设置: dxCheckEdit5 \"x\",已忽略",
        "[26-12-10 07:05:09]: 无法登记开机自动启动: Failed to set data for 'Bakwyn[Vorda免费软件]'"},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig r;
    r.registry.setValue(kKeyBase + "mEdt1", "TEXT", "shop");
    r.registry.setValue(kKeyBase + "dxCheckEdit2", "CHECKED", "-1");
    for (const auto& [control, name, text] : c.stored) r.registry.setValue(kKeyBase + control, name, text);
    if (c.failRunKey) r.registry.failKey(kRunKey);
    r.handlers.FormCreate();
    EXPECT_EQ(r.timer.arms, 1) << "armed";
    EXPECT_EQ(r.settings.database, "shop");
    EXPECT_THAT(r.shell.messages, IsEmpty()) << "no box";
    std::vector<std::string> want{"备份记录:"};
    want.insert(want.end(), c.log.begin(), c.log.end());
    EXPECT_EQ(r.log(), want);
    if (c.check) c.check(r.form, r.settings);
  }
}

TEST_F(Handlers, RunValueIsWrittenOnlyWhenMissingOrDifferent) {
  const std::string quoted = "\"C:\\Program Files\\Bakwyn\\Bakwyn.exe\"";
  // A user without write access, after an administrator registered the program.
  registry.setValue(kRunKey, "Bakwyn[Vorda免费软件]", quoted);
  registry.setReadOnly(true);
  handlers.FormCreate();
  EXPECT_THAT(log(), ElementsAre("备份记录:")) << "nothing to write, nothing to report";

  // An older unquoted value of the same path is replaced.
  registry.setReadOnly(false);
  registry.setValue(kRunKey, "Bakwyn[Vorda免费软件]", "C:\\Program Files\\Bakwyn\\Bakwyn.exe");
  handlers.FormCreate();
  EXPECT_EQ(registry.value(kRunKey, "Bakwyn[Vorda免费软件]"), quoted);
}

TEST_F(Handlers, FormShowFillsOnlyEmptyLoginAndFolder) {
  struct Case {
    const char* user;
    const char* folder;
    const char* wantUser;
    const char* wantFolder;
  } cases[] = {
      {"", "", "sa", "D:\\数据库自动备份目录"},
      {"  ", "\t", "sa", "D:\\数据库自动备份目录"},
      {"backup_op", "E:\\备份\\", "backup_op", "E:\\备份\\"},
  };
  for (const Case& c : cases) {
    form.server->setText("OLDNAME");
    form.user->setText(c.user);
    form.folder->setText(c.folder);
    form.onShow();
    EXPECT_EQ(form.server->text(), "OFFICE1");
    EXPECT_EQ(form.user->text(), c.wantUser);
    EXPECT_EQ(form.folder->text(), c.wantFolder);
  }
  EXPECT_EQ(handlers.computerName(), "OFFICE1");
}

TEST_F(Handlers, ApplyingTwiceKeepsStamps) {
  fillValidForm();
  handlers.Action1Execute();
  settings.slots[0].lastRunDate = "20261210";
  form.times[0]->setText("23:00");
  handlers.Action1Execute();
  EXPECT_EQ(settings.slots[0].time, "23:00");
  EXPECT_EQ(settings.slots[0].lastRunDate, "20261210");
  EXPECT_EQ(timer.arms, 2);
}

TEST_F(Handlers, ApplyTurnsBlanksInTimesIntoZerosAndClampsDays) {
  fillValidForm();
  form.times[2]->setText(" 8: 5");
  form.days->setValue(0);
  handlers.Action1Execute();
  EXPECT_EQ(settings.slots[2].time, "08:05");
  EXPECT_EQ(settings.retentionDays, 1);
}

TEST_F(Handlers, TrayModesAndExit) {
  auto mode = [&] {
    const bool serving = form.rmTrayIcon1.visible() && form.rmTrayIcon1.minimizeToTray && !shell.windowShown;
    const bool settings = !form.rmTrayIcon1.visible() && !form.rmTrayIcon1.minimizeToTray && shell.windowShown;
    return serving ? "serving" : settings ? "settings" : "neither";
  };
  EXPECT_STREQ(mode(), "serving") << "the program starts in the tray";
  form.N1.onClick();
  EXPECT_STREQ(mode(), "settings");
  EXPECT_TRUE(form.onSysCommand(61472));
  EXPECT_STREQ(mode(), "serving");
  EXPECT_FALSE(form.onSysCommand(61728)) << "restore keeps its default handling";
  form.N1.onClick();
  form.BitBtn3.onClick();
  EXPECT_STREQ(mode(), "serving");

  form.BitBtn2.onClick();
  form.N2.onClick();
  EXPECT_EQ(shell.closeRequests, 2);
  shell.answer = 7;
  EXPECT_FALSE(form.onCloseQuery());
  shell.answer = 6;
  EXPECT_TRUE(form.onCloseQuery());
  EXPECT_THAT(shell.messages, ElementsAre("31:确信要退出备份程序?", "31:确信要退出备份程序?"));
}

TEST_F(Handlers, WebLinksOpenTheirAddress) {
  form.N4.onClick();
  form.Label10.onClick(form.Label10);
  form.Label11.onClick(form.Label11);
  EXPECT_THAT(shell.opened,
              ElementsAre("http://www.example.com/", "http://www.example.com/", "http://www.example.com/"));
}

TEST_F(Handlers, SuccessfulSaveStoresAppliesAndLogsTwoLines) {
  form.mavMemo1.addLine("old line");
  fillValidForm();
  form.user->setText(" sa ");
  form.database->setText(" shop\t");
  form.password->setText(" p;w}d ");
  form.BitBtn1.onClick();

  EXPECT_THAT(shell.messages, IsEmpty());
  EXPECT_THAT(log(), ElementsAre("[26-12-10 07:05:09]: 数据库连接成功!", "[26-12-10 07:05:09]: 保存成功!"));
  EXPECT_THAT(session.opens(), ElementsAre("sa| p;w}d |OFFICE1")) << "the login is trimmed, the password is not";
  // What the save proved is what runs.
  EXPECT_EQ(settings.database, "shop");
  EXPECT_EQ(settings.user, "sa");
  EXPECT_EQ(settings.password, " p;w}d ");
  EXPECT_EQ(settings.server, "OFFICE1");
  EXPECT_EQ(settings.backupDir, "T:\\备份\\");
  EXPECT_TRUE(settings.slots[0].enabled);
  EXPECT_EQ(registry.value(kKeyBase + "mEdt1", "TEXT"), " shop\t") << "the field is stored as it stands";
  EXPECT_EQ(registry.value(kKeyBase + "dxTimeEdit1", "TEXT"), "02:00");
  // Stored before the separator was appended: the field showed it without.
  EXPECT_EQ(registry.value(kKeyBase + "mavBEdit2", "TEXT"), "T:\\备份");
  const auto stored = registry.value(kKeyBase + "mEdt4", "TEXT");
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->find("p;w}d"), std::string::npos) << "the password is not stored in clear";
}

// An administrator's save registers the program as the event log's source;
// a registration that fails is said, and the save stands.
TEST_F(Handlers, AnAdministratorsSaveRegistersTheEventSource) {
  fillValidForm();
  form.BitBtn1.onClick();
  EXPECT_EQ(shell.registrations, 1);
  shell.registrationFailure = "拒绝访问。";
  form.BitBtn1.onClick();
  EXPECT_EQ(shell.registrations, 2);
  EXPECT_EQ(log().back(), "[26-12-10 07:05:09]: 无法注册事件日志的来源: 拒绝访问。");
  shell.isElevated = false;
  registry.setReadOnly(true);
  form.BitBtn1.onClick();
  EXPECT_EQ(shell.registrations, 2) << "no save, no registration";
}

// "测试" beside each address: one ping to what the field holds, its answer in a
// box once the runtime's thread hears of it; a field that holds no address is
// said so without a ping.
TEST_F(Handlers, TheTestButtonsSendOnePingAndShowItsAnswer) {
  form.onShow();
  form.mEdt5.setText(" https://hc.example.net/p/tok ");
  form.SpeedButton3.onClick();
  EXPECT_FALSE(form.SpeedButton3.enabled()) << "until the answer comes";
  const auto answered = [&] {
    for (int i = 0; i < 300 && shell.messages.empty(); ++i) {
      backups.runtime.tick();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return !shell.messages.empty();
  };
  ASSERT_TRUE(answered());
  EXPECT_THAT(http.all(), ElementsAre(::testing::StartsWith("https://hc.example.net/p/tok ")));
  EXPECT_THAT(shell.messages, ElementsAre(::testing::StartsWith("2:通知地址测试成功: ")));
  EXPECT_TRUE(form.SpeedButton3.enabled());

  shell.messages.clear();
  http.answer = {true, 404, {}};
  form.mEdt6.setText("http://127.0.0.1:9/x");
  form.SpeedButton4.onClick();
  ASSERT_TRUE(answered());
  EXPECT_EQ(http.all().size(), 2u) << "a test is tried once";
  EXPECT_THAT(shell.messages, ElementsAre(::testing::StartsWith("1:通知地址测试失败: ")));

  for (const char* typed : {"", "  ", "hc.example.net/p", "ftp://x/y"}) {
    shell.messages.clear();
    form.mEdt5.setText(typed);
    form.SpeedButton3.onClick();
    EXPECT_EQ(shell.messages.size(), 1u) << typed;
    EXPECT_EQ(shell.focused, "mEdt5");
  }
  EXPECT_EQ(http.all().size(), 2u) << "nothing sent for those";
}

// The two ways out of a log that grows: each explained and asked before it acts.
TEST_F(Handlers, TheLogBackupsAndTheSimpleModelAreAskedForFirst) {
  form.onShow();
  shell.answer = 7;  // No
  form.dxCheckEdit8.setChecked(true);
  ASSERT_EQ(shell.messages.size(), 1u);
  EXPECT_THAT(shell.messages[0], ::testing::HasSubstr(".trn"));
  EXPECT_FALSE(form.dxCheckEdit8.checked()) << "declined";
  shell.answer = 6;  // Yes
  form.dxCheckEdit8.setChecked(true);
  EXPECT_TRUE(form.dxCheckEdit8.checked());
  form.dxCheckEdit8.setChecked(false);
  EXPECT_EQ(shell.messages.size(), 2u) << "turning it off asks nothing";
  // Stored on: loading it asks nothing either.
  registry.setValue(std::string(settings::StatusKey), "BackupLog", "1");
  registry.setValue(kKeyBase + "mEdt1", "TEXT", "shop");
  handlers.FormCreate();
  EXPECT_TRUE(form.dxCheckEdit8.checked());
  EXPECT_EQ(shell.messages.size(), 2u);

  shell.messages.clear();
  form.database->setText("sh]op");
  shell.answer = 7;
  form.SpeedButton5.onClick();
  ASSERT_EQ(shell.messages.size(), 1u);
  EXPECT_THAT(shell.messages[0], ::testing::HasSubstr("两次备份之间"));
  EXPECT_THAT(session.statements, ::testing::Not(::testing::Contains(::testing::HasSubstr("ALTER DATABASE"))));
  shell.answer = 6;
  form.SpeedButton5.onClick();
  EXPECT_EQ(session.statements.back(), "ALTER DATABASE [sh]]op] SET RECOVERY SIMPLE");
  EXPECT_EQ(log().back(), "[26-12-10 07:05:09]: 已把数据库 sh]op 改为简单恢复模式");
  session.failExecute = true;
  form.SpeedButton5.onClick();
  EXPECT_THAT(log().back(), ::testing::HasSubstr("无法把数据库 sh]op 改为简单恢复模式: 3013 "));
  EXPECT_THAT(shell.messages.back(), ::testing::StartsWith("1:无法改为简单恢复模式"));
}

// A save runs the health checks on what it stored: their problems in the log
// and a balloon, never a box between the save and the user.
TEST_F(Handlers, ASaveShowsWhatTheHealthChecksFound) {
  struct Balloons final : form::ControlView {
    void showBalloon(const std::string& title, const std::string&) override { shown.push_back(title); }
    std::vector<std::string> shown;
  } balloons;
  form.rmTrayIcon1.attach(&balloons);
  HealthReport report;
  report.reached = true;
  report.findings = {{"log", "警告: 日志会一直增长", "事务日志会占满磁盘"}};
  std::string checkedDatabase;
  handlers.setHealthCheck([&](const BackupSettings& s) {
    checkedDatabase = s.database;
    return report;
  });
  fillValidForm();
  form.BitBtn1.onClick();
  EXPECT_EQ(checkedDatabase, "shop") << "what was just saved";
  EXPECT_THAT(shell.messages, IsEmpty());
  EXPECT_THAT(log(), ::testing::Contains("[26-12-10 07:05:09]: 警告: 日志会一直增长"));
  EXPECT_THAT(balloons.shown, ElementsAre("事务日志会占满磁盘"));
  // Found no more at the next save: resolved, and no box.
  report.findings.clear();
  shell.messages.clear();
  form.BitBtn1.onClick();
  EXPECT_THAT(shell.messages, IsEmpty());
  EXPECT_THAT(log().back(), ::testing::StartsWith("[26-12-10 07:05:09]: 已解决: "));
  form.rmTrayIcon1.attach(nullptr);
}

TEST_F(Handlers, SaveRefusesTimesAndDaysThatCouldNeverRun) {
  struct Case {
    const char* name;
    std::function<void(Form&)> edit;
    const char* message;
    const char* focused;
  } cases[] = {
      {"hour beyond the day", [](Form& f) { f.times[1]->setText("25:00"); },
       "1:备份时间二的时间无效,请输入00:00到23:59之间的时间!", "dxTimeEdit2"},
      {"minute beyond the hour", [](Form& f) { f.times[3]->setText("12:75"); },
       "1:备份时间四的时间无效,请输入00:00到23:59之间的时间!", "dxTimeEdit4"},
      {"days below the range", [](Form& f) { f.days->setValue(0); }, "1:自动删除的天数必须在1到999999之间!",
       "mavSpinEdit1"},
      {"days above the range", [](Form& f) { f.days->setValue(9999999999.0); },
       "1:自动删除的天数必须在1到999999之间!", "mavSpinEdit1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig r;
    auto [f, reg, sh, s] = std::tie(r.form, r.registry, r.shell, r.settings);
    f.onShow();
    f.database->setText("shop");
    f.folder->setText("T:\\b");
    c.edit(f);
    f.BitBtn1.onClick();
    EXPECT_THAT(sh.messages, ElementsAre(c.message));
    EXPECT_EQ(sh.focused, c.focused);
    EXPECT_THAT(reg.keys(), IsEmpty());
    EXPECT_EQ(r.timer.arms, 0);
  }
  // The range's ends are saved.
  fillValidForm();
  form.times[0]->setText("23:59");
  form.days->setValue(999999);
  form.BitBtn1.onClick();
  EXPECT_THAT(shell.messages, IsEmpty());
  EXPECT_EQ(registry.value(kKeyBase + "mavSpinEdit1", "VALUE"), "999999");
}

TEST_F(Handlers, SaveWithoutAdministratorRightsOffersARestartWithThem) {
  const std::string offer =
      "31:保存设置需要管理员权限。\r是否以管理员身份重新启动本程序?\r"
      "重新启动后会打开设置界面,请在其中再次输入设置并保存。";
  struct Case {
    const char* name;
    int answer;
    bool restartStarts;
    int restarts;
    int quits;
  } cases[] = {
      {"yes, and the restart starts: this one ends", 6, true, 1, 1},
      {"yes, but the user declines the rights: this one goes on", 6, false, 1, 0},
      {"no", 7, true, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig r;
    auto [f, reg, sh, s] = std::tie(r.form, r.registry, r.shell, r.settings);
    reg.setReadOnly(true);
    sh.isElevated = false;
    sh.answer = c.answer;
    sh.restartStarts = c.restartStarts;
    f.onShow();
    f.database->setText("shop");
    f.folder->setText("T:\\b");
    f.BitBtn1.onClick();
    EXPECT_THAT(sh.messages, ElementsAre(offer));
    EXPECT_EQ(sh.restarts, c.restarts);
    EXPECT_EQ(sh.quits, c.quits);
    EXPECT_EQ(s.database, "") << "nothing applied";
    EXPECT_EQ(r.timer.arms, 0);
  }
}

TEST_F(Handlers, SaveChecksInOrderAndStoresNothingOnFailure) {
  struct Case {
    const char* name;
    const char* user;
    const char* database;
    const char* folder;
    bool refuse;
    std::vector<std::string> messages;
    std::vector<std::string> log;
    const char* focused;
  } cases[] = {
      {"blank user", " ", "shop", "T:\\b", false, {"1:SQL数据库用户名不存在!\r通常为:sa"}, {}, "mEdt3"},
      {"blank database", "sa", "", "T:\\b", false, {"1:SQL数据库名称不存在!"}, {}, "mEdt1"},
      {"server refuses", "sa", "shop", "", true,
       {"1:无法联接到你所指定的SQL服务器.\r请检查你输入的各个参数的正确性!\r可能原因:\r"
        "1.  指定电脑上并没有安装SQL数据库;\r2.  SQL服务器还没有启动.\r3.  或者SA密码不正确.\r"},
       // The box keeps its text; the log keeps what the server said.
       {"[26-12-10 07:05:09]: 数据库连接失败! 原因: 18456 Login failed for user."}, ""},
      {"database not listed", "sa", "sho", "T:\\b", false, {"1:SQL数据库名称sho不存在!"},
       {"[26-12-10 07:05:09]: 数据库连接成功!"}, "mEdt1"},
      {"database in other case", "sa", "SHOP", "T:\\b", false, {"1:SQL数据库名称SHOP不存在!"},
       {"[26-12-10 07:05:09]: 数据库连接成功!"}, "mEdt1"},
      {"blank folder after the connection", "sa", "shop", " ", false, {"1:请指定SQL数据库备份目录!"},
       {"[26-12-10 07:05:09]: 数据库连接成功!"}, "mavBEdit2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig r;
    Form& f = r.form;
    f.mavMemo1.addLine("old line");
    r.session.failOpen = c.refuse;
    f.user->setText(c.user);
    f.database->setText(c.database);
    f.folder->setText(c.folder);
    f.BitBtn1.onClick();
    EXPECT_EQ(r.shell.messages, c.messages);
    EXPECT_EQ(r.log(), c.log) << "the pane was cleared first";
    EXPECT_EQ(r.shell.focused, c.focused);
    EXPECT_THAT(r.registry.keys(), IsEmpty());
    EXPECT_EQ(r.settings.database, "");
    EXPECT_EQ(r.timer.arms, 0);
  }
}

TEST_F(Handlers, BlankServerFieldFallsBackToTheComputerName) {
  fillValidForm();
  form.server->setText("");
  form.BitBtn1.onClick();
  EXPECT_THAT(session.opens(), ElementsAre("sa|p;w}d|OFFICE1"));
  EXPECT_EQ(form.server->text(), "OFFICE1");
}

TEST_F(Handlers, SavingTwiceOnOneDayKeepsTheStamps) {
  fillValidForm();
  form.BitBtn1.onClick();
  settings.slots[0].lastRunDate = "20261210";
  form.BitBtn1.onClick();
  EXPECT_EQ(settings.slots[0].lastRunDate, "20261210");
}

TEST_F(Handlers, SettingsThatCannotBeStoredAreNeitherAppliedNorReportedAsSaved) {
  fillValidForm();
  // A user without write access to HKEY_LOCAL_MACHINE: the store stops at the first key.
  registry.setReadOnly(true);
  form.BitBtn1.onClick();
  EXPECT_THAT(shell.messages, ElementsAre("0:"));
  EXPECT_THAT(log(), ElementsAre("[26-12-10 07:05:09]: 数据库连接成功!"));
  EXPECT_EQ(settings.database, "");
  EXPECT_EQ(timer.arms, 0);

  // A value that cannot be written is reported with the registry's own text.
  registry.setReadOnly(false);
  registry.failKey(kKeyBase + "mEdt1");
  form.BitBtn1.onClick();
  EXPECT_EQ(shell.messages.back(), "0:");
  EXPECT_EQ(settings.database, "");
}

TEST_F(Handlers, DatabaseListFillsOnFirstDropDownAndEmptiesSilentlyOnFailure) {
  fillValidForm();
  form.database->dropDown();
  ASSERT_EQ(form.tree->topNodes().size(), 3u);
  EXPECT_EQ(form.tree->topNodes()[2]->values[0], "商店");
  form.database->closeUp(false);

  session.databases = {"other"};
  form.database->dropDown();
  EXPECT_EQ(form.tree->topNodes().size(), 3u) << "a filled list is not refreshed on opening";

  session.failOpen = true;
  form.SpeedButton1.onClick();
  EXPECT_THAT(form.tree->topNodes(), IsEmpty());
  EXPECT_THAT(shell.messages, IsEmpty());
}

TEST_F(Handlers, ClickingARowInTheDropDownPicksIt) {
  fillValidForm();
  form.database->setText("");
  form.database->dropDown();
  form.tree->setFocusedNode(form.tree->topNodes()[2].get());
  form.tree->onClick(*form.tree);
  EXPECT_FALSE(form.database->droppedDown());
  EXPECT_EQ(form.database->text(), "商店");

  // Outside the drop-down a click picks nothing.
  form.tree->setFocusedNode(form.tree->topNodes()[1].get());
  form.tree->onClick(*form.tree);
  EXPECT_EQ(form.database->text(), "商店");
}

TEST_F(Handlers, FolderBrowserResults) {
  struct Case {
    std::optional<std::string> chosen;
    const char* want;
  } cases[] = {
      {std::string("C:\\"), "C:\\"},
      {std::string("C:\\Backups"), "C:\\Backups\\"},
      {std::string("D:\\数据 备份"), "D:\\数据 备份\\"},
      {std::nullopt, "E:\\old\\"},
      {std::string("  "), "E:\\old\\"},
  };
  for (const Case& c : cases) {
    form.folder->setText("E:\\old\\");
    shell.folderChoice = c.chosen;
    form.folder->onButtonClick(*form.folder);
    EXPECT_EQ(form.folder->text(), c.want);
  }
  EXPECT_EQ(shell.browseTitle, "请选择一个目录来做为Vorda软件数据库备份位置");
}

// The tray icon's view as the handlers leave it.
struct TrayWatch final : form::ControlView {
  void showTip(const std::string& tip) override { this->tip = tip; }
  void showAlarm(bool on) override { alarmed = on; }
  void showBalloon(const std::string& title, const std::string&) override { balloons.push_back(title); }
  std::string tip;
  bool alarmed = false;
  std::vector<std::string> balloons;
};

TEST_F(Handlers, EveryLogLineAlsoGoesToTheHistoryWithItsFullDate) {
  registry.setValue(kKeyBase + "mEdt1", "TEXT", "shop");
  registry.setValue(kKeyBase + "dxCheckEdit5", "CHECKED", "maybe");
  handlers.FormCreate();
  EXPECT_EQ(files.text("C:\\ProgramData\\Bakwyn\\Bakwyn.log"),
            "2026-12-10 07:05:09 备份记录:\r\n"
            "2026-12-10 07:05:09 无法读取存储的设置: dxCheckEdit5 \"maybe\",已忽略\r\n");
  // The pane keeps its own form of the lines.
  EXPECT_THAT(log(), ElementsAre("备份记录:", "[26-12-10 07:05:09]: 无法读取存储的设置: dxCheckEdit5 \"maybe\",已忽略"));
  form.N5.onClick();
  EXPECT_THAT(shell.opened, ElementsAre("C:\\ProgramData\\Bakwyn\\Bakwyn.log"));
}

TEST_F(Handlers, ABackupsOutcomeReachesTheTrayIconAndTheHistory) {
  TrayWatch watch;
  form.rmTrayIcon1.attach(&watch);
  registry.setValue(kKeyBase + "mEdt1", "TEXT", "shop");
  registry.setValue(kKeyBase + "mavBEdit2", "TEXT", "D:\\bak\\");
  handlers.FormCreate();
  session.failOpen = true;
  form.Bak.execute();
  EXPECT_TRUE(watch.alarmed);
  EXPECT_EQ(watch.tip, "Bakwyn[Vorda免费软件]\n上次备份: 12-10 07:05 失败");
  EXPECT_THAT(watch.balloons, ElementsAre("数据库备份失败!"));
  const std::string& history = files.text("C:\\ProgramData\\Bakwyn\\Bakwyn.log");
  EXPECT_NE(history.find("07:05:09 数据库备份失败!\r\n2026-12-10 07:05:09 原因: "), std::string::npos) << history;

  session.failOpen = false;
  form.Bak.execute();
  EXPECT_FALSE(watch.alarmed);
  EXPECT_EQ(watch.tip, "Bakwyn[Vorda免费软件]\n上次备份: 12-10 07:05 成功");
  form.rmTrayIcon1.attach(nullptr);
}

TEST_F(Handlers, SaveHasTheServerCheckTheFolderItWillWrite) {
  struct Case {
    const char* name;
    int failingStatement;  // of the folder check: 0 create, 1 write
    int number;
    const char* text;
    std::vector<std::string> messages;
    std::vector<std::string> log;
    bool stored;
  } cases[] = {
      {"writable", -1, 0, "", {}, {"[26-12-10 07:05:09]: 数据库连接成功!", "[26-12-10 07:05:09]: 保存成功!"}, true},
      {"refused: the server's reason and a hint, nothing stored", 0, 22048,
       "xp_create_subdir() returned error 5, 'Access is denied.'",
       {"1:SQL服务器无法创建或写入SQL数据库备份目录 T:\\备份:\r22048 xp_create_subdir() returned error 5, 'Access is "
        "denied.'\r请让SQL Server服务的登录帐户(例如 NT Service\\MSSQLSERVER)对该目录有修改权限,或选择另一个目录。"},
       {"[26-12-10 07:05:09]: 数据库连接成功!"}, false},
      {"a login that may not check: saved, and the log says so", 0, 229,
       "The EXECUTE permission was denied on the object 'xp_create_subdir'.", {},
       {"[26-12-10 07:05:09]: 数据库连接成功!",
        "[26-12-10 07:05:09]: 无法检查备份目录: 229 The EXECUTE permission was denied on the object 'xp_create_subdir'.",
        "[26-12-10 07:05:09]: 保存成功!"},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig r;
    r.form.onShow();
    r.form.mEdt1.setText("shop");
    r.form.mavBEdit2.setText("T:\\备份");
    int statement = 0;
    r.session.onExecute = [&](const std::string&) {
      if (statement++ == c.failingStatement) throw ServerError(c.text, {{"42000", c.number, c.text}});
    };
    r.form.BitBtn1.onClick();
    EXPECT_EQ(r.shell.messages, c.messages);
    EXPECT_EQ(r.log(), c.log);
    EXPECT_EQ(r.registry.hasKey(kKeyBase + "mEdt1"), c.stored);
    if (!c.stored) {
      EXPECT_EQ(r.shell.focused, "mavBEdit2");
    }
    EXPECT_EQ(r.session.statements.at(0), "EXEC master.dbo.xp_create_subdir N'T:\\备份'");
  }
}

using Instances = std::vector<settings::SqlInstance>;
const settings::SqlInstance kDefault{"MSSQLSERVER", "MSSQL16.MSSQLSERVER", "C:\\Program Files\\SQL\\Backup"};
const settings::SqlInstance kExpress{"SQLEXPRESS", "MSSQL16.SQLEXPRESS", "C:\\Express\\Backup"};

TEST_F(Handlers, TheServerFieldNamesTheInstanceOfThisComputer) {
  struct Case {
    const char* name;
    Instances installed;
    const char* field;
    const char* want;
  } cases[] = {
      {"only SQL Server Express: chosen", {kExpress}, "", "OFFICE1\\SQLEXPRESS"},
      {"a stored bare name is the default instance, as before", {kDefault}, "OFFICE1", "OFFICE1"},
      {"a stored instance is kept, the computer name put in front", {kDefault, kExpress}, "OLDPC\\SQLEXPRESS",
       "OFFICE1\\SQLEXPRESS"},
      {"both installed and none named: the default instance", {kDefault, kExpress}, "", "OFFICE1"},
      {"nothing installed: the computer name", {}, "", "OFFICE1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig r;
    r.shell.instances = c.installed;
    r.form.mEdt2.setText(c.field);
    r.form.onShow();
    EXPECT_EQ(r.form.mEdt2.text(), c.want);
  }
}

TEST_F(Handlers, TheDefaultBackupFolderIsOneTheServerCanWrite) {
  struct Case {
    const char* name;
    bool dIsFixed;
    Instances installed;
    const char* want;
  } cases[] = {
      {"D: is a disk of this computer", true, {kExpress}, "D:\\数据库自动备份目录"},
      {"no D: disk: the instance's own backup folder", false, {kExpress}, "C:\\Express\\Backup"},
      {"no D: disk, no folder of the instance's", false, {{"SQLEXPRESS", "MSSQL16.SQLEXPRESS", ""}},
       "C:\\数据库自动备份目录"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig r;
    r.shell.dIsFixed = c.dIsFixed;
    r.shell.instances = c.installed;
    r.form.onShow();
    EXPECT_EQ(r.form.mavBEdit2.text(), c.want);
  }
  // A folder already in the field stays.
  shell.dIsFixed = false;
  form.mavBEdit2.setText("E:\\备份\\");
  form.onShow();
  EXPECT_EQ(form.mavBEdit2.text(), "E:\\备份\\");
}

TEST_F(Handlers, TheInstancesDropDownBesideTheServerField) {
  shell.instances = {kDefault, kExpress};
  form.onShow();
  shell.choice = 1;
  form.SpeedButton2.onClick();
  EXPECT_EQ(shell.chooser, "mEdt2");
  EXPECT_THAT(shell.offered, ElementsAre("OFFICE1", "OFFICE1\\SQLEXPRESS"));
  EXPECT_EQ(form.mEdt2.text(), "OFFICE1\\SQLEXPRESS");
  shell.choice = std::nullopt;  // dismissed
  form.SpeedButton2.onClick();
  EXPECT_EQ(form.mEdt2.text(), "OFFICE1\\SQLEXPRESS");
  // The save connects to what the field names.
  form.mEdt1.setText("shop");
  form.BitBtn1.onClick();
  EXPECT_THAT(session.opens(), ElementsAre("sa||OFFICE1\\SQLEXPRESS"));
  EXPECT_EQ(settings.server, "OFFICE1\\SQLEXPRESS");
  EXPECT_EQ(registry.value(kKeyBase + "mEdt2", "TEXT"), "OFFICE1\\SQLEXPRESS");
}

TEST_F(Handlers, WithNoSqlServerOnThisComputerTheInstanceButtonSaysSo) {
  shell.instances = {};
  form.onShow();
  form.mEdt1.setText("shop");
  session.failOpen = true;
  form.BitBtn1.onClick();
  // The specified message, whose first possible cause is just this; the pane
  // has what the driver said.
  ASSERT_EQ(shell.messages.size(), 1u);
  EXPECT_EQ(shell.messages[0].rfind("1:无法联接到你所指定的SQL服务器.\r", 0), 0u);
  EXPECT_NE(shell.messages[0].find("1.  指定电脑上并没有安装SQL数据库;"), std::string::npos);
  EXPECT_THAT(log(), ElementsAre("[26-12-10 07:05:09]: 数据库连接失败! 原因: 18456 Login failed for user."));
  form.SpeedButton2.onClick();
  EXPECT_EQ(shell.messages.back(), "1:这台电脑上没有找到SQL Server。\r请先安装SQL Server(例如SQL Server Express),\r或确认它已安装在这台电脑上。");
}

// Stored settings with a database, a folder and the given slots ("HH:NN").
void StoreSchedule(settings::MemoryRegistry& registry, const std::vector<std::string>& slots) {
  registry.setValue(kKeyBase + "mEdt1", "TEXT", "shop");
  registry.setValue(kKeyBase + "mavBEdit2", "TEXT", "D:\\bak\\");
  for (size_t i = 0; i < slots.size(); ++i) {
    registry.setValue(kKeyBase + "dxCheckEdit" + std::to_string(i + 1), "CHECKED", "-1");
    registry.setValue(kKeyBase + "dxTimeEdit" + std::to_string(i + 1), "TEXT", slots[i]);
  }
}

const std::string kStatusKeyPath(kStatusKey);
const std::string kHistory = "C:\\ProgramData\\Bakwyn\\Bakwyn.log";

size_t Backups(const FakeSession& session) {
  size_t count = 0;
  // The backups of the stored database; a save's folder check backs up [model].
  for (const std::string& statement : session.statements) count += statement.rfind("BACKUP DATABASE [shop]", 0) == 0;
  return count;
}

// Never two schedulers: while another holds the scheduler's lock (the
// service here), this program makes no backup, shows the shared history and
// has a save reach the service; once it takes the lock, it schedules again
// without repeating what the service ran.
TEST_F(Handlers, WhileAnotherSchedulesThisProgramOnlyShowsWhatItDoes) {
  StoreSchedule(registry, {"07:05", "07:06"});
  files.text(kHistory) = "2026-12-10 07:00:00 备份记录:\r\n";
  shell.service = ServiceState::Running;
  handlers.FormCreate();
  handlers.SchedulerChanged(false);
  EXPECT_TRUE(handlers.standingBy());
  EXPECT_TRUE(form.Timer2.enabled()) << "the shared history is followed";
  form.PopupMenu1.onPopup();
  EXPECT_TRUE(form.N6.checked()) << "the tray menu shows the installed service";
  // The pane is the history now: this program's lines stand among the service's.
  EXPECT_THAT(log(), ElementsAre("备份记录:", "[26-12-10 07:00:00]: 备份记录:", "[26-12-10 07:05:09]: 备份记录:",
                                 "[26-12-10 07:05:09]: 备份服务或另一个用户的备份程序正在定时备份: 这里显示它的记录"));

  for (int i = 0; i < 5; ++i) form.Timer1.onTimer();  // 07:05, slot one's minute
  EXPECT_EQ(Backups(session), 0u) << "the service makes this backup";

  // The service's lines, written by another process, reach the pane.
  files.text(kHistory) += "2026-12-10 07:05:00 开始备份数据库...\r\n2026-12-10 07:05:03 数据库备份成功!  [文件名:D:\\bak\\x.bak]\r\n";
  form.Timer2.onTimer();
  EXPECT_THAT(log(), ::testing::IsSupersetOf({"[26-12-10 07:05:00]: 开始备份数据库...",
                                            "[26-12-10 07:05:03]: 数据库备份成功!  [文件名:D:\\bak\\x.bak]"}));

  // A save is stored here and read again by the service.
  form.onShow();
  form.password->setText("pw");
  form.BitBtn1.onClick();
  EXPECT_EQ(shell.signals, 1);
  EXPECT_THAT(log(), ::testing::Contains("[26-12-10 07:05:09]: 保存成功!"));
  shell.signalReaches = false;
  form.BitBtn1.onClick();
  EXPECT_THAT(log(), ::testing::Contains(::testing::HasSubstr("无法通知备份服务重新读取设置")));

  // The service ends without letting go after it ran slot one today: this
  // program takes the lock and schedules again.
  registry.setValue(kStatusKeyPath, "Slot1LastRun", "20261210");
  shell.service = ServiceState::Stopped;
  handlers.SchedulerChanged(true, true);
  EXPECT_FALSE(handlers.standingBy());
  EXPECT_FALSE(form.Timer2.enabled());
  EXPECT_THAT(log(), ::testing::Contains("[26-12-10 07:05:09]: 已接管定时备份: 之前定时备份的服务或程序意外结束"));
  form.Timer1.onTimer();
  EXPECT_EQ(Backups(session), 0u) << "slot one ran today in the service";
  clock.set(7, 6);
  form.Timer1.onTimer();
  EXPECT_EQ(Backups(session), 1u) << "slot two is this program's";
  EXPECT_EQ(registry.value(kStatusKeyPath, "Slot2LastRun"), "20261210") << "kept for the next start";
}

TEST_F(Handlers, TheTrayMenuItemInstallsAndRemovesTheService) {
  struct Case {
    const char* name;
    bool install;
    ServiceChange result;
    bool checkedAfter;
    std::vector<std::string> messages;
    const char* logged;  // nullptr: nothing
  };
  const Case cases[] = {
      {"installed", true, {true, ""}, true, {}, "已安装备份服务: 不需要用户登录也会定时备份"},
      {"declined at the rights prompt", true, {false, ""}, false, {}, nullptr},
      {"refused", true, {false, "拒绝访问。"}, false, {"1:无法安装备份服务:\r拒绝访问。"}, nullptr},
      {"removed", false, {true, ""}, false, {}, "已移除备份服务: 由本程序定时备份"},
      {"not removed", false, {false, "服务被标记为删除。"}, true, {"1:无法移除备份服务:\r服务被标记为删除。"}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.shell.service = c.install ? ServiceState::NotInstalled : ServiceState::Running;
    rig.shell.switchResult = c.result;
    rig.handlers.FormCreate();
    EXPECT_EQ(rig.shell.serviceQueries, 0) << "nothing asked of the service manager before the menu opens";
    rig.form.PopupMenu1.onPopup();
    ASSERT_EQ(rig.form.N6.checked(), !c.install);
    rig.form.N6.onClick();
    EXPECT_EQ(rig.shell.switches, std::vector<bool>{c.install});
    EXPECT_EQ(rig.form.N6.checked(), c.checkedAfter) << "the check mark shows what is installed";
    EXPECT_EQ(rig.shell.messages, c.messages);
    if (c.logged) EXPECT_THAT(rig.log(), ::testing::Contains(::testing::HasSubstr(c.logged)));
  }
}

// Missed slots are made up, once, at start and when the computer wakes, only
// when asked; the dates the slots ran on are kept across restarts.
TEST_F(Handlers, MissedSlotsAreMadeUpOnlyWhenAskedAtStartAndAtWaking) {
  struct Case {
    const char* name;
    const char* makeUp;    // stored "MakeUpMissed"; nullptr: none
    const char* slot1Ran;  // stored "Slot1LastRun"; nullptr: none
    size_t backupsAtStart;
  };
  const Case cases[] = {
      {"off by default", nullptr, nullptr, 0},
      {"off", "0", nullptr, 0},
      {"on", "1", nullptr, 1},
      {"on, ran today", "1", "20261210", 0},
      {"on, ran yesterday", "1", "20261209", 1},
      {"on, no date kept", "1", "2026121x", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    StoreSchedule(rig.registry, {"07:00", "12:00"});  // 07:00 passed at 07:05
    if (c.makeUp) rig.registry.setValue(kStatusKeyPath, "MakeUpMissed", c.makeUp);
    if (c.slot1Ran) rig.registry.setValue(kStatusKeyPath, "Slot1LastRun", c.slot1Ran);
    rig.handlers.FormCreate();
    EXPECT_EQ(rig.form.dxCheckEdit6.checked(), c.makeUp && std::string(c.makeUp) == "1");
    for (int i = 0; i < 3; ++i) rig.form.Timer1.onTimer();
    EXPECT_EQ(Backups(rig.session), c.backupsAtStart);
    if (c.backupsAtStart) {
      EXPECT_THAT(rig.log(), ::testing::Contains("[26-12-10 07:05:09]: 补做错过的备份 (07:00)"));
      EXPECT_EQ(rig.registry.value(kStatusKeyPath, "Slot1LastRun"), "20261210");
    }
  }

  // Asleep through 12:00: at waking, made up when asked.
  for (bool asked : {false, true}) {
    SCOPED_TRACE(asked ? "wake, on" : "wake, off");
    Rig rig;
    StoreSchedule(rig.registry, {"07:00", "12:00"});
    rig.registry.setValue(kStatusKeyPath, "Slot1LastRun", "20261210");
    rig.registry.setValue(kStatusKeyPath, "MakeUpMissed", asked ? "1" : "0");
    rig.handlers.FormCreate();
    rig.form.Timer1.onTimer();
    rig.clock.set(15, 5);
    rig.form.Timer1.onTimer();
    EXPECT_EQ(Backups(rig.session), 0u) << "a passed slot is not run by the tick";
    rig.form.onPowerResume();
    rig.form.Timer1.onTimer();
    rig.form.Timer1.onTimer();
    EXPECT_EQ(Backups(rig.session), asked ? 1u : 0u);
  }
}

// As before, a start forgets what ran today, so a start within a slot's minute
// runs it again; with missed slots made up, the kept date holds it back.
TEST_F(Handlers, ARestartWithinASlotsMinuteRunsItAgainUnlessMissedSlotsAreMadeUp) {
  for (const char* makeUp : {"0", "1"}) {
    SCOPED_TRACE(makeUp);
    Rig rig;
    StoreSchedule(rig.registry, {"07:05"});
    rig.registry.setValue(kStatusKeyPath, "MakeUpMissed", makeUp);
    rig.registry.setValue(kStatusKeyPath, "Slot1LastRun", "20261210");
    rig.handlers.FormCreate();
    for (int i = 0; i < 3; ++i) rig.form.Timer1.onTimer();
    EXPECT_EQ(Backups(rig.session), std::string(makeUp) == "1" ? 0u : 1u);
    EXPECT_EQ(rig.registry.value(kStatusKeyPath, "Slot1LastRun"), "20261210");
  }
}

TEST_F(Handlers, TheMakeUpChoiceIsSavedBesideTheStoredControls) {
  fillValidForm();
  form.dxCheckEdit6.setChecked(true, form::Source::User);
  form.BitBtn1.onClick();
  EXPECT_EQ(registry.value(kStatusKeyPath, "MakeUpMissed"), "1");
  EXPECT_FALSE(registry.hasKey(kKeyBase + "dxCheckEdit6")) << "older versions read nothing new among their keys";
  form.dxCheckEdit6.setChecked(false, form::Source::User);
  form.BitBtn1.onClick();
  EXPECT_EQ(registry.value(kStatusKeyPath, "MakeUpMissed"), "0");
}

// A stored number of days that cannot be read: nothing is deleted, the tray
// tip says why, and a save (of the number the window shows) ends it.
TEST_F(Handlers, UnreadableDaysDeleteNothingUntilTheSettingsAreSavedAgain) {
  TrayWatch watch;
  form.rmTrayIcon1.attach(&watch);
  StoreSchedule(registry, {"02:00"});
  registry.setValue(kKeyBase + "dxCheckEdit5", "CHECKED", "-1");
  registry.setValue(kKeyBase + "mavSpinEdit1", "VALUE", "many");
  files.add("D:\\bak\\5 days.bak", "", {2026, 12, 5, 2, 0, 0, 0});
  files.add("D:\\bak\\500 days.bak", "", {2025, 7, 28, 2, 0, 0, 0});
  files.add("D:\\bak\\newest.bak", "", {2026, 12, 10, 2, 0, 0, 0});
  // A verified backup to keep: what holds the older ones back is the days alone.
  ASSERT_TRUE(RecordVerified(files, "D:\\bak\\", "newest.bak", 1, {2026, 12, 10, 2, 1, 0, 0}));
  handlers.FormCreate();
  form.deleteoldfile.execute();
  EXPECT_EQ(files.listDirectory("D:\\bak\\").size(), 4u) << "nothing deleted: three backups and the record";
  EXPECT_NE(watch.tip.find("自动删除已停止: 保留天数无法读取"), std::string::npos) << watch.tip;

  form.onShow();
  form.BitBtn1.onClick();
  ASSERT_THAT(log(), ::testing::Contains("[26-12-10 07:05:09]: 保存成功!"));
  EXPECT_EQ(registry.value(kKeyBase + "mavSpinEdit1", "VALUE"), "3");
  EXPECT_TRUE(settings.cleanupEnabled);
  EXPECT_EQ(watch.tip.find("自动删除已停止"), std::string::npos) << watch.tip;
  form.deleteoldfile.execute();
  EXPECT_EQ(files.files.count("D:\\bak\\5 days.bak"), 0u) << "the days saved now apply";
  form.rmTrayIcon1.attach(nullptr);
}

// The server field always means this computer: at start-up, as when the window
// opens, its computer part is this computer's name of today and the stored
// instance stays.
TEST_F(Handlers, StartUpArmsWithThisComputersNameAndTheStoredInstance) {
  struct Case {
    const char* name;
    const char* stored;  // nullptr: none stored
    Instances installed;
    const char* server;
  } cases[] = {
      {"renamed computer, default instance", "OLDNAME", {kDefault}, "OFFICE1"},
      {"renamed computer, named instance", "OLDNAME\\SQLEXPRESS", {kExpress}, "OFFICE1\\SQLEXPRESS"},
      {"no server stored, only Express installed", nullptr, {kExpress}, "OFFICE1\\SQLEXPRESS"},
      {"no server stored, default instance", nullptr, {kDefault}, "OFFICE1"},
      {"the stored name of today", "OFFICE1\\SQLEXPRESS", {kDefault, kExpress}, "OFFICE1\\SQLEXPRESS"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig r;
    r.shell.instances = c.installed;
    StoreSchedule(r.registry, {"07:05"});
    if (c.stored) r.registry.setValue(kKeyBase + "mEdt2", "TEXT", c.stored);
    r.handlers.FormCreate();
    EXPECT_EQ(r.settings.server, c.server);
    r.form.Timer1.onTimer();
    EXPECT_THAT(r.session.opens(), ElementsAre(std::string("||") + c.server)) << "the backup reaches this computer";
  }
}

// The folder the save's check proved is the folder the backups go to.
TEST_F(Handlers, TheCheckedFolderIsTheFolderUsed) {
  fillValidForm();
  form.folder->setText("  T:\\备份  ");
  form.BitBtn1.onClick();
  EXPECT_EQ(session.statements.at(0), "EXEC master.dbo.xp_create_subdir N'T:\\备份'");
  EXPECT_EQ(settings.backupDir, "T:\\备份\\");
  EXPECT_EQ(form.folder->text(), "T:\\备份\\");
}

// Only what proves the folder can never be written stops a save; a full disk
// or a scratch file held by another program is saved, with a warning, so that
// fewer days to keep can still be saved to free space.
TEST_F(Handlers, AFullDiskAtTheFolderCheckSavesWithAWarning) {
  fillValidForm();
  const std::string full = "Write on 'T:\\备份\\Bakwyn写入检查.tmp' failed: 112(There is not enough space on the disk.)";
  int statement = 0;
  session.onExecute = [&](const std::string&) {
    if (statement++ == 1) throw ServerError("x", {{"42000", 3202, full}, {"42000", 3013, "BACKUP DATABASE is terminating abnormally."}});
  };
  form.days->setValue(1);
  form.BitBtn1.onClick();
  EXPECT_THAT(log(), ElementsAre("[26-12-10 07:05:09]: 数据库连接成功!",
                                 "[26-12-10 07:05:09]: 警告: SQL服务器现在无法写入备份目录: 3202 " + full,
                                 "[26-12-10 07:05:09]: 保存成功!"));
  EXPECT_EQ(registry.value(kKeyBase + "mavSpinEdit1", "VALUE"), "1") << "stored";
  EXPECT_EQ(timer.arms, 1) << "applied";
  ASSERT_EQ(shell.messages.size(), 1u);
  EXPECT_EQ(shell.messages[0].rfind("2:设置已保存,但SQL服务器现在无法写入SQL数据库备份目录 T:\\备份:\r3202 ", 0), 0u)
      << shell.messages[0];
}

// The service reads the stored settings without the window: whatever is
// stored, it runs what the window would apply from them, and logs what it
// would log of them.
TEST_F(Handlers, TheStoredScheduleIsWhatTheWindowAppliesFromTheSameValues) {
  using Values = std::vector<std::array<const char*, 3>>;  // control (or "status"), value name, text
  const struct {
    const char* name;
    Values stored;
  } cases[] = {
      {"nothing stored", {}},
      {"a whole schedule, untrimmed",
       {{"mEdt2", "TEXT", " OFFICE1\\SHOP "}, {"mEdt3", "TEXT", " sa "}, {"mEdt4", "TEXT", " p w "},
        {"mEdt1", "TEXT", " 商店 "}, {"mavBEdit2", "TEXT", " T:\\备份 "}, {"dxCheckEdit1", "CHECKED", "-1"},
        {"dxTimeEdit1", "TEXT", "02:00"}, {"dxCheckEdit3", "CHECKED", "-1"}, {"dxTimeEdit3", "TEXT", "23:59"},
        {"dxCheckEdit5", "CHECKED", "-1"}, {"mavSpinEdit1", "VALUE", "30"}, {"status", "CopyFolder", " E:\\副本 "},
        {"status", "MakeUpMissed", "1"}}},
      {"a bad time, bad days with cleanup on, a bad check state",
       {{"mEdt1", "TEXT", "shop"}, {"dxCheckEdit2", "CHECKED", "-1"}, {"dxTimeEdit2", "TEXT", "25:00"},
        {"dxCheckEdit5", "CHECKED", "-1"}, {"mavSpinEdit1", "VALUE", "abc"}, {"dxCheckEdit4", "CHECKED", "maybe"}}},
      {"days beyond the range, a fraction", {{"mEdt1", "TEXT", "shop"}, {"mavSpinEdit1", "VALUE", "1E20"}}},
      {"a fraction of a day", {{"mEdt1", "TEXT", "shop"}, {"mavSpinEdit1", "VALUE", "2.5"}}},
      {"a database of blanks is stored", {{"mEdt1", "TEXT", "  "}, {"mavBEdit2", "TEXT", ""}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig r;
    for (const auto& [control, value, text] : c.stored) {
      r.registry.setValue(std::string(control) == "status" ? kStatusKeyPath : kKeyBase + control, value, text);
    }
    settings::MemoryRegistry before = r.registry;
    const StoredSchedule stored =
        ReadStoredSchedule(before, r.protector, r.shell.computerName(), r.shell.sqlInstances());
    r.handlers.FormCreate();

    EXPECT_EQ(stored.armed, r.handlers.runtime().armed());
    if (stored.armed) {
      const BackupSettings& want = r.settings;
      const BackupSettings& got = stored.schedule.settings;
      EXPECT_EQ(got.server, want.server);
      EXPECT_EQ(got.user, want.user);
      EXPECT_EQ(got.password, want.password);
      EXPECT_EQ(got.database, want.database);
      EXPECT_EQ(got.backupDir, want.backupDir);
      for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(got.slots[i].enabled, want.slots[i].enabled) << i;
        EXPECT_EQ(got.slots[i].time, want.slots[i].time) << i;
      }
      EXPECT_EQ(got.cleanupEnabled && !stored.schedule.cleanupHeld, want.cleanupEnabled);
      EXPECT_EQ(got.retentionDays, want.retentionDays);
      EXPECT_EQ(got.replicaDir, want.replicaDir);
      EXPECT_EQ(stored.schedule.makeUpMissed, r.handlers.runtime().schedule().makeUpMissed);
    }
    std::vector<std::string> logged;
    for (const std::string& line : r.log()) {
      if (line.rfind("[", 0) == 0) logged.push_back(line.substr(line.find("]: ") + 3));
    }
    EXPECT_EQ(stored.lines, logged);
  }
}

// Made up at boot, the backup may come before the server's service has
// started: it is tried again every five minutes for an hour, and the slot is
// stamped only once the backup ran.
TEST_F(Handlers, AMadeUpBackupThatCannotConnectIsTriedAgainAndStampedOnlyWhenItRan) {
  Rig r;
  StoreSchedule(r.registry, {"07:00"});
  r.registry.setValue(kStatusKeyPath, "MakeUpMissed", "1");
  r.session.failOpen = true;
  r.handlers.FormCreate();
  r.form.Timer1.onTimer();
  EXPECT_EQ(r.session.opens().size(), 1u);
  EXPECT_FALSE(r.registry.value(kStatusKeyPath, "Slot1LastRun").has_value()) << "not stamped: it has not run";
  EXPECT_THAT(r.log(), ::testing::Contains("[26-12-10 07:05:09]: 补做的备份无法连接到SQL服务器,5分钟后再试"));
  r.clock.set(7, 9);
  r.form.Timer1.onTimer();
  EXPECT_EQ(r.session.opens().size(), 1u) << "not before five minutes";
  r.clock.set(7, 10);
  r.session.failOpen = false;
  r.form.Timer1.onTimer();
  r.form.Timer1.onTimer();
  EXPECT_EQ(Backups(r.session), 1u);
  EXPECT_EQ(r.registry.value(kStatusKeyPath, "Slot1LastRun"), "20261210");

  // A server that never comes: tried for an hour, then given up, unstamped.
  Rig never;
  StoreSchedule(never.registry, {"07:00"});
  never.registry.setValue(kStatusKeyPath, "MakeUpMissed", "1");
  never.session.failOpen = true;
  never.handlers.FormCreate();
  for (int minute = 5; minute <= 5 + 70; ++minute) {
    never.clock.set(7 + minute / 60, minute % 60);
    never.form.Timer1.onTimer();
  }
  EXPECT_EQ(never.session.opens().size(), 13u) << "at 07:05 and every five minutes until 08:05";
  EXPECT_THAT(never.log(), ::testing::Contains(::testing::HasSubstr("补做的备份一小时内无法连接到SQL服务器,不再重试")));
  EXPECT_FALSE(never.registry.value(kStatusKeyPath, "Slot1LastRun").has_value());
}

// Under UAC a user's program cannot write the machine's registry, which an
// administrator's first start created: what it did is kept in the user's own,
// and what is shown is what both say together, so nothing warns falsely.
TEST_F(Handlers, WithoutTheRightsToTheMachinesRecordTheUsersOwnKeepsWhatHappened) {
  StoreSchedule(registry, {"07:05"});
  registry.setValue(kStatusKeyPath, "MakeUpMissed", "1");
  // An administrator's start two days ago left its record.
  registry.setValue(kStatusKeyPath, "LastBackup", "2026-12-08 07:05:00");
  registry.setValue(kStatusKeyPath, "LastResult", "ok");
  registry.setValue(kStatusKeyPath, "LastSuccess", "2026-12-08 07:05:00");
  registry.setValue(kStatusKeyPath, "ArmedSince", "2026-12-01 07:00:00");
  {
    // The administrator's save created the key of every stored control.
    Form saved;
    form::LoadWindowSettings(saved, registry, protector);
  }
  registry.setReadOnly(true);
  {
    Rig& r = *this;
    r.handlers.FormCreate();
    r.form.Timer1.onTimer();
    EXPECT_EQ(Backups(r.session), 1u);
    EXPECT_EQ(own.value(kStatusKeyPath, "LastSuccess"), "2026-12-10 07:05:09");
    EXPECT_EQ(own.value(kStatusKeyPath, "Slot1LastRun"), "20261210");
    EXPECT_EQ(registry.value(kStatusKeyPath, "LastSuccess"), "2026-12-08 07:05:00");
  }
  // The next log-on, the next day at 07:00: the backup of 07:05 yesterday is
  // the last; nothing is overdue (the machine's record alone says two days),
  // nothing is red.
  Rig next;
  next.registry = registry;
  next.own = own;
  TrayWatch watch;
  next.form.rmTrayIcon1.attach(&watch);
  next.clock.set({2026, 12, 11, 7, 0, 0, 0});
  next.handlers.FormCreate();
  next.form.Timer1.onTimer();
  EXPECT_EQ(watch.tip, "Bakwyn[Vorda免费软件]\n上次备份: 12-10 07:05 成功");
  EXPECT_FALSE(watch.alarmed);
  EXPECT_THAT(watch.balloons, IsEmpty());
  // Later that day, restarted within the slot's minute: it ran today, and is
  // not run again from a date only the user's own registry holds.
  next.clock.set({2026, 12, 11, 7, 5, 30, 0});
  next.form.Timer1.onTimer();
  EXPECT_EQ(Backups(next.session), 1u);
  EXPECT_EQ(next.own.value(kStatusKeyPath, "Slot1LastRun"), "20261211");
  Rig again;
  again.registry = registry;
  again.own = next.own;
  again.clock.set({2026, 12, 11, 7, 5, 40, 0});
  again.handlers.FormCreate();
  again.form.Timer1.onTimer();
  EXPECT_EQ(Backups(again.session), 0u);
  next.form.rmTrayIcon1.attach(nullptr);
}

// Under UAC a user's program may not write the shared history that an
// administrator's start created: its lines go to a history of its own, which
// the history item opens, and which the pane still shows beside the service's.
TEST_F(Handlers, WithoutTheRightsToTheSharedHistoryTheLinesGoToTheUsersOwn) {
  const std::string mine = "C:\\Users\\u\\AppData\\Local\\Bakwyn\\Bakwyn.log";
  files.text(kHistory) = "2026-12-10 07:00:00 备份记录:\r\n";
  files.readOnly = {kHistory};
  StoreSchedule(registry, {"12:00"});
  handlers.FormCreate();
  EXPECT_EQ(files.text(mine), "2026-12-10 07:05:09 备份记录:\r\n");
  form.N5.onClick();
  EXPECT_THAT(shell.opened, ElementsAre(mine));

  handlers.SchedulerChanged(false);
  handlers.AppendLog("一行");
  EXPECT_THAT(log(), ::testing::Contains("[26-12-10 07:05:09]: 一行")) << "a line kept only in the user's own is shown";
  EXPECT_NE(files.text(mine).find("07:05:09 一行\r\n"), std::string::npos);
}

}  // namespace
}  // namespace bakwyn::app
