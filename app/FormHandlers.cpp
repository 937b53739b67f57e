#include "app/FormHandlers.h"

#include "base/SqlText.h"

#include "app/StoredSchedule.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <vector>

#include "base/Text.h"
#include "engine/FolderCheck.h"
#include "form/FrmMainIds.h"
#include "settings/Autostart.h"
#include "form/StoredForm.h"

namespace bakwyn::app {
namespace {

constexpr int kMessageStop = 1;         // OK, stop icon
constexpr int kMessageStoreFailed = 0;  // "数据存储失败,请再试一次!"
constexpr int kMessageInformation = 2;  // OK, information icon
constexpr int kMessageYesNo = 31;       // Yes and No, question icon
constexpr int kAnswerYes = 6;
constexpr int kAnswerNo = 7;
constexpr unsigned kMinimizeCommand = 61472;  // SC_MINIMIZE

constexpr std::string_view kUserCaption = "SQL数据库用户名";
constexpr std::string_view kDatabaseCaption = "SQL数据库名称";
constexpr std::string_view kDirectoryCaption = "SQL数据库备份目录";
constexpr std::string_view kConnectFailed =
    "无法联接到你所指定的SQL服务器.\r请检查你输入的各个参数的正确性!\r可能原因:\r"
    "1.  指定电脑上并没有安装SQL数据库;\r2.  SQL服务器还没有启动.\r3.  或者SA密码不正确.\r";
constexpr std::string_view kNoServer =
    "这台电脑上没有找到SQL Server。\r请先安装SQL Server(例如SQL Server Express),\r或确认它已安装在这台电脑上。";
constexpr std::string_view kFolderTitle = "请选择一个目录来做为Vorda软件数据库备份位置";

// The slot (1 to 4) whose time editor is named `control`; 0 for another control.
int SlotOfTimeEditor(form::SettingsForm& form, const std::string& control) {
  for (int slot = 1; slot <= 4; ++slot) {
    if (form.slotTime(slot).name() == control) return slot;
  }
  return 0;
}


}  // namespace

std::string LogStamp(const LocalDateTime& t) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "[%02d-%02d-%02d %02d:%02d:%02d]: ", t.year % 100, t.month, t.day, t.hour,
                t.minute, t.second);
  return buffer;
}

FormHandlers::FormHandlers(form::SettingsForm& form, Runtime& runtime, ServerSession& session,
                           settings::Registry& registry, const settings::SecretProtector& protector, FormShell& shell,
                           settings::Registry* own, Pinger* pinger)
    : form_(form), runtime_(runtime), session_(session), registry_(registry), own_(own), protector_(protector),
      history_(runtime.history()), shell_(shell), pinger_(pinger) {
  runtime_.addObserver(this);
  form_.onShow = [this] { FormShow(); };
  form_.onCloseQuery = [this] { return FormCloseQuery(); };
  form_.onSysCommand = [this](unsigned command) { return WMSysCommand(command); };
  form_.BitBtn1.onClick = [this] { BitBtn1Click(); };
  form_.BitBtn3.onClick = [this] { BitBtn3Click(); };
  form_.BitBtn2.onClick = [this] { BitBtn2Click(); };
  form_.SpeedButton1.onClick = [this] { SpeedButton1Click(); };
  form_.SpeedButton2.onClick = [this] { SpeedButton2Click(); };
  form_.Label10.onClick = [this](form::LinkLabel& sender) { Label10Click(sender.caption()); };
  form_.Label11.onClick = [this](form::LinkLabel& sender) { Label10Click(sender.caption()); };
  form_.mavBEdit2.onButtonClick = [this](form::TdxButtonEdit&) { mavBEdit2ButtonClick(); };
  form_.mavBEdit3.onButtonClick = [this](form::TdxButtonEdit&) { mavBEdit3ButtonClick(); };
  form_.mEdt1.onInitPopup = [this](form::TdxPopupEdit&) { mEdt1InitPopup(); };
  form_.mavTree1.onClick = [this](form::TdxTreeList&) { mavTree1Click(); };
  form_.N4.onClick = [this] { N4Click(); };
  form_.N1.onClick = [this] { N1Click(); };
  form_.N2.onClick = [this] { N2Click(); };
  form_.N5.onClick = [this] { N5Click(); };
  form_.Timer1.onTimer = [this] { Timer1Timer(); };
  form_.Timer2.onTimer = [this] { Timer2Timer(); };
  form_.N6.onClick = [this] { N6Click(); };
  // The service's state is asked when the menu opens, not at start: the
  // service manager's client stays unloaded in a program nobody looks at.
  form_.PopupMenu1.onPopup = [this] { form_.N6.setChecked(shell_.serviceState() != ServiceState::NotInstalled); };
  form_.N7.onClick = [this] { runtime_.cancelBackup(); };
  form_.N8.onClick = [this] { N8Click(); };
  form_.N9.onClick = [this] { shell_.openRestoreWindow(); };
  form_.SpeedButton3.onClick = [this] { testPing(form_.mEdt5, form_.SpeedButton3); };
  form_.SpeedButton4.onClick = [this] { testPing(form_.mEdt6, form_.SpeedButton4); };
  form_.dxCheckEdit8.onChange = [this](form::TdxCheckEdit&) { dxCheckEdit8Change(); };
  form_.SpeedButton5.onClick = [this] { SpeedButton5Click(); };
  form_.onPowerResume = [this] { PowerResume(); };
  form_.Bak.onExecute = [this] { runtime_.backupNow(); };
  form_.Action1.onExecute = [this] { Action1Execute(); };
  form_.deleteoldfile.onExecute = [this] { runtime_.cleanUpNow(); };
}

