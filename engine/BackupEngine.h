#pragma once
// The backup engine: the timer tick that decides when a backup is due, the
// backup job and the cleanup of expired backups. It works only from the
// BackupSettings record it is given and reaches the outside world only through
// the clock, server session, file system and log sink handed to it.
#include <exception>
#include <functional>
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

// The BACKUP DATABASE statement for `database` into the file `path`. The name
// goes between brackets with every "]" doubled; the path is one N'...' literal
// with every quote doubled, because TO DISK = takes only a literal.
std::string BuildBackupStatement(std::string_view database, std::string_view path);

// The line logged after "数据库备份失败!": the cause of `error` in the user's
// terms. For a server error the server's message(s) with their numbers, or the
// driver's message when no server answered; for anything else its what().
std::string DescribeFailure(const std::exception& error);

// True for a name whose extension is exactly ".bak", in any letter case.
bool HasBackupExtension(std::string_view name);

// The cleanup's rule, over the modification times of a folder's backups (as
// CalendarMilliseconds): true for each one that has expired at `now` after
// `retentionDays`. The newest not dated in the future is kept whatever its age,
// and a file dated in the future has no age yet. The backup folder's cleanup and
// the second folder's both follow it.
std::vector<bool> ExpiredByAge(const std::vector<std::int64_t>& modified, std::int64_t now,
                               std::int32_t retentionDays);

// What a backup came to, for whoever tells the user (the tray icon, the history).
struct BackupOutcome {
  bool succeeded = false;
  LocalDateTime at;     // when it started
  std::string path;     // the backup file
  std::string cause;    // why it failed, as logged; empty on success
};

class BackupEngine {
 public:
  // All references must outlive the engine; `settings` is read afresh on every
  // call, so the engine always works from the latest applied values.
  BackupEngine(BackupSettings& settings, const Clock& clock, ServerSession& session, FileSystem& files, LogSink log);

  // One backup: logs the start, then success with the file path or failure.
  // True when the server was reached, whatever became of the backup; false
  // when no connection could be made (the server is not running yet).
  bool BakExecute();
  // Deletes backups in the backup directory that have reached the retention
  // age, when cleanup is on. Files skipped on purpose are not reported; an
  // expired backup that could not be deleted is logged with the reason.
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

  // Runs after every backup, once its lines are logged.
  std::function<void(const BackupOutcome&)> onOutcome;
  // Runs whenever a slot is stamped with the date ("yyyymmdd") it last ran on,
  // so that the date can outlive the program.
  std::function<void(int slot, const std::string& date)> onStamp;

 private:
  void stamp(int slot, const LocalDateTime& tick);

  BackupSettings& settings_;
  const Clock& clock_;
  ServerSession& session_;
  FileSystem& files_;
  LogSink log_;
};

}  // namespace bakwyn
