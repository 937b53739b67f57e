#include "app/FormHandlers.h"

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

  // A Run key that cannot be written is reported, but the settings are still
  // loaded and applied: a machine without autostart must go on making backups.
  try {
    RegisterAutostart();
  } catch (const std::exception& e) {
    shell_.showError(e.what());
  }

  try {
    settings::LoadControlStates(form_, registry_, protector_);
  } catch (const std::exception& e) {
    // The rest of the controls stay as they are and nothing is applied.
    shell_.showError(e.what());
    return;
  }
  if (!control<ui::TmavPopEdit>("mEdt1").text().empty()) Action1Execute();
}

void FormHandlers::RegisterAutostart() {
  settings::WriteRunValue(registry_, std::string(ui::kFrmMainCaption), shell_.programPath());
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
  settings_.server = control<ui::TmEdt>("mEdt2").text();
  settings_.user = control<ui::TmEdt>("mEdt3").text();
  settings_.password = control<ui::TmEdt>("mEdt4").text();
  settings_.database = control<ui::TmavPopEdit>("mEdt1").text();

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
    session_.open(user.tText(), password.tText(), server.tText());
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

  // Settings that could not be stored are not applied either, and the save is
  // not reported as done: they would be lost at the next start.
  try {
    if (!settings::SaveControlStates(form_, registry_, protector_)) {
      shell_.showMessageCode(kMessageStoreFailed, "");
      return;
    }
  } catch (const std::exception& e) {
    shell_.showMessageCode(kMessageStop, e.what());
    return;
  }
  Action1Execute();
  shell_.appendLog("保存成功!");
}

void FormHandlers::SpeedButton1Click() {
  auto& list = control<ui::TmavTree>("mavTree1");
  try {
    session_.open(control<ui::TmEdt>("mEdt3").tText(), control<ui::TmEdt>("mEdt4").tText(),
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
