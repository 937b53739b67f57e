#pragma once
// What the main window does when the user or the system acts on it: start-up,
// applying settings to the engine, the tray modes, exit, saving and the
// database list. Plain C++ over the control model, the store and the server
// session; everything that needs Win32 goes through FormShell, which the
// window implements. So every handler runs natively in tests with a fake shell.
#include <optional>
#include <string>
#include <string_view>

#include "engine/BackupSettings.h"
#include "server/ServerSession.h"
#include "settings/Registry.h"
#include "settings/SecretProtector.h"
#include "ui/Controls.h"
#include "ui/FrmMainIds.h"

namespace bakwyn::app {

inline constexpr std::string_view kDefaultUser = "sa";
inline constexpr std::string_view kDefaultBackupDir = "D:\\数据库自动备份目录";

// The window's side of the handlers.
class FormShell {
 public:
  virtual ~FormShell() = default;
  virtual void clearLog() = 0;
  virtual void addLogLine(const std::string& text) = 0;  // as it stands, no time stamp
  virtual void appendLog(const std::string& text) = 0;   // with the time stamp
  virtual int showMessageCode(int code, const std::string& text) = 0;
  // Errors the program cannot attribute to a handler's own checks (start-up).
  virtual void showError(const std::string& text) = 0;
  virtual void focus(ui::Control& control) = 0;
  virtual std::string computerName() = 0;
  virtual std::string programPath() = 0;
  // Stops the 100-millisecond timer and starts it again: arms the schedule.
  virtual void restartTimer() = 0;
  // ServingMode: window hidden, tray icon shown, minimise-to-tray on.
  virtual void enterServingMode() = 0;
  // SettingsMode: tray icon hidden, minimise-to-tray off, window shown.
  virtual void enterSettingsMode() = 0;
  virtual void requestClose() = 0;
  virtual void openAddress(const std::string& address) = 0;
  // The folder browser; nothing when cancelled or when the folder has no path.
  virtual std::optional<std::string> browseForFolder(const std::string& title) = 0;
  // True when the program runs with administrator rights (the machine-wide
  // settings can be written).
  virtual bool elevated() = 0;
  // Starts the program again with administrator rights (the system asks the
  // user) to open its settings window; true once it was started.
  virtual bool restartElevated() = 0;
  // Ends the program without the exit question.
  virtual void quit() = 0;
};

class FormHandlers {
 public:
  // `form` holds the window's components by name; every reference must outlive this.
  FormHandlers(ui::ComponentOwner& form, BackupSettings& settings, ServerSession& session,
               settings::Registry& registry, const settings::SecretProtector& protector, FormShell& shell);

  // Start-up and the window's own events.
  void FormCreate();
  void FormShow();
  bool FormCloseQuery();
  // True when the command was handled (a minimise goes to the tray).
  bool WMSysCommand(unsigned command);

  void Action1Execute();
  void RegisterAutostart();
  void dxCheckEdit1Change(ui::TdxCheckEdit& sender);
  void dxCheckEdit5Change(ui::TdxCheckEdit& sender);

  void BitBtn1Click();  // save
  void BitBtn2Click();  // exit
  void BitBtn3Click();  // serve from the tray
  void N1Click();       // settings window
  void N2Click();       // exit
  void N4Click();       // the maker's web site
  void Label10Click(const std::string& labelText);

  void SpeedButton1Click();  // refresh the database list
  void mEdt1InitPopup();
  void mavTree1Click();
  void mavBEdit2ButtonClick();

  const std::string& computerName() const { return computerName_; }

 private:
  template <typename T>
  T& control(std::string_view name) const;
  // The checks that keep a save from storing what could never run.
  bool checkSchedule();
  void offerElevatedRestart();

  ui::ComponentOwner& form_;
  BackupSettings& settings_;
  ServerSession& session_;
  settings::Registry& registry_;
  const settings::SecretProtector& protector_;
  FormShell& shell_;
  std::string computerName_;
};

}  // namespace bakwyn::app
