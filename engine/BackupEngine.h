#pragma once
// The backup engine: the timer tick that decides when a backup is due, the
// backup job and the cleanup of expired backups. It works only from the
// BackupSettings record it is given and reaches the outside world only through
// the clock, server session, file system and log sink handed to it.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/BackupSettings.h"
#include "engine/Clock.h"
#include "engine/FileSystem.h"
#include "server/ServerSession.h"

namespace bakwyn {

// Receives one log line of text; the window adds the time stamp.
using LogSink = std::function<void(const std::string&)>;

// The logical backup set name written into every backup.
inline constexpr std::string_view kBackupSetName = "Vorda软件Bakwyn";

// "2004年11月17日10时30分.bak" for 10:30 on 17 November 2004.
std::string BackupFileName(const LocalDateTime& t);
// The log backup made after the full backup of `t`: "2004年11月17日10时30分.trn",
// beside it and named alike, so that the two sort and read as a pair.
std::string LogBackupFileName(const LocalDateTime& t);

// The BACKUP DATABASE statement for `database` into the file `path`. The name
// goes between brackets with every "]" doubled; the path is one N'...' literal
// with every quote doubled, because TO DISK = takes only a literal. With
// `checksum`, CHECKSUM is added to its options and nothing else changes: the
// server checks each page's own checksum as it reads it, failing the backup of
// a damaged database, and writes a checksum of the backup that the
// verification checks again.
std::string BuildBackupStatement(std::string_view database, std::string_view path, bool checksum = false);
// The BACKUP LOG statement for `database` into the file `path`: the same
// quoting and the same options as BuildBackupStatement's, so that the log
// backup's set carries this program's name and, with `checksum`, checksums
// that its verification checks.
std::string BuildLogBackupStatement(std::string_view database, std::string_view path, bool checksum = false);

// RESTORE HEADERONLY of the file `path`: a row for each backup set in it.
std::string BuildHeaderStatement(std::string_view path);
// RESTORE VERIFYONLY of the backup set at `position` of the file `path`, with
// its checksums checked.
std::string BuildVerifyStatement(std::string_view path, int position);
// From RESTORE HEADERONLY's rows: the position of the backup set written last
// by this program, the highest Position among the sets named kBackupSetName
// (the file holds several when backups were appended to it: NOINIT; another
// program's sets may follow; a server that names no set gives the highest
// Position of all). Nothing when there is none, or when the
// position of one of them is not a number from 1 on: a set of ours that cannot
// be placed may be the one just written.
std::optional<int> NewestOwnSet(const QueryResult& header);

// The line logged after "数据库备份失败!": the cause of `error` in the user's
// terms. For a server error the server's message(s) with their numbers, or the
// driver's message when no server answered; for anything else its what().
std::string DescribeFailure(const std::exception& error);
// The same without its lead "原因: ", for a line that says it after a reason of its own.
std::string CauseText(const std::exception& error);
// "[FreeTDS][SQL Server]Login failed" -> "Login failed": the vendor tags say
// nothing to the user.
std::string_view WithoutTags(std::string_view text);

// `name` as one name of a file: every character Windows refuses in a file name
// becomes "_" (a database may be called "a/b:c"). UTF-8 never uses these bytes
// inside a character, so the rest passes unchanged.
std::string FileNamePart(std::string_view name);

// True for a name whose extension is exactly ".bak", in any letter case.
bool HasBackupExtension(std::string_view name);
// True for a name as LogBackupFileName makes them (the extension in any letter
// case): only those ".trn" files are this program's. Another program's log
// backups in the same folder are never listed, copied or deleted: without them
// its own chain of log backups could not be restored.
bool IsLogBackupName(std::string_view name);

// The cleanup's rule, over the modification times of a folder's backups (as
// CalendarMilliseconds) and whether each is proven: true for each one that has
// expired at `now` after `retentionDays`. The newest proven backup not dated in
// the future is kept whatever its age, and so is every backup newer than it; a
// file dated in the future has no age yet. With no proven backup, none has
// expired. The backup folder's cleanup (where, with verification on, proven
// means verified) and the second folder's (every backup counts as proven) both
// follow it.
std::vector<bool> ExpiredByAge(const std::vector<std::int64_t>& modified, const std::vector<bool>& proven,
                               std::int64_t now, std::int32_t retentionDays);
// The same with every backup proven: the newest is kept whatever its age.
std::vector<bool> ExpiredByAge(const std::vector<std::int64_t>& modified, std::int64_t now,
                               std::int32_t retentionDays);

// A ".bak" file of a backup folder, or one of this program's log backups, as
// the cleanup and the copies see it.
struct BackupFile {
  std::string name;  // inside its folder
  LocalDateTime modified;
  bool expired = false;  // by the cleanup's rule, when it was applied
  // Of a listing that asked for verification: the highest set of the file as
  // it is now that the record of verified backups (VerifiedBackups.h) proves,
  // or 0 for a backup that was never verified.
  int position = 0;
  bool log = false;  // a log backup (IsLogBackupName), listed only when asked for
};

// The ".bak" files of `dir` (ending with "\") that can be opened, in the order
// the folder lists them: opening keeps directories and files in use out. With
// `logs`, this program's log backups (IsLogBackupName) too. With
// `verification`, each carries its verified set from the folder's record.
// With `cleanup`, each ".bak" is marked by ExpiredByAge at `now` after
// `retentionDays`, where with `verification` only a verified backup is proven;
// the log backups have no say in it. A log backup has expired when
// its age has (as by ExpiredByAge, the same three-minute margin) and it is
// older than the oldest ".bak" that the rule keeps: a log backup restores
// nothing without a full backup made before it. With no ".bak" kept, none has.
std::vector<BackupFile> ListBackups(FileSystem& files, const std::string& dir, bool cleanup,
                                    std::int32_t retentionDays, const LocalDateTime& now, bool verification = false,
                                    bool logs = false);

// The paths of the ".bak" files (with `logs`, and of the log backups) of `dir`
// that a cleanup at `now` deletes after `retentionDays` (see ListBackups and
// ExpiredByAge), in the folder's order.
std::vector<std::string> ExpiredBackups(FileSystem& files, const std::string& dir, std::int32_t retentionDays,
                                        const LocalDateTime& now, bool verification = false, bool logs = false);

// The cause of a backup that was cancelled on request, as BackupOutcome has it.
inline constexpr std::string_view kCancelledCause = "已取消";

// What a backup came to, for whoever tells the user (the tray icon, the history).
struct BackupOutcome {
  bool succeeded = false;
  LocalDateTime at;     // when it started
  std::string path;     // the backup file
  std::string cause;    // why it failed, as logged; empty on success
  // The server read the backup back and found it whole (with verification on,
  // every success); `position` is then its backup set in the file.
  bool verified = false;
  int position = 0;
  // With settings.logBackups, after a successful full backup: the log backup's
  // file (empty when none was tried), and, when it was not made, why: the
  // cause line as logged ("原因: ..."), the silence's line, or kCancelledCause.
  // Its failure leaves the full backup a success: it is told apart.
  std::string logPath{};
  std::optional<std::string> logFailure{};
};

// The start of the cause of a backup whose verification failed; the server's
// words follow.
inline constexpr std::string_view kVerificationFailedCause = "原因: 备份校验未通过: ";

class BackupEngine {
 public:
  // All references must outlive the engine; `settings` is read afresh on every
  // call, so the engine always works from the latest applied values.
  BackupEngine(BackupSettings& settings, const Clock& clock, ServerSession& session, FileSystem& files, LogSink log);