void FormHandlers::AppendLog(const std::string& text) { runtime_.log(text); }

void FormHandlers::backupRunning(bool running) {
  form_.N7.setEnabled(running);
  form_.N8.setEnabled(!running);
}

void FormHandlers::testPing(form::TmEdt& address, form::Button& button) {
  const std::string text = address.tText();
  if (text.empty() || !ParsePingAddress(text)) {
    shell_.showMessageCode(kMessageStop, text.empty() ? "请先填写通知地址。"
                                                      : "通知地址无效: 应以 http:// 或 https:// 开头。");
    shell_.focus(address);
    return;
  }
  if (!pinger_) return;
  // The answer may take the time-out to come: the window goes on meanwhile,
  // and the button waits for it.
  button.setEnabled(false);
  pinger_->test(text, [this, &button](bool sent, const std::string& answer) {
    runtime_.post([this, &button, sent, answer] {
      button.setEnabled(true);
      shell_.showMessageCode(sent ? kMessageInformation : kMessageStop,
                             (sent ? "通知地址测试成功: " : "通知地址测试失败: ") + answer);
    });
  });
}

void FormHandlers::dxCheckEdit8Change() {
  if (loading_ || !form_.dxCheckEdit8.checked()) return;
  const int answer = shell_.showMessageCode(
      kMessageYesNo,
      "每次定时备份成功后,再把数据库的事务日志备份到同一目录 (与备份文件同名的 .trn 文件),"
      "完整恢复模式的日志才不会一直增长直到磁盘占满。日志备份与完整备份一起校验、复制和定期删除。\r\r"
      "保存设置后生效。开启事务日志备份?");
  if (answer != kAnswerYes) form_.dxCheckEdit8.setChecked(false);
}

void FormHandlers::SpeedButton5Click() {
  const std::string database = form_.mEdt1.tText();
  if (database.empty()) {
    shell_.showMessageCode(kMessageStop, "请先选择" + std::string(kDatabaseCaption));
    shell_.focus(form_.mEdt1);
    return;
  }
  const int answer = shell_.showMessageCode(
      kMessageYesNo, "将数据库 " + database +
                         " 改为简单恢复模式?\r\r之后只能恢复到某一次备份完成时的状态,不能再恢复到两次备份之间的某一时刻;"
                         "已有的事务日志备份也不能再接着用于恢复。事务日志会自动截断,不再增长。");
  if (answer != kAnswerYes) return;
  try {
    session_.open(form_.mEdt3.tText(), form_.mEdt4.text(), form_.mEdt2.tText());
    session_.execute("ALTER DATABASE " + SqlNameLiteral(database) + " SET RECOVERY SIMPLE");
  } catch (const std::exception& e) {
    // "原因: " + the server's or the driver's words.
    const std::string cause = DescribeFailure(e).substr(std::string_view("原因: ").size());
    AppendLog("无法把数据库 " + database + " 改为简单恢复模式: " + cause);
    shell_.showMessageCode(kMessageStop, "无法改为简单恢复模式:\r" + cause);
    return;
  }
  AppendLog("已把数据库 " + database + " 改为简单恢复模式");
  shell_.showMessageCode(kMessageInformation, "已把数据库 " + database + " 改为简单恢复模式。");
}

