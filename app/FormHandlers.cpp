#include "app/FormHandlers.h"

#include <cmath>
#include <exception>
#include <stdexcept>

#include "base/Text.h"
#include "settings/Autostart.h"
#include "settings/ControlStore.h"

namespace bakwyn::app {
namespace {

constexpr int kMessageStop = 1;      // OK, stop icon
constexpr int kMessageStoreFailed = 0;  // "数据存储失败,请再试一次!"
constexpr int kMessageYesNo = 31;    // Yes and No, question icon
constexpr int kAnswerNo = 7;
constexpr unsigned kMinimizeCommand = 61472;  // SC_MINIMIZE

constexpr std::string_view kUserCaption = "SQL数据库用户名";
constexpr std::string_view kDatabaseCaption = "SQL数据库名称";
constexpr std::string_view kDirectoryCaption = "SQL数据库备份目录";
constexpr std::string_view kConnectFailed =
    "无法联接到你所指定的SQL服务器.\r请检查你输入的各个参数的正确性!\r可能原因:\r"
    "1.  指定电脑上并没有安装SQL数据库;\r2.  SQL服务器还没有启动.\r3.  或者SA密码不正确.\r";
constexpr std::string_view kFolderTitle = "请选择一个目录来做为Vorda软件数据库备份位置";
constexpr int kAnswerYes = 6;
constexpr const char* kSlotWords[] = {"一", "二", "三", "四"};
constexpr size_t kShownStoredText = 80;  // characters of a bad stored value quoted in the log

// At most `count` characters (UTF-8 code points) of `text`, marked when cut.
std::string Shortened(const std::string& text, size_t count) {
  size_t seen = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (seen++ == count) return text.substr(0, i) + "...";
  }
  return text;
}

// The number of a backup-time control ("dxTimeEdit3" -> 3), or 0.
int SlotOf(const std::string& control, std::string_view prefix) {
  if (control.size() != prefix.size() + 1 || control.compare(0, prefix.size(), prefix) != 0) return 0;
  const char digit = control.back();
  return digit >= '1' && digit <= '4' ? digit - '0' : 0;
}

}  // namespace

FormHandlers::FormHandlers(ui::ComponentOwner& form, BackupSettings& settings, ServerSession& session,
                           settings::Registry& registry, const settings::SecretProtector& protector,
                           FormShell& shell)
    : form_(form), settings_(settings), session_(session), registry_(registry), protector_(protector),
      shell_(shell) {
  for (const char* name : {"dxCheckEdit1", "dxCheckEdit2", "dxCheckEdit3", "dxCheckEdit4"}) {
    control<ui::TdxCheckEdit>(name).onChange = [this](ui::TdxCheckEdit& sender) { dxCheckEdit1Change(sender); };
  }
  control<ui::TdxCheckEdit>("dxCheckEdit5").onChange = [this](ui::TdxCheckEdit& sender) {
    dxCheckEdit5Change(sender);
  };
  control<ui::TmavPopEdit>("mEdt1").onInitPopup = [this](ui::TdxPopupEdit&) { mEdt1InitPopup(); };
  control<ui::TmavTree>("mavTree1").onClick = [this](ui::TdxTreeList&) { mavTree1Click(); };
  control<ui::TmavBEdit>("mavBEdit2").onButtonClick = [this](ui::TdxButtonEdit&) { mavBEdit2ButtonClick(); };
}

template <typename T>
T& FormHandlers::control(std::string_view name) const {
  auto* found = dynamic_cast<T*>(form_.find(std::string(name)));
  if (!found) throw std::logic_error("the window has no control " + std::string(name) + " of the expected kind");
  return *found;
}

