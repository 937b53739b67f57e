#pragma once
// The program's window: the layout of ui::MainForm with the handlers of
// FormHandlers and the backup engine behind it. This class is the only place
// where Win32 meets the handlers: it implements their FormShell.
#include "app/FormHandlers.h"
#include "engine/BackupEngine.h"
#include "engine/BackupSettings.h"
#include "engine/Clock.h"
#include "engine/FileSystem.h"
#include "server/ServerSession.h"
#include "settings/Registry.h"
#include "settings/SecretProtector.h"
#include "ui/MainForm.h"

namespace bakwyn::app {

class TFrmMain final : public ui::MainForm, private FormShell {
 public:
  // Creates the window hidden. Every reference must outlive the window.
  TFrmMain(BackupSettings& settings, const Clock& clock, ServerSession& session, FileSystem& files,
           settings::Registry& registry, const settings::SecretProtector& protector);
  ~TFrmMain() override;

  // Start-up: log header, autostart, stored settings, and the schedule when a
  // database was stored. Separate from the constructor so that a failure here
  // still leaves a working window in the tray.
  void FormCreate() { handlers_.FormCreate(); }
  // Opens the settings window, as the tray menu's "设置界面" does.
  void showSettings() { handlers_.N1Click(); }

 private:
  // The window's events.
  void FormShow() override { handlers_.FormShow(); }
  bool FormCloseQuery() override { return handlers_.FormCloseQuery(); }
  void FormDestroy() override;
  bool WMSysCommand(WPARAM command) override { return handlers_.WMSysCommand(static_cast<unsigned>(command)); }
  void BitBtn1Click() override { handlers_.BitBtn1Click(); }
  void BitBtn2Click() override { handlers_.BitBtn2Click(); }
  void BitBtn3Click() override { handlers_.BitBtn3Click(); }
  void SpeedButton1Click() override { handlers_.SpeedButton1Click(); }
  void mavBEdit2ButtonClick() override { handlers_.mavBEdit2ButtonClick(); }
  void mEdt1InitPopup() override { handlers_.mEdt1InitPopup(); }
  void mavTree1Click() override { handlers_.mavTree1Click(); }
  void Label10Click(ui::LinkLabel& sender) override { handlers_.Label10Click(sender.caption()); }
  void dxCheckEdit1Change(ui::TdxCheckEdit& sender) override { handlers_.dxCheckEdit1Change(sender); }
  void dxCheckEdit5Change(ui::TdxCheckEdit& sender) override { handlers_.dxCheckEdit5Change(sender); }
  void N1Click() override { handlers_.N1Click(); }
  void N2Click() override { handlers_.N2Click(); }
  void N4Click() override { handlers_.N4Click(); }
  void Timer1Timer() override { engine_.Timer1Timer(); }
  void BakExecute() override { engine_.BakExecute(); }
  void Action1Execute() override { handlers_.Action1Execute(); }
  void deleteoldfileExecute() override { engine_.deleteoldfileExecute(); }

  // FormShell
  void clearLog() override { ClearLog(); }
  void addLogLine(const std::string& text) override { AddLogLine(text); }
  void appendLog(const std::string& text) override { AppendLog(text); }
  int showMessageCode(int code, const std::string& text) override { return ShowMessageCode(code, text); }
  void showError(const std::string& text) override;
  void focus(ui::Control& control) override;
  std::string computerName() override;
  std::string programPath() override;
  void restartTimer() override;
  void enterServingMode() override;
  void enterSettingsMode() override;
  void requestClose() override;
  void openAddress(const std::string& address) override;
  std::optional<std::string> browseForFolder(const std::string& title) override;
  bool elevated() override;
  bool restartElevated() override;
  void quit() override;

  BackupEngine engine_;
  FormHandlers handlers_;
};

}  // namespace bakwyn::app