void FormHandlers::N8Click() {
  // The scheduler runs the tests, so that two never run at once.
  if (!runtime_.scheduling()) {
    // The service tests when asked; its lines reach this window's pane.
    if (shell_.serviceState() == ServiceState::Running && shell_.signalServiceRestoreTest()) {
      AppendLog("已请备份服务立即测试恢复");
      return;
    }
    shell_.showMessageCode(kMessageInformation, "备份服务或另一个用户的备份程序正在定时备份,恢复测试由它按计划运行。");
    return;
  }
  if (!runtime_.restoreTestNow()) shell_.showMessageCode(kMessageInformation, "正在备份或测试恢复,请在它结束后再试。");
}

void FormHandlers::logged(const LocalDateTime& at, const std::string& text, bool kept) {
  // While another scheduler runs the pane shows the history, where this line
  // now stands among its lines; a line kept only in this user's own history
  // (no right to the shared one) is shown here directly.
  if (kept && follower_ && history_.shownPath() == history_.path()) {
    showHistoryLines();
    return;
  }
  form_.mavMemo1.addLine(LogStamp(at) + text);
}

void FormHandlers::FormCreate() {
  form_.mavMemo1.clear();
  form_.mavMemo1.addLine("备份记录:");
  history_.append(runtime_.now(), "备份记录:");
  runtime_.start();

  // Nothing here waits for a person before the schedule is armed: after a
  // reboot with nobody at the machine, the backups must simply go on.
  std::string autostartFailure;
  try {
    RegisterAutostart();
  } catch (const std::exception& e) {
    autostartFailure = e.what();
  }
  // Never two schedulers: whoever holds the scheduler's lock (the service,
  // another user's program) is known before the first tick.
  if (!scheduler_) SchedulerChanged(true);

  const std::vector<settings::LoadProblem> problems = loadStoredSettings();
  // A start forgets which slots ran today, so that a start within a slot's
  // minute runs it again; unless missed slots are made up, which needs to know
  // what ran. The dates are kept either way (the runtime stores each).
  runtime_.forgetSlotDates();
  if (runtime_.schedule().makeUpMissed) runtime_.applyKeptSlotDates();
  // At start, the slots missed today are made up by the first tick, when asked.
  runtime_.makeUpAtNextTick();
  reportLoadProblems(problems);
  if (!autostartFailure.empty()) AppendLog("无法登记开机自动启动: " + autostartFailure);
}

std::vector<settings::LoadProblem> FormHandlers::loadStoredSettings() {
  loading_ = true;
  std::vector<settings::LoadProblem> problems = form::LoadWindowSettings(form_, registry_, protector_);
  loading_ = false;
  // No field shows it: kept for the backups as stored.
  stallMinutes_ = settings::LoadStoredSettings(registry_, protector_, settings::Groups::Limits).settings.StallMinutes;
  // A slot whose stored time is no time of the day is not armed, and the
  // window shows it off.
  daysUnreadable_ = false;
  for (const settings::LoadProblem& problem : problems) {
    const int slot = SlotOfTimeEditor(form_, problem.control);
    if (slot != 0 && problem.kind == settings::LoadProblem::Kind::InvalidTime) form_.slotCheck(slot).setChecked(false);
    // The editor keeps its default of a few days: cleaning up with it would
    // delete backups that a user who keeps them for years chose to keep.
    if (problem.control == form_.mavSpinEdit1.name()) daysUnreadable_ = true;
  }
  // The server is always this computer, by its name of today (it may have been
  // renamed since the save, or no server was stored), and the stored instance,
  // as the window shows them when it opens.
  computerName_ = shell_.computerName();
  if (!computerName_.empty()) {
    form_.mEdt2.setText(settings::DefaultServer(computerName_, shell_.sqlInstances(), form_.mEdt2.text()));
  }
  if (!form_.mEdt1.text().empty()) {
    Action1Execute();
  } else {
    form_.Timer1.setEnabled(false);
    runtime_.disarm();
  }
  return problems;
}