void FormHandlers::FormCreate() {
  shell_.clearLog();
  shell_.addLogLine("备份记录:");
  for (SlotState& slot : settings_.slots) slot.lastRunDate.clear();

  // Nothing here waits for a person before the schedule is armed: after a
  // reboot with nobody at the machine, the backups must simply go on.
  std::string autostartFailure;
  try {
    RegisterAutostart();
  } catch (const std::exception& e) {
    autostartFailure = e.what();
  }

  const std::vector<settings::LoadProblem> problems = settings::LoadControlStates(form_, registry_, protector_);
  // A slot whose stored time is no time of the day is not armed, and the
  // window shows it off.
  for (const settings::LoadProblem& problem : problems) {
    if (const int slot = SlotOf(problem.control, "dxTimeEdit");
        slot != 0 && problem.kind == settings::LoadProblem::Kind::InvalidTime) {
      control<ui::TdxCheckEdit>("dxCheckEdit" + std::to_string(slot)).setChecked(false);
    }
  }
  if (!control<ui::TmavPopEdit>("mEdt1").text().empty()) Action1Execute();

  for (const settings::LoadProblem& problem : problems) {
    const std::string shown = Shortened(problem.stored, kShownStoredText);
    if (problem.kind == settings::LoadProblem::Kind::InvalidTime) {
      const int slot = SlotOf(problem.control, "dxTimeEdit");
      const std::string name = slot ? std::string("备份时间") + kSlotWords[slot - 1] : problem.control;
      shell_.appendLog(name + ": 存储的时间 \"" + shown + "\" 无效,此备份时间不会运行");
    } else if (problem.stored.empty()) {
      shell_.appendLog("无法读取存储的设置: " + problem.control + ",已忽略");
    } else {
      shell_.appendLog("无法读取存储的设置: " + problem.control + " \"" + shown + "\",已忽略");
    }
  }
  if (!autostartFailure.empty()) shell_.appendLog("无法登记开机自动启动: " + autostartFailure);
}

void FormHandlers::RegisterAutostart() {
  settings::EnsureRunValue(registry_, std::string(ui::kFrmMainCaption), settings::RunCommand(shell_.programPath()));
}

void FormHandlers::FormShow() {
  computerName_ = shell_.computerName();
  // The server is always this computer. The login and the folder get their
  // defaults only when empty: opening the window must not change saved settings.
  control<ui::TmEdt>("mEdt2").setText(computerName_);
  auto& user = control<ui::TmEdt>("mEdt3");
  if (user.tText().empty()) user.setText(std::string(kDefaultUser));
  auto& folder = control<ui::TmavBEdit>("mavBEdit2");
  if (folder.tText().empty()) folder.setText(std::string(kDefaultBackupDir));
}

void FormHandlers::Action1Execute() {
  shell_.restartTimer();
  // Trimmed as the save checks them, so that what was proved is what runs;
  // the password counts every character, in both.
  settings_.server = control<ui::TmEdt>("mEdt2").tText();
  settings_.user = control<ui::TmEdt>("mEdt3").tText();
  settings_.password = control<ui::TmEdt>("mEdt4").text();
  settings_.database = control<ui::TmavPopEdit>("mEdt1").tText();

  auto& folder = control<ui::TmavBEdit>("mavBEdit2");
  std::string dir = folder.text();
  if (dir.empty() || dir.back() != '\\') {
    dir += '\\';
    folder.setText(dir);
  }
  settings_.backupDir = dir;

  for (int i = 0; i < 4; ++i) {
    const std::string digit(1, static_cast<char>('1' + i));
    settings_.slots[i].enabled = control<ui::TdxCheckEdit>("dxCheckEdit" + digit).checked();
    settings_.slots[i].time = control<ui::TmavTimeEdit>("dxTimeEdit" + digit).dText();
  }
  settings_.cleanupEnabled = control<ui::TdxCheckEdit>("dxCheckEdit5").checked();
  settings_.retentionDays = control<ui::TmavSpinEdit>("mavSpinEdit1").mIntValue();
}

void FormHandlers::dxCheckEdit1Change(ui::TdxCheckEdit& sender) {
  // The paired editor carries the check box's digit: dxCheckEdit3 -> dxTimeEdit3.
  const std::string& name = sender.name();
  if (name.size() < 12) return;
  if (auto* editor = dynamic_cast<ui::Control*>(form_.find("dxTimeEdit" + name.substr(11, 1)))) {
    editor->setEnabled(sender.checked());
  }
}

void FormHandlers::dxCheckEdit5Change(ui::TdxCheckEdit& sender) {
  control<ui::TmavSpinEdit>("mavSpinEdit1").setEnabled(sender.checked());
}

bool FormHandlers::FormCloseQuery() {
  return shell_.showMessageCode(kMessageYesNo, "确信要退出备份程序?") != kAnswerNo;
}

bool FormHandlers::WMSysCommand(unsigned command) {
  if (command != kMinimizeCommand) return false;
  BitBtn3Click();
  return true;
}

void FormHandlers::BitBtn3Click() { shell_.enterServingMode(); }
void FormHandlers::N1Click() { shell_.enterSettingsMode(); }
void FormHandlers::BitBtn2Click() { shell_.requestClose(); }
void FormHandlers::N2Click() { shell_.requestClose(); }
void FormHandlers::N4Click() { shell_.openAddress(std::string(ui::kMakerWebAddress)); }
void FormHandlers::Label10Click(const std::string& labelText) { shell_.openAddress(labelText); }