  // One backup: logs the start, then success with the file path, failure, or
  // its cancellation. With settings.verifyBackups the backup is written with
  // checksums and then read back by the server (the set just written, found
  // with RESTORE HEADERONLY, checked with RESTORE VERIFYONLY ... WITH
  // CHECKSUM); only a backup that passed is a success, and it is added to the
  // record of verified backups (VerifiedBackups.h). One that did not pass is a
  // failed backup, its cause naming the verification. True when the server
  // was reached, whatever became of the backup, or when it was cancelled;
  // false when no connection could be made (the server is not running yet).
  // While the server writes the backup, a watchdog thread cancels it once the
  // server has sent no progress for settings.stallMinutes; it reads the clock
  // meanwhile, from its own thread, and has ended when this returns. The
  // verification sends no progress at all, however long it runs: it is never
  // given up on for silence, but a request to stop reaches it.
  // With settings.logBackups, a full backup that succeeded is followed by a
  // backup of the log into the LogBackupFileName beside it, watched, stopped
  // and verified as the full backup is, and logged on lines of its own
  // ("开始备份事务日志...", then "事务日志备份成功!  [文件名:...]",
  // "事务日志备份失败!" and the cause, or "事务日志备份已取消"). Its outcome is
  // BackupOutcome::logFailure: the full backup stays a success whatever it
  // comes to. None after a full backup that failed or was cancelled (the log
  // has no new base to follow), nor once a request to stop came.
  // A full backup that failed for lack of room names the shortfall after the
  // server's words: "原因: ... (备份目录所在磁盘只剩 ...)".
  bool BakExecute();
  // From any thread: stops the backup that BakExecute() is making now. The
  // server is asked to stop and acknowledges it within moments; the backup is
  // then logged as cancelled ("数据库备份已取消"), never as a success, unless
  // the server had already finished it. Nothing when no backup is under way:
  // the next one runs as usual.
  void cancelBackup();
  // Deletes backups in the backup directory that have reached the retention
  // age, when cleanup is on. With verification on, never the newest verified
  // backup nor any newer one, and nothing at all while none is verified (see
  // ExpiredByAge). This program's log backups go with them (see ListBackups):
  // never one made after the oldest backup kept. Files skipped on purpose are
  // not reported; an expired backup that could not be deleted is logged with
  // the reason.
  void deleteoldfileExecute();
  // The 100-millisecond timer tick: runs the first enabled slot whose time is
  // now, unless it already ran today. Does not allocate when nothing is due.
  void Timer1Timer();
  // The slot (1 to 4) the tick at `now` runs, or 0: the first enabled slot
  // whose time is `now`'s minute, unless it already ran that day. Does not
  // allocate.
  int DueSlot(const LocalDateTime& now) const;
  // Cleanup, backup, then stamps slot `slot` (1 to 4) with the date of `tick`,
  // the clock reading that found the slot due. Throws std::out_of_range for
  // another slot number.
  void RunScheduledSlot(int slot, const LocalDateTime& tick);