void FormHandlers::reportLoadProblems(const std::vector<settings::LoadProblem>& problems) {
  runtime_.logSettingsProblems(LoadProblemLines(problems, daysUnreadable_ && form_.dxCheckEdit5.checked()));
}

void FormHandlers::Timer1Timer() { runtime_.tick(); }

void FormHandlers::Timer2Timer() { followHistory(); }

void FormHandlers::PowerResume() { runtime_.powerResume(); }

void FormHandlers::SchedulerChanged(bool scheduling, bool abandoned) {
  const bool first = !scheduler_;
  if (!first && *scheduler_ == scheduling) return;
  scheduler_ = scheduling;
  runtime_.setScheduling(scheduling);
  // The pane follows the shared history while another scheduler runs; the
  // timer that reads it runs only then.
  form_.Timer2.setEnabled(!scheduling);
  if (!scheduling) {
    // The pane becomes the scheduler's history, from its last lines on.
    follower_.emplace(history_.files(), history_.path());
    form_.mavMemo1.clear();
    form_.mavMemo1.addLine("备份记录:");
    AppendLog("备份服务或另一个用户的备份程序正在定时备份: 这里显示它的记录");
    return;
  }
  follower_.reset();
  // Scheduling from the dates the other one kept: a slot it ran today does
  // not run again.
  if (!first) {
    AppendLog(abandoned ? "已接管定时备份: 之前定时备份的服务或程序意外结束" : "已接管定时备份: 之前定时备份的服务或程序已停止");
  }
}

void FormHandlers::followHistory() {
  if (!follower_) return;
  showHistoryLines();
  // The tray icon tells what the service's last backup came to.
  const LocalDateTime now = runtime_.now();
  if (now.minute != refreshedMinute_) {
    refreshedMinute_ = now.minute;
    runtime_.status().load();
  }
}

void FormHandlers::showHistoryLines() {
  if (!follower_) return;
  const std::vector<std::string> lines = follower_->newLines();
  for (const std::string& line : lines) {
    // "YYYY-MM-DD HH:NN:SS text" shows as the pane's own lines do.
    const HistoryLine split = SplitHistoryLine(line);
    if (!split.stamp.empty()) {
      form_.mavMemo1.addLine("[" + std::string(split.stamp.substr(2)) + "]: " + std::string(split.text));
    } else {
      form_.mavMemo1.addLine(line);
    }
  }
  if (followed_) followed_(lines);
}

void FormHandlers::N6Click() {
  // What is installed now decides, not the check mark the menu showed.
  const bool install = shell_.serviceState() == ServiceState::NotInstalled;
  const ServiceChange change = shell_.switchService(install);
  // The check mark shows what is installed now, whatever became of the change.
  form_.N6.setChecked(shell_.serviceState() != ServiceState::NotInstalled);
  if (change.done) {
    AppendLog(install ? "已安装备份服务: 不需要用户登录也会定时备份" : "已移除备份服务: 由本程序定时备份");
    if (!change.note.empty()) {
      AppendLog(change.note);
      shell_.showMessageCode(kMessageInformation, change.note);
    }
  } else if (!change.failure.empty()) {
    shell_.showMessageCode(kMessageStop, (install ? "无法安装备份服务:\r" : "无法移除备份服务:\r") + change.failure);
  }
}

void FormHandlers::RegisterAutostart() {
  settings::EnsureRunValue(registry_, std::string(form::kFrmMainCaption), settings::RunCommand(shell_.programPath()));
}

void FormHandlers::FormShow() {
  computerName_ = shell_.computerName();
  instances_ = shell_.sqlInstances();
  // The server is always this computer: its name goes in front, and the
  // instance the field names stays; with none named and only one named
  // instance installed (SQL Server Express installs "SQLEXPRESS"), that one.
  form_.mEdt2.setText(settings::DefaultServer(computerName_, instances_, form_.mEdt2.text()));
  // The login and the folder get their defaults only when empty: opening the
  // window must not change saved settings.
  if (form_.mEdt3.tText().empty()) form_.mEdt3.setText(std::string(kDefaultUser));
  if (form_.mavBEdit2.tText().empty()) form_.mavBEdit2.setText(DefaultBackupDir());
}