void FormHandlers::BitBtn1Click() {
  shell_.clearLog();
  auto& server = control<ui::TmEdt>("mEdt2");
  auto& user = control<ui::TmEdt>("mEdt3");
  auto& password = control<ui::TmEdt>("mEdt4");
  auto& database = control<ui::TmavPopEdit>("mEdt1");
  auto& folder = control<ui::TmavBEdit>("mavBEdit2");

  if (server.tText().empty()) server.setText(computerName_);
  if (user.tText().empty()) {
    shell_.showMessageCode(kMessageStop, std::string(kUserCaption) + "不存在!\r通常为:sa");
    shell_.focus(user);
    return;
  }
  if (database.tText().empty()) {
    shell_.showMessageCode(kMessageStop, std::string(kDatabaseCaption) + "不存在!");
    shell_.focus(database);
    return;
  }

  bool found = false;
  try {
    session_.open(user.tText(), password.text(), server.tText());
    shell_.appendLog("数据库连接成功!");
    session_.listDatabases();
    found = session_.locate(database.tText());
  } catch (const std::exception&) {
    shell_.showMessageCode(kMessageStop, std::string(kConnectFailed));
    return;
  }
  if (!found) {
    shell_.showMessageCode(kMessageStop, std::string(kDatabaseCaption) + database.tText() + "不存在!");
    shell_.focus(database);
    return;
  }

  if (folder.tText().empty()) {
    shell_.showMessageCode(kMessageStop, "请指定" + std::string(kDirectoryCaption) + "!");
    shell_.focus(folder);
    return;
  }

  if (!checkSchedule()) return;

  // Settings that could not be stored are not applied either, and the save is
  // not reported as done: they would be lost at the next start.
  bool stored = false;
  std::string failure;
  try {
    stored = settings::SaveControlStates(form_, registry_, protector_);
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
  Action1Execute();
  shell_.appendLog("保存成功!");
}

bool FormHandlers::checkSchedule() {
  for (int i = 0; i < 4; ++i) {
    auto& time = control<ui::TmavTimeEdit>("dxTimeEdit" + std::to_string(i + 1));
    if (ui::IsValidTime(time.dText())) continue;
    shell_.showMessageCode(kMessageStop,
                           std::string("备份时间") + kSlotWords[i] + "的时间无效,请输入00:00到23:59之间的时间!");
    shell_.focus(time);
    return false;
  }
  auto& days = control<ui::TmavSpinEdit>("mavSpinEdit1");
  const double value = days.value();
  if (!(value >= days.minValue() && value <= days.maxValue() && value == std::trunc(value))) {
    shell_.showMessageCode(kMessageStop, "自动删除的天数必须在" + std::to_string(static_cast<long long>(days.minValue())) +
                                             "到" + std::to_string(static_cast<long long>(days.maxValue())) + "之间!");
    shell_.focus(days);
    return false;
  }
  return true;
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
  auto& list = control<ui::TmavTree>("mavTree1");
  try {
    session_.open(control<ui::TmEdt>("mEdt3").tText(), control<ui::TmEdt>("mEdt4").text(),
                  control<ui::TmEdt>("mEdt2").tText());
    const std::vector<std::string> names = session_.listDatabases();
    list.clear();
    for (const std::string& name : names) list.addTopNode({name});
  } catch (const std::exception&) {
    list.clear();
  }
}

void FormHandlers::mEdt1InitPopup() {
  if (control<ui::TmavTree>("mavTree1").topNodes().empty()) SpeedButton1Click();
}

void FormHandlers::mavTree1Click() {
  auto& list = control<ui::TmavTree>("mavTree1");
  auto& database = control<ui::TmavPopEdit>("mEdt1");
  ui::TreeNode* row = list.focusedNode();
  if (!row || !database.droppedDown()) return;
  database.closeUp(true);
  database.setText(row->values.empty() ? std::string() : row->values[0]);
}

void FormHandlers::mavBEdit2ButtonClick() {
  const std::optional<std::string> chosen = shell_.browseForFolder(std::string(kFolderTitle));
  if (!chosen || TrimControl(*chosen).empty()) return;
  std::string path = *chosen;
  if (path.back() != '\\') path += '\\';
  control<ui::TmavBEdit>("mavBEdit2").setText(path);
}

}  // namespace bakwyn::app
