#pragma once
// Restoring a backup for whoever has lost data and is no database
// administrator: as a new database beside the current one, or over the
// current one after a safety backup of it, which then stays usable whatever
// happens (multi-user again after a failure or a cancel).
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/BackupEngine.h"
#include "engine/BackupSettings.h"
#include "engine/Clock.h"
#include "engine/FileSystem.h"
#include "server/ServerSession.h"

namespace bakwyn {

// One backup set the restore window offers.
struct RestoreChoice {
  std::string path;            // the backup file, full path
  bool secondFolder = false;   // found in the second folder (settings.replicaDir), not the backup folder
  int position = 1;            // the set in the file (RESTORE HEADERONLY's Position)
  LocalDateTime finished{};    // the set's BackupFinishDate; the file's time when the file could not be read
  std::uint64_t bytes = 0;     // the file's size
  bool verified = false;       // this set is in the verified record
  bool restoreTested = false;  // the last passed restore test was of this set
  std::string database;        // DatabaseName of the set ("" when the header could not be read)
};

// The backups of the backup folder and the second folder, newest first: the
// program's own backup files, one entry per backup set of settings.database
// (RESTORE HEADERONLY per file). A file whose header cannot be read is still
// listed, once, with position 1 and no database.
// The copies of the second folder are those of this computer, named by the
// computer part of settings.server (its name of today, as the settings keep
// it); no set is marked as restore-tested.
std::vector<RestoreChoice> ListRestoreChoices(const BackupSettings& settings, ServerSession& session,
                                              FileSystem& files);
// The backup set that the last restore test that passed restored
// (RestoreOutcome's backupPath and position).
struct TestedSet {
  std::string path;
  int position = 0;
};
// The same, with the copies of the second folder found under `computer`
// (ReplicaFolder's), and the set of `lastPassedTest` marked as restore-tested.
// A server that cannot be reached leaves every file listed as unread.
std::vector<RestoreChoice> ListRestoreChoices(const BackupSettings& settings, ServerSession& session,
                                              FileSystem& files, const std::string& computer,
                                              const std::optional<TestedSet>& lastPassedTest);

// The safety backup made before a restore over the current database at `t`:
// "2004年11月17日10时30分恢复前.bak", in the backup folder. A ".bak" like every
// backup, so the cleanup lets it go after the kept days as it does the others
// (and the copies to the second folder take it along), and it sorts beside the
// backup of the same minute.
std::string SafetyBackupFileName(const LocalDateTime& t);

// "<database>_恢复_<yyyymmdd_hhmm>", cut so that the whole fits the 128
// characters of a database's name.
std::string ProposedRestoreName(std::string_view database, const LocalDateTime& now);

struct RestorePlan {
  enum class Target { newDatabase, current };
  Target target = Target::newDatabase;
  std::string database;                 // restored into: the new name, or settings.database
  RestoreChoice from;
  std::string safetyBackup;             // Target::current: the safety backup made first
  std::vector<std::string> statements;  // exactly what Run sends, in order
};

// What the server must tell before a restore (the backup set's files; for a
// new database whether the name is taken and where its files go) and the
// statements built from it. A refusal is a text for the user, the plan empty.
struct PlannedRestore {
  std::optional<RestorePlan> plan;
  std::string refusal;
};
PlannedRestore PlanRestore(const BackupSettings& settings, ServerSession& session, const RestoreChoice& from,
                           RestorePlan::Target target, const std::string& newName, const LocalDateTime& now);

struct RestoreResult {
  enum class Outcome { succeeded, failed, cancelled };
  Outcome outcome = Outcome::failed;
  std::string cause;         // failed, cancelled: as logged
  std::string safetyBackup;  // Target::current: where the safety backup is ("" when none was made)
  std::int64_t milliseconds = 0;
  std::string database;    // the plan's: the database restored into
  std::string backupPath;  // the plan's: the backup file restored from
};

class DatabaseRestore {
 public:
  DatabaseRestore(const Clock& clock, ServerSession& session, LogSink log);
  DatabaseRestore(const DatabaseRestore&) = delete;
  DatabaseRestore& operator=(const DatabaseRestore&) = delete;

  // Runs the plan on the worker, with the settings' login. Every step, the
  // server's progress messages and the result with the time taken go to `log`.
  // Over the current database, MULTI_USER follows SINGLE_USER whatever
  // happened between; should it fail, it is sent once more on a new
  // connection as "... SET MULTI_USER WITH ROLLBACK IMMEDIATE" (the one
  // statement not in plan.statements), which ends a connection that took the
  // single user's place meanwhile.
  RestoreResult Run(const BackupSettings& settings, const RestorePlan& plan);
  // From any thread: ends the statement under way soon. Over the current
  // database, MULTI_USER is still sent.
  void cancel();

  // How often a cancel is repeated while the statement has not ended yet.
  std::chrono::milliseconds cancelInterval{std::chrono::seconds(1)};

 private:
  enum class Step { failed, cancelled };
  // `statement` with a watcher beside it that passes a cancel() on to the
  // session, again and again until the statement has ended.
  void cancellable(const std::function<void()>& statement);
  bool stopRequested();
  // The server's progress messages of a long statement, logged as they come.
  void progress(const Diagnostic& message);
  // ALTER DATABASE ... SET MULTI_USER; when it fails, once more on a new
  // connection WITH ROLLBACK IMMEDIATE. False (and why in `cause`) when both
  // failed.
  bool multiUser(const BackupSettings& settings, const std::string& statement, std::string& cause);

  const Clock& clock_;
  ServerSession& session_;
  LogSink log_;

  // Shared between Run(), its watcher thread and cancel().
  std::mutex mutex_;
  std::condition_variable wake_;
  bool underWay_ = false;
  bool stop_ = false;
  bool statementRunning_ = false;
};

}  // namespace bakwyn