std::string FormHandlers::DefaultBackupDir() {
  // The server's service account writes the backups: D: only when it is a
  // disk of this computer, otherwise the folder the instance itself uses.
  if (shell_.fixedDisk('D')) return std::string(kDefaultBackupDir);
  const std::string server = form_.mEdt2.tText();
  const size_t slash = server.find('\\');
  const std::string instance = slash == std::string::npos ? std::string(settings::kDefaultInstance) : server.substr(slash + 1);
  for (const settings::SqlInstance& found : instances_) {
    if (EqualsIgnoringAsciiCase(found.name, instance) && !found.backupDirectory.empty()) return found.backupDirectory;
  }
  return std::string(kFallbackBackupDir);
}

void FormHandlers::Action1Execute() {
  // Stopped and started again: the schedule is armed and its cadence starts now.
  form_.Timer1.setEnabled(false);
  form_.Timer1.setEnabled(true);
  runtime_.arm(FormSchedule());
}

Schedule FormHandlers::FormSchedule() {
  Schedule schedule;
  BackupSettings& settings = schedule.settings;
  // Trimmed as the save checks them, so that what was proved is what runs;
  // the password counts every character, in both.
  settings.server = form_.mEdt2.tText();
  settings.user = form_.mEdt3.tText();
  settings.password = form_.mEdt4.text();
  settings.database = form_.mEdt1.tText();

  // Trimmed as the save's folder check proved it: the folder that is checked
  // is the folder the backups go to.
  std::string dir = form_.mavBEdit2.tText();
  if (dir.empty() || dir.back() != '\\') dir += '\\';
  if (dir != form_.mavBEdit2.text()) form_.mavBEdit2.setText(dir);
  settings.backupDir = dir;

  for (int slot = 1; slot <= 4; ++slot) {
    SlotState& state = settings.slots[static_cast<size_t>(slot) - 1];
    state.enabled = form_.slotCheck(slot).checked();
    state.time = form_.slotTime(slot).dText();
  }
  settings.cleanupEnabled = form_.dxCheckEdit5.checked();
  schedule.cleanupHeld = daysUnreadable_;
  settings.retentionDays = form_.mavSpinEdit1.mIntValue();
  std::string copies = form_.mavBEdit3.tText();
  if (!copies.empty() && copies.back() != '\\') copies += '\\';
  settings.replicaDir = copies;
  schedule.makeUpMissed = form_.dxCheckEdit6.checked();
  settings.stallMinutes = stallMinutes_;
  const settings::StoredSettings options = form::StoredFields(form_);
  settings.verifyBackups = options.VerifyBackups;
  settings.restoreTest = settings::StoredRestoreTestPlan(options);
  settings.logBackups = options.BackupLog;
  settings.pingAddress = TrimControl(options.PingAddress);
  settings.restoreTestPingAddress = TrimControl(options.RestoreTestPingAddress);
  return schedule;
}

bool FormHandlers::FormCloseQuery() {
  return shell_.showMessageCode(kMessageYesNo, "确信要退出备份程序?") != kAnswerNo;
}

bool FormHandlers::WMSysCommand(unsigned command) {
  if (command != kMinimizeCommand) return false;
  BitBtn3Click();
  return true;
}

void FormHandlers::BitBtn3Click() {
  // ServingMode: minimise-to-tray on, the tray icon shown, the window hidden.
  form_.rmTrayIcon1.minimizeToTray = true;
  form_.rmTrayIcon1.setVisible(true);
  shell_.hideWindow();
}

void FormHandlers::N1Click() {
  // SettingsMode: minimise-to-tray off, the tray icon hidden, the window shown.
  form_.rmTrayIcon1.minimizeToTray = false;
  form_.rmTrayIcon1.setVisible(false);
  shell_.showWindow();
}

void FormHandlers::BitBtn2Click() { shell_.requestClose(); }
void FormHandlers::N2Click() { shell_.requestClose(); }
void FormHandlers::N4Click() { shell_.openAddress(std::string(form::kMakerWebAddress)); }
void FormHandlers::Label10Click(const std::string& labelText) { shell_.openAddress(labelText); }
// The file that holds this program's lines: this user's own history when the
// shared one could not be written.
void FormHandlers::N5Click() { shell_.openFile(history_.shownPath()); }

