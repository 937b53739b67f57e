#pragma once
// The program's window: the model of the settings window, its Win32 side, the
// backup engine and the handlers, put together. This class is the only place
// where Win32 meets the handlers: it implements their FormShell.
#include "app/Backups.h"
#include "app/EventLog.h"
#include "app/WinHttp.h"
#include "app/FormHandlers.h"
#include "engine/BackupEngine.h"
#include "engine/BackupSettings.h"
#include "engine/Clock.h"
#include "engine/FileSystem.h"
#include "engine/History.h"
#include "server/OdbcServerSession.h"
#include "form/RestoreForm.h"
#include "form/SettingsForm.h"
#include "server/ServerSession.h"
#include "settings/Registry.h"
#include "settings/SecretProtector.h"
#include "ui/MainWindow.h"
#include "ui/RestoreWindow.h"

#include <memory>
#include <optional>

#include "app/SchedulerLock.h"

namespace bakwyn::app {

class TFrmMain final : private FormShell {
 public:
  // Creates the window hidden, in the tray. Every reference must outlive the window.
  // `session` is the backups'; the window's checks (the save, the database
  // list) use one of their own, as they run while a backup does.
  TFrmMain(const Clock& clock, ServerSession& session, FileSystem& files, settings::Registry& registry,
           const settings::SecretProtector& protector);
  // A backup under way is cancelled, and waited for.
  ~TFrmMain();
  TFrmMain(const TFrmMain&) = delete;
  TFrmMain& operator=(const TFrmMain&) = delete;

  // Start-up: log header, autostart, stored settings, and the schedule when a
  // database was stored. Separate from the constructor so that a failure here
  // still leaves a working window in the tray.
  // The scheduler's lock is asked for then: held, this program schedules;
  // otherwise it stands by until the lock is let go of.
  void FormCreate();
  // Opens the settings window, as the tray menu's "设置界面" does.
  void showSettings() { form_.N1.onClick(); }
  HWND hwnd() const { return window_.hwnd(); }
  // While another holds the scheduler's lock, the mutex the message loop
  // waits on beside the messages; null otherwise. When the wait returns it,
  // the loop calls schedulerLockTaken: this program then schedules.
  HANDLE schedulerLockWaitable() const;
  void schedulerLockTaken(bool abandoned);

 private:
  // FormShell
  int showMessageCode(int code, const std::string& text) override { return window_.ShowMessageCode(code, text); }
  void focus(const form::Control& control) override { window_.focus(control); }
  std::string computerName() override;
  std::string programPath() override;
  void showWindow() override { window_.show(); }
  void hideWindow() override { window_.hide(); }
  void requestClose() override { window_.requestClose(); }
  void openAddress(const std::string& address) override;
  void openFile(const std::string& path) override;
  std::optional<std::string> browseForFolder(const std::string& title) override;
  bool elevated() override;
  bool restartElevated() override;
  void quit() override;
  std::vector<settings::SqlInstance> sqlInstances() override;
  std::optional<size_t> choose(const form::Control& anchor, const std::vector<std::string>& items) override;
  bool fixedDisk(char drive) override;
  ServiceState serviceState() override;
  ServiceChange switchService(bool install) override;
  bool signalService() override;
  bool signalServiceRestoreTest() override;
  std::string registerEventSource() override;
  void openRestoreWindow() override;

  // The restore window's actions, on the window's thread.
  form::RestoreActions restoreActions();
  // Tells the restore window the lines and the end of the restore it started.
  struct RestoreProgress final : RuntimeObserver {
    explicit RestoreProgress(TFrmMain& owner) : owner_(owner) {}
    void logged(const LocalDateTime& at, const std::string& text, bool kept) override;
    void restoreEnded(const RestoreResult& result) override;
    void restoreTested(const RestoreOutcome& outcome) override;
    TFrmMain& owner_;
  };

  // The restore window's restore asked of the backup service, which schedules.
  // "" when it was asked, else why not.
  std::string askServiceToRestore(const RestorePlan& plan);
  // While one is asked: the service's lines (the shared history's `lines`)
  // into the window, and its answer; the end once it is there.
  void followServiceRestore(const std::vector<std::string>& lines);
  // The asked restore ends in the window without the service's answer: `why`.
  void endAskedRestore(const std::string& why);
  struct AskedRestore {
    std::string id;
    unsigned long long askedAt = 0;  // GetTickCount64
    bool started = false;
    std::vector<std::string> shown;  // the lines told to the window
  };

  // Asks for the scheduler's lock: held at once when free, else told to the
  // window when it is taken.
  void takeLock();
  // Starts this program again with administrator rights (the system asks the
  // user) and `arguments`; `process`, when given, receives the new process.
  bool startElevated(const wchar_t* arguments, int show, HANDLE* process);

  // The window goes first: its last messages still find the handlers.
  form::SettingsForm form_;
  // This user's own registry, for what the machine's keys cannot take.
  std::unique_ptr<settings::Registry> own_;
  // The machine's registry: the settings and the status the service reads.
  settings::Registry& machine_;
  // Where outcomes are told beyond the window: the event log, the ping addresses.
  WindowsEventSink events_;
  WinHttpTransport http_;
  // The schedule, the backups and the history, made as the service makes them.
  Backups backups_;
  OdbcServerSession windowSession_;
  // The health checks' own sessions, which wait for no answer for long: the
  // save's on the window's thread, the daily one on the worker.
  OdbcServerSession saveCheckSession_{kHealthCheckTimeoutSeconds};
  OdbcServerSession dailyCheckSession_{kHealthCheckTimeoutSeconds};
  FormHandlers handlers_;
  // Gone before everything its backup reaches: it waits for the backup.
  ThreadWorker worker_;
  ui::MainWindow window_;
  // The restore window, made when asked for. Its model lives on while the
  // restore it started runs, and takes its lines, window or not.
  std::unique_ptr<form::RestoreForm> restoreForm_;
  std::unique_ptr<ui::RestoreWindow> restoreWindow_;
  RestoreProgress restoreProgress_{*this};
  // A restore the service runs for the restore window; none when this program restores.
  std::optional<AskedRestore> askedRestore_;
  // The backup set of the last restore test that passed, marked in the list.
  std::optional<TestedSet> lastPassedTest_;
  // Gone first; held by the window's thread.
  std::optional<SchedulerLock> lock_;
};

}  // namespace bakwyn::app
