#pragma once
// What the program does when the user or the system acts on the settings
// window: start-up, applying settings to the engine, the tray modes, exit,
// saving and the database list. Plain C++ over the model of the window, the
// store, the engine and the server session; everything that needs Win32 goes
// through FormShell, which the window implements. So every handler runs
// natively in tests with a fake shell.
//
// The constructor sets every hook of the model once; nothing else does.
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/BackupStatus.h"
#include "app/Ping.h"
#include "app/Runtime.h"
#include "app/Worker.h"
#include "engine/BackupEngine.h"
#include "engine/FolderCheck.h"
#include "engine/HealthCheck.h"
#include "engine/History.h"
#include "engine/Replica.h"
#include "engine/BackupSettings.h"
#include "engine/Clock.h"
#include "form/SettingsForm.h"
#include "server/ServerSession.h"
#include "settings/SettingsRecord.h"
#include "settings/Registry.h"
#include "settings/SecretProtector.h"
#include "settings/SqlInstances.h"

namespace bakwyn::app {

inline constexpr std::string_view kDefaultUser = "sa";
inline constexpr std::string_view kDefaultBackupDir = "D:\\数据库自动备份目录";
// When D: is no disk of this computer and the instance names no folder of its own.
inline constexpr std::string_view kFallbackBackupDir = "C:\\数据库自动备份目录";

// The log pane's time stamp, "[YY-MM-DD HH:NN:SS]: ".
std::string LogStamp(const LocalDateTime& t);

// The backup service, as the system knows it.
enum class ServiceState { NotInstalled, Stopped, Running };

// What became of installing or removing the backup service.
struct ServiceChange {
  bool done = false;
  std::string failure;  // why not, in the system's words; empty when done or declined by the user
  std::string note;     // worth telling the user when done (where the service's program file is)
};

// The window's side of the handlers.
class FormShell {
 public:
  virtual ~FormShell() = default;
  virtual int showMessageCode(int code, const std::string& text) = 0;
  virtual void focus(const form::Control& control) = 0;
  virtual std::string computerName() = 0;
  virtual std::string programPath() = 0;
  // Shows the window in front; hides it.
  virtual void showWindow() = 0;
  virtual void hideWindow() = 0;
  virtual void requestClose() = 0;
  virtual void openAddress(const std::string& address) = 0;
  // Opens a file with the program the user opens such files with.
  virtual void openFile(const std::string& path) = 0;
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
  // The SQL Server instances installed on this computer.
  virtual std::vector<settings::SqlInstance> sqlInstances() = 0;
  // A menu of `items` below `anchor`; the index chosen, or nothing.
  virtual std::optional<size_t> choose(const form::Control& anchor, const std::vector<std::string>& items) = 0;
  // True when the drive is a fixed disk of this computer (not removable, not a network drive).
  virtual bool fixedDisk(char drive) = 0;
  // Whether the backup service is installed and runs.
  virtual ServiceState serviceState() = 0;
  // Installs the backup service (starting automatically with Windows) and
  // starts it, or stops and removes it; asks for administrator rights when
  // this program has none.
  virtual ServiceChange switchService(bool install) = 0;
  // Asks the running service to read the stored settings again; false when it
  // could not be reached.
  virtual bool signalService() = 0;
  // Asks the running service for a restore test now; false when it could not be asked.
  virtual bool signalServiceRestoreTest() { return false; }
  // Registers this program as the event log's source, so that the log shows
  // its events' whole texts (administrators only); why not, in the system's
  // words, or empty when done.
  virtual std::string registerEventSource() { return {}; }
  // Opens the restore window (made when first asked for).
  virtual void openRestoreWindow() {}
};

class FormHandlers final : private RuntimeObserver {
 public:
  // Every reference must outlive this. `runtime` keeps the schedule (see
  // Backups, which makes it with this window's tray icon); `session` is the
  // window's checks' (the save, the database list), apart from the backups'.
  // `own`, when given, is this user's own registry: what the program keeps of
  // its run goes there when the machine's cannot be written.
  // `pinger`, when given, sends the options page's test pings.
  FormHandlers(form::SettingsForm& form, Runtime& runtime, ServerSession& session, settings::Registry& registry,
               const settings::SecretProtector& protector, FormShell& shell, settings::Registry* own = nullptr,
               Pinger* pinger = nullptr);
  FormHandlers(const FormHandlers&) = delete;
  FormHandlers& operator=(const FormHandlers&) = delete;

  // Start-up: log header, autostart, stored settings, and the schedule when a
  // database was stored.
  void FormCreate();
  // Appends "[YY-MM-DD HH:NN:SS]: " + text to the log pane, and the line with
  // its full date to the history.
  void AppendLog(const std::string& text);
  const BackupStatus& status() const { return runtime_.status(); }
  Runtime& runtime() { return runtime_; }