void FormHandlers::BitBtn1Click() {
  form_.mavMemo1.clear();
  FolderCheck check;
  if (const std::optional<SaveProblem> problem = validateSave(check)) {
    shell_.showMessageCode(kMessageStop, problem->message);
    if (problem->focus) shell_.focus(*problem->focus);
    return;
  }
  const std::string checkedFolder = form_.mavBEdit2.tText();

  // Settings that could not be stored are not applied either, and the save is
  // not reported as done: they would be lost at the next start.
  bool stored = false;
  std::string failure;
  try {
    // The second folder beside the control states, never among them.
    stored = form::SaveWindowSettings(form_, registry_, protector_);
  } catch (const std::exception& e) {
    failure = e.what();
  }
  if (!stored) {
    // Without administrator rights the machine-wide settings cannot be
    // written at all: say so, and offer what helps.
    if (!shell_.elevated()) {
      offerElevatedRestart();
    } else if (failure.empty()) {
      shell_.showMessageCode(kMessageStoreFailed, "");
    } else {
      shell_.showMessageCode(kMessageStop, failure);
    }
    return;
  }
  // The days just saved are what the editor shows: cleanup runs again.
  daysUnreadable_ = false;
  Action1Execute();
  AppendLog("保存成功!");
  // The event log shows the program's texts once it knows where they are:
  // every administrator's save says so again (the program may have moved).
  if (shell_.elevated()) {
    if (const std::string failure = shell_.registerEventSource(); !failure.empty())
      AppendLog("无法注册事件日志的来源: " + failure);
  }
  if (check.outcome == FolderCheck::Outcome::Doubtful) {
    shell_.showMessageCode(kMessageInformation,
                           "设置已保存,但SQL服务器现在无法写入" + std::string(kDirectoryCaption) + " " + checkedFolder +
                               ":\r" + check.reason + "\r磁盘已满时请腾出空间(例如减少保留的天数),否则下次备份会失败。");
  }
  // What would make the backups just saved fail later, while there is time.
  // Told as the daily checks tell it: lines and a balloon, never a box that
  // would stand between the save and whoever made it.
  if (healthAtSave_) runtime_.healthChecked(healthAtSave_(runtime_.latest().settings));
  // The service schedules from the stored settings: it reads them again now.
  if (shell_.serviceState() == ServiceState::Running && !shell_.signalService())
    AppendLog("无法通知备份服务重新读取设置: 服务重新启动后才会使用新的设置");
}

std::optional<FormHandlers::SaveProblem> FormHandlers::validateSave(FolderCheck& check) {
  auto& server = form_.mEdt2;
  auto& user = form_.mEdt3;
  auto& password = form_.mEdt4;
  auto& database = form_.mEdt1;
  auto& folder = form_.mavBEdit2;

  if (server.tText().empty()) server.setText(computerName_);
  if (user.tText().empty()) return SaveProblem{std::string(kUserCaption) + "不存在!\r通常为:sa", &user};
  if (database.tText().empty()) return SaveProblem{std::string(kDatabaseCaption) + "不存在!", &database};

  bool found = false;
  try {
    session_.open(user.tText(), password.text(), server.tText());
    AppendLog("数据库连接成功!");
    session_.listDatabases();
    found = session_.locate(database.tText());
  } catch (const std::exception& e) {
    // The box names the possible causes; the log keeps what the driver and
    // the server said, for whoever must find out which.
    AppendLog("数据库连接失败! " + DescribeFailure(e));
    // The message names "no SQL Server installed on this computer" as the
    // first possible cause; the instance button says it outright.
    return SaveProblem{std::string(kConnectFailed), nullptr};
  }
  if (!found) return SaveProblem{std::string(kDatabaseCaption) + database.tText() + "不存在!", &database};

  if (folder.tText().empty()) return SaveProblem{"请指定" + std::string(kDirectoryCaption) + "!", &folder};

  for (int slot = 1; slot <= 4; ++slot) {
    auto& time = form_.slotTime(slot);
    if (!form::IsValidTime(time.dText()))
      return SaveProblem{form::SettingsForm::SlotCaption(slot) + "的时间无效,请输入00:00到23:59之间的时间!", &time};
  }
  auto& days = form_.mavSpinEdit1;
  const double value = days.value();
  if (!(value >= days.minValue() && value <= days.maxValue() && value == std::trunc(value))) {
    return SaveProblem{"自动删除的天数必须在" + std::to_string(static_cast<long long>(days.minValue())) + "到" +
                           std::to_string(static_cast<long long>(days.maxValue())) + "之间!",
                       &days};
  }

  // The server's service account, not the user, writes the backups: the
  // server itself creates the folder and proves it can write there, now
  // rather than at the first backup at night.
  check = CheckBackupFolder(session_, folder.tText());
  if (check.outcome == FolderCheck::Outcome::Refused) {
    return SaveProblem{"SQL服务器无法创建或写入" + std::string(kDirectoryCaption) + " " + folder.tText() + ":\r" +
                           check.reason +
                           "\r请让SQL Server服务的登录帐户(例如 NT Service\\MSSQLSERVER)"
                           "对该目录有修改权限,或选择另一个目录。",
                       &folder};
  }
  if (check.outcome == FolderCheck::Outcome::NotChecked) AppendLog("无法检查备份目录: " + check.reason);
  // The server could not write there just now (a full disk, the scratch file
  // held by another program): saved all the same, so that fewer days to keep
  // can be saved to free space, with the reason told.
  if (check.outcome == FolderCheck::Outcome::Doubtful) AppendLog("警告: SQL服务器现在无法写入备份目录: " + check.reason);
  if (!check.note.empty()) AppendLog(check.note);
  return std::nullopt;
}

