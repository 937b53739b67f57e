#pragma once
// The restore test: a verified backup is restored under a scratch name into a
// folder beside the backups, checked by the server (DBCC CHECKDB) and dropped
// again. Only a backup that was restored and checked is known to be usable; a
// verification reads the file, this reads the database in it.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "engine/BackupEngine.h"
#include "engine/BackupSettings.h"
#include "engine/Clock.h"
#include "engine/FileSystem.h"
#include "server/ServerSession.h"

namespace bakwyn {

// The prefix of every scratch database, and the name of the scratch folder
// inside the backup folder.
inline constexpr std::string_view kScratchPrefix = "Bakwyn_RestoreTest_";
inline constexpr std::string_view kScratchFolderName = "Bakwyn_RestoreTest";

// "Bakwyn_RestoreTest_<database>", cut at the end of the database's name where
// the whole would be longer than the 128 characters a server name may have.
std::string ScratchDatabaseName(std::string_view database);

// "15秒", "2分15秒", "1小时2分15秒": how long something took, in whole seconds
// (a negative span, the clock set back meanwhile, is "0秒").
std::string DurationText(std::int64_t milliseconds);

// What a restore test came to, for whoever tells the user (the tray, the
// history, the overdue check). Only `passed` proves the backup.
struct RestoreOutcome {
  enum class Result { passed, failed, notRun, cancelled };
  Result result = Result::notRun;
  // As logged: for `failed` the "原因: ..." line, for `notRun` and `cancelled`
  // the reason after the colon; empty for `passed`.
  std::string cause;
  std::string backupPath;
  int position = 0;          // the backup set in the file
  LocalDateTime started;     // when the test began
  std::int64_t milliseconds = 0;  // how long it took, the drop of the scratch database included
};

class RestoreTest {
 public:
  // All references must outlive the test; `settings` is read at the start of
  // each call.
  RestoreTest(BackupSettings& settings, const Clock& clock, ServerSession& session, FileSystem& files, LogSink log);
  RestoreTest(const RestoreTest&) = delete;
  RestoreTest& operator=(const RestoreTest&) = delete;

  // One test of the backup set `position` (1 for the first) of the file
  // `backupPath`: the newest verified backup. An empty path means there is
  // none: the test is logged as not run. Logs its start and its result with
  // the time it took, then hands the outcome to onOutcome. Once the restore
  // was sent, the scratch database is dropped whatever happens next.
  RestoreOutcome Run(const std::string& backupPath, int position);
  // From any thread: ends the test under way soon. The statement running is
  // cancelled through the session, again and again until it has ended; the
  // scratch database is still dropped, and the test is logged as cancelled
  // with `reason`. A test whose check had already ended counts as it came
  // out. Nothing when no test runs: the next one runs as usual.
  void cancel(std::string reason);
  // At start-up: drops every scratch database of this program's that a crash,
  // a power cut or a cut connection left behind, and logs each. A database
  // under such a name with a file elsewhere is the user's and is never
  // touched. False when the server could not be asked (it may not have started
  // yet); the next test drops what is left in any case.
  bool DropLeftover();

  // Runs after every test, once its lines are logged.
  std::function<void(const RestoreOutcome&)> onOutcome;
  // How often a cancel is repeated while the statement has not ended yet.
  std::chrono::milliseconds cancelInterval{std::chrono::seconds(1)};

 private:
  // What one test works with, read from the settings at its start.
  struct Steps {
    std::string user, password, server;
    std::string scratch;  // the scratch database's name
    std::string folder;   // the scratch folder, ending with "\"
    std::string source;   // " FROM DISK = N'...' WITH FILE = n"
  };
  struct Leftovers;
  RestoreOutcome::Result steps(const Steps& plan, std::string& cause, bool& restoreSent);
  Leftovers findLeftovers(const std::string& scratch);
  // Drops the database `name`; one that is not there counts as dropped. With
  // `reopen`, a drop that failed is tried once more on a new connection.
  bool drop(const std::string& name, const Steps* reopen, std::string& cause);
  void cancellable(const std::function<void()>& statement);
  bool stopRequested();

  BackupSettings& settings_;
  const Clock& clock_;
  ServerSession& session_;
  FileSystem& files_;
  LogSink log_;

  // Shared between Run(), its watcher thread and cancel().
  std::mutex mutex_;
  std::condition_variable wake_;
  bool underWay_ = false;          // Run() is between its start and its outcome
  bool stop_ = false;              // cancel() was called while it was
  std::string stopReason_;
  bool statementRunning_ = false;  // a statement that may be cancelled runs now
};

}  // namespace bakwyn
