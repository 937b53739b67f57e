#include "engine/BackupEngine.h"

#include <algorithm>
#include <exception>
#include <iterator>
#include <limits>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "base/SqlText.h"
#include "base/Text.h"
#include "engine/HealthCheck.h"
#include "engine/VerifiedBackups.h"

namespace bakwyn {
namespace {

constexpr std::int64_t kMillisecondsPerDay = 24LL * 60 * 60 * 1000;
// A file counts as expired three minutes early, so that a backup written at a
// slot's minute is due for deletion at the same slot `retentionDays` later
// even if that backup took a few minutes to write.
constexpr std::int64_t kExpiryMargin = 3LL * 60 * 1000;

std::string Digits(int value, int width) {
  std::string out(static_cast<size_t>(width), '0');
  for (int i = width - 1; i >= 0 && value > 0; --i, value /= 10) out[static_cast<size_t>(i)] = static_cast<char>('0' + value % 10);
  return out;
}

// FreeTDS numbers its own client-side errors from 20000 on, as DB-Library did
// (20009 cannot connect, 20017 unexpected end of the server's answer), and
// reports some of them with an informational SQLSTATE.
bool IsDriverNumber(std::int32_t native) { return native >= 20000 && native < 21000; }

// "BACKUP DATABASE is terminating abnormally." follows every specific backup error.
constexpr std::int32_t kBackupTerminating = 3013;
// "%d percent processed.", every STATS percent of the backup.
constexpr std::int32_t kBackupProgress = 3211;

// The percentage of a progress message: its first number, since a server
// installed in another language words it otherwise ("已处理百分之 10。").
std::optional<int> ProgressPercent(const Diagnostic& message) {
  if (message.nativeError != kBackupProgress) return std::nullopt;
  const std::string_view text = WithoutTags(message.message);
  const size_t first = text.find_first_of("0123456789");
  if (first == std::string_view::npos) return std::nullopt;
  int percent = 0;
  for (size_t i = first; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    percent = percent * 10 + (text[i] - '0');
    if (percent > 100) return std::nullopt;
  }
  return percent;
}

// A step of the clock longer than this between two looks of the watchdog,
// which come a second apart, is no time the server had to answer in: the clock
// was set (summer time, or by hand) or the computer slept. It is not counted
// as silence; a backup at 02:00 on the night the clocks go forward is not
// given up on at once. A step back counts nothing either.
constexpr std::int64_t kLongestStep = 5LL * 60 * 1000;

std::string SilenceCause(std::int32_t minutes) {
  return "超过" + std::to_string(minutes) + "分钟没有收到SQL服务器的备份进度,备份已取消";
}

// The cause of `error` in the user's terms, as DescribeFailure says it after "原因: ".
std::string FailureWords(const std::exception& error) {
  const auto* server = dynamic_cast<const ServerError*>(&error);
  if (!server || server->records().empty()) return error.what();
  // Errors before informational records (progress, changed context), and among
  // errors a numbered one (the server's own, or the driver's) before the
  // driver's generic ones and before the generic end of a failed backup.
  std::vector<const Diagnostic*> specific, generic, terminating, informational;
  for (const Diagnostic& d : server->records()) {
    const bool isInformational = d.sqlState.compare(0, 2, "01") == 0 && !IsDriverNumber(d.nativeError);
    if (isInformational) {
      informational.push_back(&d);
    } else if (d.nativeError == kBackupTerminating) {
      terminating.push_back(&d);
    } else if (d.nativeError != 0) {
      specific.push_back(&d);
    } else {
      generic.push_back(&d);
    }
  }
  const std::vector<const Diagnostic*>& chosen = !specific.empty()      ? specific
                                                 : !generic.empty()     ? generic
                                                 : !terminating.empty() ? terminating
                                                                        : informational;
  std::string cause;
  std::vector<std::string> seen;
  for (const Diagnostic* d : chosen) {
    // The server's messages go with their number, which its documentation
    // and every search know them by; the driver's own need none.
    std::string text = std::string(WithoutTags(d->message));
    if (d->nativeError != 0 && !IsDriverNumber(d->nativeError)) text = std::to_string(d->nativeError) + " " + text;
    if (std::find(seen.begin(), seen.end(), text) != seen.end()) continue;
    cause += cause.empty() ? text : "; " + text;
    seen.push_back(std::move(text));
  }
  return cause;
}

// The operating system's error 112 (ERROR_DISK_FULL) among the server's
// messages: 3202 and 3203 (a write or read of the backup device failed) carry
// it as "failed: 112(<the system's words>)", others as "Operating system error
// 112(...)". The words are in the server's language, the number is not; the
// English words count too. The backup's path is taken out first: a folder
// named "x 112(" is no disk full.
bool OutOfRoom(const std::exception& error, const std::string& path) {
  const auto* server = dynamic_cast<const ServerError*>(&error);
  if (!server) return false;
  for (const Diagnostic& d : server->records()) {
    std::string text = d.message;
    for (size_t at; !path.empty() && (at = text.find(path)) != std::string::npos;) text.erase(at, path.size());
    if (text.find("There is not enough space on the disk") != std::string::npos) return true;
    for (size_t at = text.find("112("); at != std::string::npos; at = text.find("112(", at + 1)) {
      if (at == 0 || text[at - 1] < '0' || text[at - 1] > '9') return true;
    }
  }
  return false;
}

// The name of a backup file with its extension replaced.
std::string WithExtension(std::string name, std::string_view extension) {
  return name.substr(0, name.rfind('.')) + std::string(extension);
}

std::string BackupStatement(std::string_view what, std::string_view database, std::string_view path, bool checksum) {
  return "BACKUP " + std::string(what) + " " + SqlNameLiteral(database) + " TO  DISK = " + SqlTextLiteral(path) + " " +
         "WITH  NOINIT ,  NOUNLOAD ,NAME = N" + QuoteSqlText(kBackupSetName) + "," + "SKIP ,  STATS = 10,  NOFORMAT" +
         (checksum ? ",  CHECKSUM" : "");
}

// Of the times of a folder's log backups: true for each that has expired at
// `now` after `retentionDays`, given the time of the oldest full backup that
// the cleanup keeps (nothing when it keeps none).
std::vector<bool> ExpiredLogs(const std::vector<std::int64_t>& modified, std::optional<std::int64_t> oldestKept,
                              std::int64_t now, std::int32_t retentionDays) {
  const std::int64_t retention = static_cast<std::int64_t>(retentionDays) * kMillisecondsPerDay;
  std::vector<bool> expired;
  expired.reserve(modified.size());
  for (const std::int64_t m : modified) {
    // Its age alone does not let it go: the log backups after the oldest full
    // backup kept are what restores that backup to a later moment. One dated
    // in the future has no age yet.
    expired.push_back(oldestKept && m < *oldestKept && m <= now && now - m + kExpiryMargin >= retention);
  }
  return expired;
}

}  // namespace

std::string DescribeFailure(const std::exception& error) { return "原因: " + FailureWords(error); }

std::string BackupFileName(const LocalDateTime& t) {
  return Digits(t.year, 4) + "年" + Digits(t.month, 2) + "月" + Digits(t.day, 2) + "日" + Digits(t.hour, 2) + "时" +
         Digits(t.minute, 2) + "分.bak";
}

std::string LogBackupFileName(const LocalDateTime& t) { return WithExtension(BackupFileName(t), ".trn"); }

std::string BuildBackupStatement(std::string_view database, std::string_view path, bool checksum) {
  return BackupStatement("DATABASE", database, path, checksum);
}

std::string BuildLogBackupStatement(std::string_view database, std::string_view path, bool checksum) {
  return BackupStatement("LOG", database, path, checksum);
}

std::string BuildHeaderStatement(std::string_view path) {
  return "RESTORE HEADERONLY FROM DISK = " + SqlTextLiteral(path);
}

std::string BuildVerifyStatement(std::string_view path, int position) {
  return "RESTORE VERIFYONLY FROM DISK = " + SqlTextLiteral(path) + " WITH FILE = " + std::to_string(position) +
         ", CHECKSUM";
}

std::optional<int> NewestOwnSet(const QueryResult& header) {
  const int nameColumn = header.column("BackupName");
  const int positionColumn = header.column("Position");
  if (positionColumn < 0) return std::nullopt;
  const auto cell = [](const std::vector<std::string>& row, int column) {
    return column >= 0 && static_cast<size_t>(column) < row.size() ? std::string_view(row[static_cast<size_t>(column)])
                                                                    : std::string_view();
  };
  // A server that names no set at all (no such column, every name empty)
  // leaves only the positions: the set just written is the highest.
  const bool named = std::any_of(header.rows.begin(), header.rows.end(),
                                 [&](const std::vector<std::string>& row) { return !cell(row, nameColumn).empty(); });
  std::optional<int> newest;
  for (const std::vector<std::string>& row : header.rows) {
    if (named && cell(row, nameColumn) != kBackupSetName) continue;
    const auto text = cell(row, positionColumn);
    int position = 0;
    for (const char c : text) {
      if (c < '0' || c > '9' || position > (std::numeric_limits<int>::max() - (c - '0')) / 10) return std::nullopt;
      position = position * 10 + (c - '0');
    }
    if (position < 1) return std::nullopt;
    newest = std::max(newest.value_or(0), position);
  }
  return newest;
}

namespace {

// True when `name` ends with `extension` (lower case), in any letter case.
bool EndsWithExtension(std::string_view name, std::string_view extension) {
  if (name.size() < extension.size()) return false;
  const std::string_view tail = name.substr(name.size() - extension.size());
  return std::equal(tail.begin(), tail.end(), extension.begin(), [](char a, char b) {
    return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
  });
}

}  // namespace

bool HasBackupExtension(std::string_view name) { return EndsWithExtension(name, ".bak"); }

bool IsLogBackupName(std::string_view name) {
  // Digits where BackupFileName puts the date's, its characters between them.
  static constexpr std::string_view kParts[] = {"年", "月", "日", "时", "分"};
  static constexpr size_t kDigits[] = {4, 2, 2, 2, 2};
  constexpr std::string_view kExtension = ".trn";
  if (!EndsWithExtension(name, kExtension)) return false;
  std::string_view rest = name.substr(0, name.size() - kExtension.size());
  for (size_t i = 0; i < std::size(kParts); ++i) {
    if (rest.size() < kDigits[i] ||
        !std::all_of(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(kDigits[i]),
                     [](char c) { return c >= '0' && c <= '9'; }))
      return false;
    rest.remove_prefix(kDigits[i]);
    if (rest.substr(0, kParts[i].size()) != kParts[i]) return false;
    rest.remove_prefix(kParts[i].size());
  }
  return rest.empty();
}

std::vector<bool> ExpiredByAge(const std::vector<std::int64_t>& modified, const std::vector<bool>& proven,
                               std::int64_t now, std::int32_t retentionDays) {
  // The newest good backup is kept whatever its age: when backups keep
  // failing, the last good one must not be cleaned away. Good means proven: a
  // backup that failed its verification, or one never verified, may be the
  // newest file and still restore nothing. Whatever is newer than the kept
  // one stays too: it is younger, so only its age could delete it, and no
  // backup is let go while nothing newer has been proven to take its place.
  // Only files dated up to now count: after the clock was set back, a file
  // dated in the future (written before the jump) would otherwise be "the
  // newest" and the real last backup could be deleted as expired.
  std::optional<std::int64_t> newest;
  for (size_t i = 0; i < modified.size(); ++i) {
    const std::int64_t m = modified[i];
    if (i < proven.size() && proven[i] && m <= now && (!newest || m > *newest)) newest = m;
  }
  const std::int64_t retention = static_cast<std::int64_t>(retentionDays) * kMillisecondsPerDay;
  std::vector<bool> expired;
  expired.reserve(modified.size());
  for (const std::int64_t m : modified) {
    // A file dated in the future has no age yet. Whole milliseconds, so that
    // the three-minute margin is exact.
    expired.push_back(newest && m < *newest && now - m + kExpiryMargin >= retention);
  }
  return expired;
}

std::vector<bool> ExpiredByAge(const std::vector<std::int64_t>& modified, std::int64_t now,
                               std::int32_t retentionDays) {
  return ExpiredByAge(modified, std::vector<bool>(modified.size(), true), now, retentionDays);
}

std::vector<BackupFile> ListBackups(FileSystem& files, const std::string& dir, bool cleanup,
                                    std::int32_t retentionDays, const LocalDateTime& now, bool verification,
                                    bool logs) {
  std::vector<BackupFile> backups;
  for (std::string& name : files.listDirectory(dir)) {
    const bool log = logs && IsLogBackupName(name);
    if (!log && !HasBackupExtension(name)) continue;
    // Opening also keeps us away from directories and files in use.
    if (const auto modified = files.readModifiedTime(dir + name))
      backups.push_back({std::move(name), *modified, false, 0, log});
  }
  if (verification) {
    // The record's names are matched against the listing's, never used
    // themselves: a line written by someone else can prove at most a file
    // that is really in this folder.
    const std::vector<VerifiedEntry> record = ReadVerifiedRecord(files, dir);
    for (BackupFile& b : backups) {
      if (const std::optional<std::uint64_t> size = record.empty() ? std::nullopt : files.fileSize(dir + b.name))
        b.position = VerifiedPosition(record, b.name, *size);
    }
  }
  if (!cleanup) return backups;
  // The full backups by their own rule, as if there were no log backups; the
  // log backups then by what it keeps.
  std::vector<BackupFile*> full, log;
  std::vector<std::int64_t> fullModified, logModified;
  std::vector<bool> proven;
  for (BackupFile& b : backups) {
    (b.log ? log : full).push_back(&b);
    (b.log ? logModified : fullModified).push_back(CalendarMilliseconds(b.modified));
    if (!b.log) proven.push_back(!verification || b.position > 0);
  }
  const std::int64_t at = CalendarMilliseconds(now);
  const std::vector<bool> expired = ExpiredByAge(fullModified, proven, at, retentionDays);
  std::optional<std::int64_t> oldestKept;
  for (size_t i = 0; i < full.size(); ++i) {
    full[i]->expired = expired[i];
    if (!expired[i] && (!oldestKept || fullModified[i] < *oldestKept)) oldestKept = fullModified[i];
  }
  const std::vector<bool> logExpired = ExpiredLogs(logModified, oldestKept, at, retentionDays);
  for (size_t i = 0; i < log.size(); ++i) log[i]->expired = logExpired[i];
  return backups;
}

std::vector<std::string> ExpiredBackups(FileSystem& files, const std::string& dir, std::int32_t retentionDays,
                                        const LocalDateTime& now, bool verification, bool logs) {
  std::vector<std::string> expired;
  for (const BackupFile& b : ListBackups(files, dir, true, retentionDays, now, verification, logs)) {
    if (b.expired) expired.push_back(dir + b.name);
  }
  return expired;
}

BackupEngine::BackupEngine(BackupSettings& settings, const Clock& clock, ServerSession& session, FileSystem& files,
                           LogSink log)
    : settings_(settings), clock_(clock), session_(session), files_(files), log_(std::move(log)) {}

bool BackupEngine::BakExecute() {
  {
    std::lock_guard lock(mutex_);
    backupUnderWay_ = true;
    stop_ = Stop::none;
  }
  // A directory that cannot be created is not reported here: the server then
  // cannot write the file, and that failure is logged below.
  files_.createDirectories(settings_.backupDir);
  // Read here, once: the watchdog must not read the settings while they are
  // applied, the backup is verified if and only if it was written for it, and
  // the log backup goes with the full backup it follows.
  const std::string dir = settings_.backupDir;
  const std::string database = settings_.database;
  const std::int32_t stallMinutes = settings_.stallMinutes;
  const bool verifying = settings_.verifyBackups;
  const bool logBackup = settings_.logBackups;
  // One reading of the clock for the whole name, so that 10:59:59.999 can
  // never give the hour of one reading and the minute of the next.
  const LocalDateTime started = clock_.now();
  const std::string name = BackupFileName(started);
  const std::string path = dir + name;
  // Whatever way this ends, a request to stop finds no backup under way once
  // the outcome is told.
  struct UnderWay {
    BackupEngine& engine;
    ~UnderWay() {
      std::lock_guard lock(engine.mutex_);
      engine.backupUnderWay_ = false;
    }
  } underWay{*this};
  if (onStart) onStart(started);
  log_("开始备份数据库...");
  bool connected = false;
  bool written = false;    // the server wrote the backup: what fails now is its verification
  bool completed = false;  // written, and verified when asked to be
  bool cancelled = false;  // by the session, on a request that did not come through cancelBackup()
  int position = 0;
  std::string cause;
  try {
    // Two runs in the same minute (a restart within the slot's minute) share a
    // name. The earlier file is kept: the statement's NOINIT makes the server
    // append the new backup set to it, and deleting it first would leave the
    // folder empty if this backup then failed, after the cleanup had spared
    // that file as the newest.
    session_.open(settings_.user, settings_.password, settings_.server);
    connected = true;
    session_.closeQuery();
    if (!stopRequested())
      completed = writeBackup(BuildBackupStatement(database, path, verifying), path, started, stallMinutes, verifying,
                              written, position);
  } catch (const StatementCancelled&) {
    cancelled = true;
  } catch (const std::exception& e) {
    cause = written ? std::string(kVerificationFailedCause) + FailureWords(e) : DescribeFailure(e);
    // A full disk is the one failure whose remedy is a figure: how much room
    // there is, against what a backup takes.
    if (!written && OutOfRoom(e, path)) {
      if (const std::optional<std::string> shortfall = SpaceShortfall(files_, settings_))
        cause += " (" + *shortfall + ")";
    }
  }
  Stop stop = Stop::none;
  {
    std::lock_guard lock(mutex_);
    stop = stop_;
  }
  // A statement that ran to its end is a backup, even if a request to stop it
  // came too late to; with verification, the verification's statement.
  if (completed) {
    // A backup that passed but could not be recorded is no less a success.
    // Until a later one is recorded, the cleanup holds on to the last
    // recorded one and everything newer, and the restore test takes that one.
    const std::string unrecorded = verifying ? recordVerified(dir, name, position) : std::string();
    log_("数据库备份成功!  [文件名:" + path + "]");
    if (!unrecorded.empty()) log_(unrecorded);
    BackupOutcome outcome{true, started, path, {}, verifying, position};
    if (logBackup) backUpLog(outcome, dir, database, stallMinutes, verifying);
    if (onOutcome) onOutcome(outcome);
    return true;
  }
  // Whatever the statement ended with once it was asked to stop, the stop is
  // the reason. A stopped backup has run, as a failed one has: it is not tried
  // again at once.
  if (stop == Stop::silence) {
    const std::string line = SilenceCause(stallMinutes);
    log_("数据库备份失败!");
    log_(line);
    if (onOutcome) onOutcome({false, started, path, line});
    return true;
  }
  // A request to stop that came during the verification, or between the
  // backup and its verification, stops a backup that is not proven yet: it
  // is cancelled, as one stopped while being written is.
  if (stop == Stop::requested || cancelled) {
    log_("数据库备份已取消");
    if (onOutcome) onOutcome({false, started, path, std::string(kCancelledCause)});
    return true;
  }
  // Nothing is retried: the next scheduled slot simply tries again. The
  // cause goes on a line of its own, so that the user can act on it.
  log_("数据库备份失败!");
  log_(cause);
  if (onOutcome) onOutcome({false, started, path, cause});
  return connected;
}

bool BackupEngine::writeBackup(const std::string& statement, const std::string& path, const LocalDateTime& from,
                               std::int32_t stallMinutes, bool verifying, bool& written, int& position) {
  // Without a statement time-out: a large database's backup may take hours
  // and say nothing for long stretches, and a backup cut off by a time-out
  // is no backup at all. The watchdog gives up on silence far longer than
  // the progress of any backup leaves.
  executeWatched(statement, from, stallMinutes, watchInterval);
  written = true;
  if (!verifying) return true;
  position = verify(path, watchInterval);
  return position > 0;
}

std::string BackupEngine::recordVerified(const std::string& dir, const std::string& name, int position) {
  const FileResult recorded = RecordVerified(files_, dir, name, position, clock_.now());
  if (recorded) return {};
  return "警告: 无法写入校验记录: " + dir + std::string(kVerifiedRecordName) + " (" + recorded.reason + ")";
}

void BackupEngine::backUpLog(BackupOutcome& outcome, const std::string& dir, const std::string& database,
                             std::int32_t stallMinutes, bool verifying) {
  const std::string name = LogBackupFileName(outcome.at);
  outcome.logPath = dir + name;
  const auto failed = [&](const std::string& line) {
    log_("事务日志备份失败!");
    log_(line);
    outcome.logFailure = line;
  };
  const auto cancelled = [&] {
    log_("事务日志备份已取消");
    outcome.logFailure = std::string(kCancelledCause);
  };
  {
    std::lock_guard lock(mutex_);
    // The watchdog of the full backup may have given up just as the backup
    // ended; the backup is made all the same, and its log follows it. A
    // request to stop that came since is meant for what runs now: the log's.
    if (stop_ == Stop::silence) stop_ = Stop::none;
    if (stop_ == Stop::requested) return cancelled();
  }
  log_("开始备份事务日志...");
  // Its own start, for its own silence: the full backup's time is not the log's.
  const LocalDateTime started = clock_.now();
  bool written = false;
  bool completed = false;
  bool cancelledBySession = false;
  int position = 0;
  std::string cause;
  try {
    completed = writeBackup(BuildLogBackupStatement(database, outcome.logPath, verifying), outcome.logPath, started,
                            stallMinutes, verifying, written, position);
  } catch (const StatementCancelled&) {
    cancelledBySession = true;
  } catch (const std::exception& e) {
    cause = written ? std::string(kVerificationFailedCause) + FailureWords(e) : DescribeFailure(e);
  }
  Stop stop = Stop::none;
  {
    std::lock_guard lock(mutex_);
    stop = stop_;
  }
  if (completed) {
    const std::string unrecorded = verifying ? recordVerified(dir, name, position) : std::string();
    log_("事务日志备份成功!  [文件名:" + outcome.logPath + "]");
    if (!unrecorded.empty()) log_(unrecorded);
    return;
  }
  if (stop == Stop::silence) return failed(SilenceCause(stallMinutes));
  if (stop == Stop::requested || cancelledBySession) return cancelled();
  failed(cause);
}

int BackupEngine::verify(const std::string& path, std::chrono::milliseconds interval) {
  {
    // The silence watchdog of the backup may have given up just as the backup
    // ended; the backup is written all the same, and it is what is verified.
    std::lock_guard lock(mutex_);
    if (stop_ == Stop::silence) stop_ = Stop::none;
  }
  if (stopRequested()) return 0;
  QueryResult header;
  runStoppable([&] { header = session_.query(BuildHeaderStatement(path)); }, interval);
  const std::optional<int> position = NewestOwnSet(header);
  if (!position) throw std::runtime_error("备份文件中没有找到刚写入的备份集");
  if (stopRequested()) return 0;
  // Without a statement time-out, as the backup: reading back a large backup
  // takes as long as writing it did.
  runStoppable([&] { session_.executeLong(BuildVerifyStatement(path, *position)); }, interval);
  return *position;
}

bool BackupEngine::stopRequested() {
  std::lock_guard lock(mutex_);
  return stop_ != Stop::none;
}

void BackupEngine::cancelBackup() {
  std::lock_guard lock(mutex_);
  if (!backupUnderWay_ || stop_ != Stop::none) return;
  stop_ = Stop::requested;
  wake_.notify_all();
}

void BackupEngine::executeWatched(const std::string& statement, const LocalDateTime& started,
                                  std::int32_t stallMinutes, std::chrono::milliseconds interval) {
  {
    std::lock_guard lock(mutex_);
    progressMessages_ = 0;
  }
  runWatched([&] { session_.executeLong(statement, [this](const Diagnostic& message) { progress(message); }); },
             [this, from = CalendarMilliseconds(started), stallMinutes, interval] { watch(from, stallMinutes, interval); });
}

void BackupEngine::runStoppable(const std::function<void()>& statement, std::chrono::milliseconds interval) {
  runWatched(statement, [this, interval] { passOnStop(interval); });
}

void BackupEngine::runWatched(const std::function<void()>& statement, const std::function<void()>& watchdog) {
  {
    std::lock_guard lock(mutex_);
    statementEnded_ = false;
  }
  std::thread watching(watchdog);
  // However the statement ends, the watchdog has ended before anything is logged.
  struct Ending {
    BackupEngine& engine;
    std::thread& watchdog;
    ~Ending() {
      {
        std::lock_guard lock(engine.mutex_);
        engine.statementEnded_ = true;
      }
      engine.wake_.notify_all();
      watchdog.join();
    }
  } ending{*this, watching};
  statement();
}

// The watchdog of a statement that is only ever stopped on request: it reads
// no clock.
void BackupEngine::passOnStop(std::chrono::milliseconds interval) {
  std::unique_lock lock(mutex_);
  while (!statementEnded_) {
    if (stop_ == Stop::none) {
      wake_.wait(lock, [this] { return statementEnded_ || stop_ != Stop::none; });
      continue;
    }
    // Again at every look until the statement has ended, as in watch().
    lock.unlock();
    session_.cancel();
    lock.lock();
    wake_.wait_for(lock, interval, [this] { return statementEnded_; });
  }
}

void BackupEngine::progress(const Diagnostic& message) {
  if (message.nativeError != kBackupProgress) return;
  {
    std::lock_guard lock(mutex_);
    ++progressMessages_;
  }
  if (const std::optional<int> percent = ProgressPercent(message); percent && onProgress) onProgress(*percent);
}

// The watchdog, on a thread of its own while the statement runs: the only
// reader of the clock meanwhile, and only after its first wait. It measures
// the silence since the backup's start (`from`) or the last progress message
// it saw, one look at a time.
void BackupEngine::watch(std::int64_t from, std::int32_t stallMinutes, std::chrono::milliseconds interval) {
  const std::int64_t limit = stallMinutes > 0 ? stallMinutes * 60LL * 1000 : 0;
  std::unique_lock lock(mutex_);
  std::int64_t previous = from;
  std::int64_t silence = 0;
  std::uint64_t seen = progressMessages_;
  while (!statementEnded_) {
    if (stop_ != Stop::none) {
      // Again at every look until the statement has ended: a cancel that
      // reached the session while the statement was being sent found nothing
      // to cancel yet. Outside the lock: the session may wait for the server.
      lock.unlock();
      session_.cancel();
      lock.lock();
      wake_.wait_for(lock, interval, [this] { return statementEnded_; });
      continue;
    }
    wake_.wait_for(lock, interval, [this] { return statementEnded_ || stop_ != Stop::none; });
    if (statementEnded_ || stop_ != Stop::none) continue;
    const std::int64_t now = CalendarMilliseconds(clock_.now());
    const std::int64_t step = now - previous;
    previous = now;
    if (progressMessages_ != seen) {
      seen = progressMessages_;
      silence = 0;
      continue;
    }
    if (step > 0 && step <= kLongestStep) silence += step;
    if (limit > 0 && silence >= limit) stop_ = Stop::silence;
  }
}

void BackupEngine::deleteoldfileExecute() {
  if (!settings_.cleanupEnabled) return;
  try {
    // This program's log backups whether or not it makes them now: those of
    // a time when it did are let go as the full backups before them are.
    for (const std::string& path :
         ExpiredBackups(files_, settings_.backupDir, settings_.retentionDays, clock_.now(), settings_.verifyBackups,
                        true)) {
      // Files skipped on purpose stay unreported; an expired backup that
      // stays is, or the folder would fill up without anyone knowing.
      const FileResult removed = files_.removeFile(path);
      if (!removed) log_("无法删除过期备份: " + path + " (" + removed.reason + ")");
    }
  } catch (const std::exception&) {
    // Cleanup never stops the backup that follows it.
  }
}

void BackupEngine::Timer1Timer() {
  const LocalDateTime now = clock_.now();
  if (const int slot = DueSlot(now)) RunScheduledSlot(slot, now);
}

int BackupEngine::DueSlot(const LocalDateTime& now) const {
  char minuteText[5];
  FormatHourMinute(now, minuteText);
  const std::string_view minute(minuteText, sizeof minuteText);
  for (size_t i = 0; i < settings_.slots.size(); ++i) {
    const SlotState& slot = settings_.slots[i];
    if (!slot.enabled || std::string_view(slot.time) != minute) continue;
    // The first matching slot claims the whole minute, even when it has
    // already run today.
    char dateText[8];
    FormatDate(now, dateText);
    return std::string_view(slot.lastRunDate) != std::string_view(dateText, sizeof dateText) ? static_cast<int>(i) + 1
                                                                                             : 0;
  }
  return 0;
}

void BackupEngine::RunScheduledSlot(int slot, const LocalDateTime& tick) {
  if (slot < 1 || slot > static_cast<int>(settings_.slots.size())) throw std::out_of_range("no such backup slot");
  try {
    deleteoldfileExecute();
    BakExecute();
  } catch (...) {
    // Counted as run that day, as a failed backup is: whatever escaped must
    // not start the slot again at every tick of its minute.
    stamp(slot, tick);
    throw;
  }
  stamp(slot, tick);
}

void BackupEngine::stamp(int slot, const LocalDateTime& tick) {
  // The date of the tick that found the slot due, not the date after the
  // backup: a late slot whose backup ends after midnight would otherwise stamp
  // the new day and be skipped on it, running only every other day.
  char dateText[8];
  FormatDate(tick, dateText);
  std::string& date = settings_.slots[static_cast<size_t>(slot) - 1].lastRunDate;
  date.assign(dateText, sizeof dateText);
  if (onStamp) onStamp(slot, date);
}

std::vector<int> BackupEngine::MissedSlots(const LocalDateTime& now) const {
  char minuteText[5];
  FormatHourMinute(now, minuteText);
  const std::string_view minute(minuteText, sizeof minuteText);
  char dateText[8];
  FormatDate(now, dateText);
  const std::string_view today(dateText, sizeof dateText);
  std::vector<int> missed;
  for (size_t i = 0; i < settings_.slots.size(); ++i) {
    const SlotState& slot = settings_.slots[i];
    // Two "HH:NN" texts compare as the times they name; anything else never
    // runs, so it is never missed either.
    if (slot.enabled && IsValidTime(slot.time) && std::string_view(slot.time) < minute && slot.lastRunDate != today)
      missed.push_back(static_cast<int>(i) + 1);
  }
  return missed;
}

bool BackupEngine::RunMadeUpBackup(const std::vector<int>& slots, const LocalDateTime& tick) {
  if (slots.empty()) return true;
  std::string times;
  for (int slot : slots) {
    if (slot < 1 || slot > static_cast<int>(settings_.slots.size())) throw std::out_of_range("no such backup slot");
    if (!times.empty()) times += "、";
    times += settings_.slots[static_cast<size_t>(slot) - 1].time;
  }
  log_("补做错过的备份 (" + times + ")");
  deleteoldfileExecute();
  if (!BakExecute()) return false;
  for (int slot : slots) stamp(slot, tick);
  return true;
}

std::string_view WithoutTags(std::string_view text) {
  while (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string_view::npos) break;
    text.remove_prefix(close + 1);
  }
  return text;
}

std::string CauseText(const std::exception& error) {
  std::string cause = DescribeFailure(error);
  constexpr std::string_view kLead = "原因: ";
  if (cause.compare(0, kLead.size(), kLead) == 0) cause.erase(0, kLead.size());
  return cause;
}

std::string FileNamePart(std::string_view name) {
  std::string out(name);
  for (char& c : out) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 32 || std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos) c = '_';
  }
  return out;
}

}  // namespace bakwyn