void FormHandlers::offerElevatedRestart() {
  const int answer = shell_.showMessageCode(
      kMessageYesNo,
      "保存设置需要管理员权限。\r是否以管理员身份重新启动本程序?\r"
      "重新启动后会打开设置界面,请在其中再次输入设置并保存。");
  // The program started with the rights takes over the schedule: this one
  // ends first, so that two never run at once.
  if (answer == kAnswerYes && shell_.restartElevated()) shell_.quit();
}

void FormHandlers::SpeedButton1Click() {
  auto& list = form_.mavTree1;
  try {
    session_.open(form_.mEdt3.tText(), form_.mEdt4.text(), form_.mEdt2.tText());
    const std::vector<std::string> names = session_.listDatabases();
    list.clear();
    for (const std::string& name : names) list.addTopNode({name});
  } catch (const std::exception&) {
    // The list empties without a word, as the refresh always has: the save
    // tells why a connection fails.
    list.clear();
  }
}

void FormHandlers::SpeedButton2Click() {
  instances_ = shell_.sqlInstances();
  if (instances_.empty()) {
    shell_.showMessageCode(kMessageStop, std::string(kNoServer));
    return;
  }
  std::vector<std::string> servers;
  for (const settings::SqlInstance& instance : instances_) servers.push_back(settings::ServerFor(computerName_, instance));
  if (const std::optional<size_t> chosen = shell_.choose(form_.mEdt2, servers)) form_.mEdt2.setText(servers[*chosen]);
}

void FormHandlers::mEdt1InitPopup() {
  if (form_.mavTree1.topNodes().empty()) SpeedButton1Click();
}

void FormHandlers::mavTree1Click() {
  auto& database = form_.mEdt1;
  form::TreeNode* row = form_.mavTree1.focusedNode();
  if (!row || !database.droppedDown()) return;
  database.closeUp(true);
  database.setText(row->values.empty() ? std::string() : row->values[0]);
}

void FormHandlers::mavBEdit2ButtonClick() { browseInto(form_.mavBEdit2, std::string(kFolderTitle)); }

void FormHandlers::mavBEdit3ButtonClick() {
  browseInto(form_.mavBEdit3, "请选择备份复制到的目录(另一块磁盘、移动硬盘或网络共享)");
}

void FormHandlers::browseInto(form::TmavBEdit& field, const std::string& title) {
  // A cancelled or pathless choice leaves the field as it is.
  const std::optional<std::string> chosen = shell_.browseForFolder(title);
  if (!chosen || TrimControl(*chosen).empty()) return;
  std::string path = *chosen;
  if (path.back() != '\\') path += '\\';
  field.setText(path);
}

}  // namespace bakwyn::app