  void Action1Execute();  // apply the settings to the engine and arm the schedule
  void RegisterAutostart();
  // Whether this program schedules, holding the scheduler's lock; told before
  // FormCreate, and whenever that changes. While it does not (the service or
  // another user's program holds the lock), it makes no backup and shows the
  // shared history. `abandoned`: the lock was taken from a holder whose
  // process ended without letting go.
  void SchedulerChanged(bool scheduling, bool abandoned = false);
  // True while another scheduler runs and this program only shows what it does.
  bool standingBy() const { return follower_.has_value(); }

  const std::string& computerName() const { return computerName_; }

  // The health checks a save runs on what it stored (on the window's session),
  // when given: their lines are logged, each problem with a balloon once a day.
  void setHealthCheck(std::function<HealthReport(const BackupSettings&)> check) { healthAtSave_ = std::move(check); }
  // While another scheduler runs: told, once a second, the shared history's
  // new lines as read ("YYYY-MM-DD HH:NN:SS text"; often none).
  void setOnFollowed(std::function<void(const std::vector<std::string>& lines)> followed) {
    followed_ = std::move(followed);
  }

 private:
  void FormShow();
  bool FormCloseQuery();
  bool WMSysCommand(unsigned command);  // true when handled (a minimise goes to the tray)
  void BitBtn1Click();  // save
  void BitBtn2Click();  // exit
  void BitBtn3Click();  // serve from the tray
  void N1Click();       // settings window
  void N2Click();       // exit
  void N4Click();       // the maker's web site
  void N5Click();       // the backup history
  void Label10Click(const std::string& labelText);
  void SpeedButton1Click();  // refresh the database list
  void SpeedButton2Click();  // pick an instance of this computer
  void mEdt1InitPopup();
  void mavTree1Click();
  void mavBEdit2ButtonClick();
  void mavBEdit3ButtonClick();  // browse for the second folder
  void browseInto(form::TmavBEdit& field, const std::string& title);
  void Timer1Timer();
  void Timer2Timer();
  void N6Click();  // install or remove the backup service
  void N8Click();  // a restore test now
  // The options page's "测试" beside an address: one ping, and what came of it.
  void testPing(form::TmEdt& address, form::Button& button);
  // The log backups: ticked by the user, they are explained and asked for.
  void dxCheckEdit8Change();
  // The database to the SIMPLE recovery model, once the user agreed to what is lost.
  void SpeedButton5Click();
  void PowerResume();

  // The stored settings into the window (and what could not be taken);
  // applied when a database is stored, otherwise the schedule is idle.
  std::vector<settings::LoadProblem> loadStoredSettings();
  void reportLoadProblems(const std::vector<settings::LoadProblem>& problems);
  // While another scheduler runs: its new history lines into the pane, and
  // once a minute its last backup onto the tray icon.
  void followHistory();
  // The history's new lines into the log pane, and to setOnFollowed's.
  void showHistoryLines();
  // RuntimeObserver: a line of the log into the pane.
  void logged(const LocalDateTime& at, const std::string& text, bool kept) override;
  // RuntimeObserver: the tray menu's cancel works while a backup runs.
  void backupRunning(bool running) override;

  std::string DefaultBackupDir();
  // What the window's fields ask for, as they are applied.
  Schedule FormSchedule();
  // What keeps a save from storing: the message its box shows, and the field
  // that gets the focus (none for a connection that failed).
  struct SaveProblem {
    std::string message;
    const form::Control* focus;
  };
  // Every check of a save, in the order the user meets them: the fields, the
  // connection and the database, the folder, the times and the days, and the
  // server's own check of the folder (`check`, for the save to tell of).
  // The first problem, or nothing when the settings may be stored.
  std::optional<SaveProblem> validateSave(FolderCheck& check);
  void offerElevatedRestart();

  form::SettingsForm& form_;
  Runtime& runtime_;
  ServerSession& session_;
  settings::Registry& registry_;
  settings::Registry* own_;
  const settings::SecretProtector& protector_;
  History& history_;
  FormShell& shell_;
  std::string computerName_;
  std::vector<settings::SqlInstance> instances_;  // as found when the window was last shown
  // The stored number of days could not be read: nothing is deleted until a save.
  bool daysUnreadable_ = false;
  int stallMinutes_ = 60;  // as stored
  std::optional<bool> scheduler_;           // whether this program schedules; unknown before the first word
  std::optional<HistoryFollower> follower_;  // exactly while another scheduler runs
  int refreshedMinute_ = -1;
  Pinger* pinger_;
  std::function<HealthReport(const BackupSettings&)> healthAtSave_;
  std::function<void(const std::vector<std::string>&)> followed_;
  // The stored settings are being put into the window: no question is asked.
  bool loading_ = false;
};

}  // namespace bakwyn::app
