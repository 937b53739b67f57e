#pragma once
// Bakwyn.exe as a second process sees it: starting it, finding and driving its
// controls, reading and writing the registry the way the program keeps it,
// waiting for its log and its backups, and stopping it. Every test that starts
// the exe goes through here, so a flow is written once.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/driver/Remote.h"
#include "tests/support/TdsStandIn.h"
#include "form/FrmMainIds.h"

namespace bakwyn::exe {

using remote::Utf8;
using remote::Wide;

// ---- Names and texts the program uses ----------------------------------------

inline const std::string kStateKey = "Software\\Tarsel软件\\Oskavel\\窗体属性风格\\FrmMain";
// What the program keeps beside the control states.
inline const std::string kStatusKey = "Software\\Tarsel软件\\Oskavel\\Bakwyn";
inline const std::string kRunKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
inline const std::string kRunValue = form::kFrmMainCaption;
inline const std::string kHeader = "备份记录:";
inline const std::string kStarted = "开始备份数据库...";
inline const std::string kFailed = "数据库备份失败!";
inline const std::string kExitQuestion = "确信要退出备份程序?";
inline std::string Succeeded(const std::string& path) { return "数据库备份成功!  [文件名:" + path + "]"; }

std::string ComputerName();

// ---- The registry, 32-bit view, as the program keeps it -------------------------

std::optional<std::string> ReadString(const std::string& keyPath, const std::string& name);
// Writes a REG_SZ; false (with the error reported to the test) when it could not.
bool WriteString(const std::string& keyPath, const std::string& name, const std::string& text);
// Writes `data` and its terminator exactly, embedded NULs included.
bool WriteRawString(const std::string& keyPath, const std::string& name, const std::wstring& data);

// Under the control-state key of `control`.
std::optional<std::string> Stored(const std::string& control, const std::string& name);
bool Store(const std::string& control, const std::string& name, const std::string& text);
bool StoreRaw(const std::string& control, const std::string& name, const std::wstring& data);
// The fields a save stores for reaching the server and writing the backups, as
// the store keeps them (the password in clear, as older versions kept it).
// False when a value could not be written.
bool StoreConnection(const std::string& server, const std::string& user, const std::string& password,
                     const std::string& database, const std::string& folder);
// Backup time `slot` (1 to 4) ticked at "HH:NN".
bool StoreSlot(int slot, const std::string& hhnn);

// The values under the control keys. Loading creates the keys themselves, so
// "nothing stored" means no values.
int StoredValueCount();

// Removes the stored controls, what is kept beside them and the Run value in
// both views, so that a first
// start is a first start whatever ran before. The Run value left behind would
// make the next wineboot start the program.
void ForgetStoredState();
// ForgetStoredState, then the restore test turned off ("RestoreTestEvery" =
// "0" beside the settings): what every test of the whole program starts from.
// By default the restore test runs weekly, after the first slot of a Sunday;
// these tests run on real dates, and none of them may run otherwise on a
// Sunday. A test that wants the restore test stores its own plan afterwards.
// False when the value could not be written.
bool ForgetStoredStateRestoreTestOff();

// The default instance of SQL Server listed as installed on this computer (64-bit
// view, as its setup writes it) for the life of the object; what was listed
// before is put back. The program tells "no connection" from "no SQL Server
// here" by this list.
class InstalledSqlServer {
 public:
  InstalledSqlServer();
  ~InstalledSqlServer();
  InstalledSqlServer(const InstalledSqlServer&) = delete;
  InstalledSqlServer& operator=(const InstalledSqlServer&) = delete;

 private:
  std::optional<std::wstring> before_;
};

// The Unix folder of the test's lane (scripts/wine-env), which holds the folders
// behind the prefix's drives: testdrive/ (T:) and ddrive/ (D:).
std::string LaneDirectory();

// What the settings window proposes as the backup folder of a new user when no
// instance names a folder: D: when it is a disk of this computer, else C:.
std::string DefaultBackupFolder();

// ---- Time: minutes and log lines -------------------------------------------------

std::string Two(int n);

struct Minute {
  SYSTEMTIME at{};  // local time, seconds zero
  std::string hhnn() const;
  std::string fileName() const;  // "2026年12月10日14时05分.bak"
  // Milliseconds from now until the minute begins (0 if it has).
  ULONGLONG msFromNow() const;
};

// The next minute that leaves at least `leadSeconds` to set things up.
Minute ComingMinute(int leadSeconds);
// "HH:NN" about twelve hours from now: a slot time that cannot come due during a test.
std::string FarFromNow();

// "[YY-MM-DD HH:NN:SS]: text" taken apart; nullopt for any other form.
struct LogLine {
  std::string date, hhnn, text;  // date as "YY-MM-DD"
};
std::optional<LogLine> ParseStamped(const std::string& line);
std::string Today();  // "YY-MM-DD"
// The texts of the stamped lines; an unstamped line is kept whole, marked "(no stamp) ".
std::vector<std::string> Texts(const std::vector<std::string>& lines);
// The lines of a multi-line edit of the program (CR LF between them).
std::vector<std::string> MemoLines(HWND memo);

// A whole file's bytes; empty when it cannot be read.
std::string ReadWholeFile(const std::filesystem::path& path);

// ---- Verified backups -----------------------------------------------------------------

// The record of verified backups in a backup folder.
inline const std::string kVerifiedRecord = "Bakwyn校验记录.txt";
// Expects the three statements of one verified backup (as by default) at
// `first` in the stand-in's record: the BACKUP of `database` into `path` with
// checksums, the header of that file, and the verification of its set
// `position` with checksums; each naming exactly `path`.
void ExpectVerifiedBackup(const std::vector<test::StandInStatement>& statements, size_t first,
                          const std::string& database, const std::string& path, int position);
// Whether the record in the folder of `path` proves its set `position`: a
// line "<file name> TAB <position> TAB ...".
bool RecordedAsVerified(const std::string& path, int position);

// ---- Waiting ------------------------------------------------------------------------

// Polls `done` until it holds or `timeoutMs` passes; its last answer.
bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs, DWORD stepMs = 50);
// Sleeps until `minute` begins, then waits for the file; true once it is there.
bool WaitForBackupFile(const Minute& minute, const std::wstring& path);