  // The enabled slots (1 to 4) whose minute has passed on the day of `now`
  // without their having run that day. A slot whose minute is `now`'s is not
  // missed: the tick runs it.
  std::vector<int> MissedSlots(const LocalDateTime& now) const;
  // One backup for all of `slots` that were missed (see MissedSlots), logged
  // as made up: cleanup, backup, then each slot is stamped with the date of
  // `tick`, so none of them runs again that day. A backup that could not reach
  // the server (made up at boot, before the server's service has started) has
  // not run: nothing is stamped and the result is false, so that the caller
  // can try again. Nothing for no slot, and true.
  bool RunMadeUpBackup(const std::vector<int>& slots, const LocalDateTime& tick);

  // Runs as each backup starts, before its first line is logged (after the
  // cleanup that goes before it), with the time it starts at.
  std::function<void(const LocalDateTime& started)> onStart;
  // Runs after every backup, once its lines are logged.
  std::function<void(const BackupOutcome&)> onOutcome;
  // Runs for each progress message of the backup under way, with its
  // percentage (0 to 100), on the thread that runs the backup, as the server
  // sends it.
  std::function<void(int percent)> onProgress;
  // The watchdog's real wait between two looks at the clock while the server
  // writes a backup; the clock tells how long the silence has lasted. Tests
  // shorten it and drive the clock instead of waiting.
  std::chrono::milliseconds watchInterval{std::chrono::seconds(1)};
  // Runs whenever a slot is stamped with the date ("yyyymmdd") it last ran on,
  // so that the date can outlive the program.
  std::function<void(int slot, const std::string& date)> onStamp;

 private:
  // Why a backup under way is to stop: a request, or the server's silence.
  enum class Stop { none, requested, silence };

  void stamp(int slot, const LocalDateTime& tick);
  // The statement of the backup with the watchdog beside it.
  void executeWatched(const std::string& statement, const LocalDateTime& started, std::int32_t stallMinutes,
                      std::chrono::milliseconds interval);
  // `statement` (one call to the session) with a watchdog beside it that only
  // passes a request to stop on to the session: for the verification's
  // statements, which send no progress to judge their silence by.
  void runStoppable(const std::function<void()>& statement, std::chrono::milliseconds interval);
  // A watchdog for as long as `statement` runs.
  void runWatched(const std::function<void()>& statement, const std::function<void()>& watchdog);
  void watch(std::int64_t from, std::int32_t stallMinutes, std::chrono::milliseconds interval);
  void passOnStop(std::chrono::milliseconds interval);
  bool stopRequested();
  // The set just written into `path`, read back by the server: its position,
  // or 0 when a request to stop came first.
  int verify(const std::string& path, std::chrono::milliseconds interval);
  // A backup statement with the watchdog beside it, then, when `verifying`,
  // the set it wrote into `path` read back. True once the backup is written
  // (and proven, `position` its set); false when a request to stop came before
  // the verification. Throws what the statements throw; `written` tells
  // whether the backup statement had ended well.
  bool writeBackup(const std::string& statement, const std::string& path, const LocalDateTime& from,
                   std::int32_t stallMinutes, bool verifying, bool& written, int& position);
  // The log backup of `database` into `dir` after the full backup of `outcome`,
  // which succeeded, with its lines; its file and, unless it was made, why
  // not, into `outcome`.
  void backUpLog(BackupOutcome& outcome, const std::string& dir, const std::string& database,
                 std::int32_t stallMinutes, bool verifying);
  // "警告: 无法写入校验记录: ..." when the set at `position` of the backup
  // `name` in `dir` could not be added to the record of verified backups,
  // else empty.
  std::string recordVerified(const std::string& dir, const std::string& name, int position);
  void progress(const Diagnostic& message);

  BackupSettings& settings_;
  const Clock& clock_;
  ServerSession& session_;
  FileSystem& files_;
  LogSink log_;

  // Shared between the thread of BakExecute(), its watchdog and cancelBackup().
  std::mutex mutex_;
  std::condition_variable wake_;  // the watchdog's: a stop, or the statement's end
  bool backupUnderWay_ = false;   // BakExecute() is between its start and its outcome
  bool statementEnded_ = true;    // the watchdog's signal to end
  Stop stop_ = Stop::none;
  std::uint64_t progressMessages_ = 0;  // of the statement under way
};

}  // namespace bakwyn