// ---- Processes ----------------------------------------------------------------------

struct Process {
  PROCESS_INFORMATION pi{};
  // `out`, when given, becomes the child's standard output.
  bool start(const std::wstring& exe, const std::wstring& args = L"", HANDLE out = nullptr);
  bool ended(DWORD timeoutMs) const;
  DWORD exitCode() const;
  // Ends the process if it still runs, and lets go of it.
  void close();
  Process() = default;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process() { close(); }
};

// Runs bakwyn-driver with `args` and returns what it printed; the exit code
// goes to `exitCode` (99 when it did not end within 20 s).
std::string RunDriver(const std::wstring& args, DWORD* exitCode = nullptr);

// Whether the program's tray icon (window `main`, icon 1) exists: modifying an
// icon succeeds only when it does.
bool TrayIconShown(HWND main);
// Main windows of any process.
int MainWindowCount();

// ---- The program ----------------------------------------------------------------------

struct Box {
  std::string caption, text;
  bool okOnly = false;  // one button, OK: the program's code 1
};

class App {
 public:
  App() = default;
  App(const App&) = delete;
  App& operator=(const App&) = delete;
  // Asks to close and confirms; a program that does not end is ended.
  ~App();

  // Starts Bakwyn.exe and returns once its start-up is over. The window is
  // hidden and has no controls until it is first shown (menu("N1")).
  void start();

  DWORD pid() const { return process_.pi.dwProcessId; }
  HWND main() const { return main_; }
  Process& process() { return process_; }

  // Returns once the program has handled what was posted to it before.
  void idle();

  // A named control; `part` asks for the second window of a two-window control.
  HWND control(const std::string& name, bool part = false) const;
  std::string text(const std::string& name) const;
  bool checked(const std::string& name) const;
  bool enabled(const std::string& name) const;
  bool visible() const;

  // Replaces the field's text keystroke by keystroke, as a user would.
  void type(const std::string& name, const std::string& text);
  // Types characters at `caret` without clearing the field first.
  void typeAt(const std::string& name, int caret, const std::string& chars);
  // A time editor takes digits only, over its mask "HH:MM".
  void typeTime(const std::string& name, const std::string& hhnn);
  // Sets the text from outside, as WM_SETTEXT from another program does.
  void setText(const std::string& name, const std::string& text);
  // As the button reports a click to its parent (a check box toggles first).
  // Posted: a click may open a modal box.
  void click(const std::string& name, bool part = false);
  // A click on a link label, as the label reports it to its parent.
  void clickLabel(const std::string& name);
  // Chooses an item of the tray menu; for "N1" returns once the window shows.
  void menu(const std::string& name);
  // Puts the keyboard focus into a control with a mouse click on it.
  void focus(const std::string& name);
  // The window that has the keyboard focus in the program's thread.
  HWND focused() const;

  // The first-column texts of the database list, read in the program's memory.
  std::vector<std::string> listRows() const;
  // Clicks the row showing `text` with the mouse, at the middle of the row.
  void clickListRow(const std::string& text);

  // Waits for the program's message box "注意", reads it and presses `button`.
  std::optional<Box> answer(int button);
  bool boxShown() const;
  // Any other dialog box of the program (e.g. an error from start-up): read and
  // closed, so that it cannot block what follows.
  std::optional<Box> dismissOtherBox();

  std::vector<std::string> log() const;
  // Waits until the log holds at least `count` lines (20 s at most); the lines.
  std::vector<std::string> waitForLog(size_t count);
  // Waits until a line's text is `text` (`timeoutMs` at most); the lines.
  std::vector<std::string> waitForLogText(const std::string& text, DWORD timeoutMs = 20000);

  // Exit confirmed with Yes; true once the program has ended.
  bool quit();

 private:
  Process process_;
  HWND main_ = nullptr;
};

// ---- Fixture ----------------------------------------------------------------------------

// A test of the whole program against the stand-in server: nothing stored, the
// stand-in in its start-up state and pointed at, and the folder T:\e2e, where
// the tests' backups go, empty. T: is the Unix folder <lane>/testdrive, which
// the stand-in (a Unix process) is told about.
class ProgramTest : public ::testing::Test {
 protected:
  static inline const std::string kFolder = "T:\\e2e";

  void SetUp() override;
  void TearDown() override;

  // The program, started by app().start().
  App& app() {
    if (!app_) app_ = std::make_unique<App>();
    return *app_;
  }
  // Ends the program (if it runs) and forgets it.
  void endApp() { app_.reset(); }

  test::TdsStandIn standIn_;

 private:
  std::unique_ptr<App> app_;
};

}  // namespace bakwyn::exe
