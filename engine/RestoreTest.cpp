#include "engine/RestoreTest.h"

#include "engine/CancellableStatement.h"

#include <algorithm>
#include <exception>
#include <map>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "base/SqlText.h"
#include "base/Text.h"

namespace bakwyn {
namespace {

// A server's names (sysname) hold at most 128 UTF-16 code units.
constexpr std::size_t kLongestName = 128;

// "Cannot drop the database '%.*ls', because it does not exist or you do not
// have permission.": nothing is left to drop (whoever could restore it may drop it).
constexpr std::int32_t kNoSuchDatabase = 3701;

// The extension of a restored file of FILELISTONLY's `type`: D data, L log; the
// others (S FILESTREAM, F full-text) are folders and have none.
std::string_view Extension(std::string_view type) {
  if (type == "D") return ".mdf";
  if (type == "L") return ".ldf";
  return "";
}

// The name a file of the scratch database `scratch` gets in the scratch
// folder: "<scratch>_<index>.mdf".
std::string ScratchFileName(std::string_view scratch, std::size_t index, std::string_view type) {
  return FileNamePart(scratch) + "_" + std::to_string(index) + std::string(Extension(type));
}

bool IsDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Whether the file `physical` (as the server lists it) is one this program
// made for the scratch database `scratch`: right inside a folder named
// kScratchFolderName, under a name that only the restore's MOVE gives. Any
// backup folder's scratch folder counts, so that a leftover from before the
// backup folder was changed is still known as ours.
bool IsScratchFile(std::string_view physical, std::string_view scratch) {
  const size_t slash = physical.find_last_of("\\/");
  if (slash == std::string_view::npos) return false;
  const std::string_view file = physical.substr(slash + 1);
  const std::string_view folderPath = physical.substr(0, slash);
  const size_t above = folderPath.find_last_of("\\/");
  const std::string_view folder = above == std::string_view::npos ? folderPath : folderPath.substr(above + 1);
  if (!EqualsIgnoringAsciiCase(folder, kScratchFolderName)) return false;
  const std::string stem = FileNamePart(scratch) + "_";
  if (file.size() <= stem.size() || !EqualsIgnoringAsciiCase(file.substr(0, stem.size()), stem)) return false;
  std::string_view rest = file.substr(stem.size());
  for (const std::string_view extension : {std::string_view(".mdf"), std::string_view(".ldf")}) {
    if (rest.size() > extension.size() &&
        EqualsIgnoringAsciiCase(rest.substr(rest.size() - extension.size()), extension)) {
      rest.remove_suffix(extension.size());
      break;
    }
  }
  return IsDigits(rest);
}

std::optional<std::uint64_t> ParseBytes(std::string_view text) {
  if (!IsDigits(text)) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// `bytes` in `unit` (a gigabyte or a megabyte) with one decimal, rounded up or
// down: a size needed is shown rounded up and the room there rounded down, so
// that two figures of a refusal never look alike.
std::string SizeText(std::uint64_t bytes, std::uint64_t unit, const char* unitName, bool roundUp) {
  const std::uint64_t whole = bytes / unit;
  const std::uint64_t rest = bytes % unit;  // times 10 still fits: unit is far below 2^60
  std::uint64_t tenths = whole * 10 + rest * 10 / unit;
  if (roundUp && rest * 10 % unit != 0) ++tenths;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " " + unitName;
}

constexpr std::uint64_t kMegabyte = 1ULL << 20;
constexpr std::uint64_t kGigabyte = 1ULL << 30;

// A file to restore, from FILELISTONLY.
struct BackupFileEntry {
  std::string logicalName;
  std::string type;
  std::uint64_t size = 0;
};

// The files of the backup set, or nothing when the rows cannot be read.
std::optional<std::vector<BackupFileEntry>> FileList(const QueryResult& result) {
  const int logical = result.column("LogicalName");
  const int type = result.column("Type");
  const int size = result.column("Size");
  if (logical < 0 || type < 0 || size < 0 || result.rows.empty()) return std::nullopt;
  std::vector<BackupFileEntry> entries;
  for (const std::vector<std::string>& row : result.rows) {
    const auto at = [&row](int column) -> const std::string& { return row.at(static_cast<size_t>(column)); };
    if (static_cast<size_t>(std::max({logical, type, size})) >= row.size()) return std::nullopt;
    const std::optional<std::uint64_t> bytes = ParseBytes(at(size));
    if (!bytes || at(logical).empty()) return std::nullopt;
    entries.push_back({at(logical), at(type), *bytes});
  }
  return entries;
}

// What the restore needs free on the volume beyond the files themselves: a
// tenth of them, and at least a gigabyte. The files take exactly their sizes,
// but the volume is shared with everything else while the test runs: the
// snapshot CHECKDB keeps beside the files, the live database's growth, and
// the system's own files when it is the system drive.
std::uint64_t Needed(std::uint64_t files) {
  const std::uint64_t margin = std::max<std::uint64_t>(files / 10, kGigabyte);
  return files > UINT64_MAX - margin ? UINT64_MAX : files + margin;
}

// The files of the database `name`, as the server keeps them.
std::string FilesQuery(const std::string& name) {
  return "SELECT physical_name FROM sys.master_files WHERE database_id = DB_ID(" + SqlTextLiteral(name) + ")";
}

// The server's answers to a restore onto a name some other database has: that
// database is not the test's and is never dropped.
constexpr std::int32_t kDatabaseExists = 1801;
constexpr std::int32_t kRestoreOntoOther = 3154;

bool StartsWithIgnoringAsciiCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoringAsciiCase(text.substr(0, prefix.size()), prefix);
}

}  // namespace

std::string ScratchDatabaseName(std::string_view database) {
  std::string name = std::string(kScratchPrefix) + std::string(database);
  std::u16string wide = Utf8ToUtf16(name);
  if (wide.size() <= kLongestName) return name;
  wide.resize(kLongestName);
  // Never half of a character outside the BMP.
  if (wide.back() >= 0xD800 && wide.back() <= 0xDBFF) wide.pop_back();
  return Utf16ToUtf8(wide);
}

std::string DurationText(std::int64_t milliseconds) {
  const std::int64_t seconds = std::max<std::int64_t>(milliseconds, 0) / 1000;
  const std::int64_t hours = seconds / 3600;
  const std::int64_t minutes = seconds / 60 % 60;
  std::string text;
  if (hours > 0) text += std::to_string(hours) + "小时";
  if (hours > 0 || minutes > 0) text += std::to_string(minutes) + "分";
  return text + std::to_string(seconds % 60) + "秒";
}

// The scratch databases the server has: those of ours, by name, and whether the
// scratch name of this test is another's.
struct RestoreTest::Leftovers {
  std::vector<std::string> ours;
  bool nameTaken = false;  // a database under the test's scratch name is not ours
};

RestoreTest::Leftovers RestoreTest::findLeftovers(const std::string& scratch) {
  // The catalogue as the database list reads it; only a database under a
  // scratch name, which is rare, has its files asked for. A database is ours
  // only when it has files and every one of them is.
  Leftovers found;
  for (const std::string& name : session_.listDatabases()) {
    if (!StartsWithIgnoringAsciiCase(name, kScratchPrefix)) continue;
    const QueryResult result = session_.query(FilesQuery(name));
    const int fileColumn = result.column("physical_name");
    if (fileColumn < 0) throw std::runtime_error("sys.master_files 的结果无法读取");
    bool ours = !result.rows.empty();
    for (const std::vector<std::string>& row : result.rows) {
      ours = ours && static_cast<size_t>(fileColumn) < row.size() &&
             IsScratchFile(row[static_cast<size_t>(fileColumn)], name);
    }
    if (ours) {
      found.ours.push_back(name);
    } else if (!scratch.empty() && EqualsIgnoringAsciiCase(name, scratch)) {
      found.nameTaken = true;
    }
  }
  return found;
}

RestoreTest::RestoreTest(BackupSettings& settings, const Clock& clock, ServerSession& session, FileSystem& files,
                         LogSink log)
    : settings_(settings), clock_(clock), session_(session), files_(files), log_(std::move(log)) {}

bool RestoreTest::drop(const std::string& name, const Steps* reopen, std::string& cause) {
  const std::string statement = "DROP DATABASE " + SqlNameLiteral(name);
  const auto gone = [](const ServerError& e) {
    return std::any_of(e.records().begin(), e.records().end(),
                       [](const Diagnostic& d) { return d.nativeError == kNoSuchDatabase; });
  };
  try {
    session_.execute(statement);
    return true;
  } catch (const ServerError& e) {
    if (gone(e)) return true;
    cause = CauseText(e);
    if (!reopen) return false;
  } catch (const std::exception& e) {
    cause = CauseText(e);
    return false;
  }
  // Once more on a new connection: the one of the test may be what failed (cut
  // during the restore), and the server ends a restore whose connection is gone.
  try {
    session_.open(reopen->user, reopen->password, reopen->server);
    session_.execute(statement);
    return true;
  } catch (const ServerError& e) {
    if (gone(e)) return true;
    cause = CauseText(e);
  } catch (const std::exception& e) {
    cause = CauseText(e);
  }
  return false;
}

bool RestoreTest::DropLeftover() {
  Leftovers found;
  try {
    session_.open(settings_.user, settings_.password, settings_.server);
    found = findLeftovers({});
  } catch (const std::exception&) {
    return false;
  }
  for (const std::string& name : found.ours) {
    std::string cause;
    if (drop(name, nullptr, cause)) {
      log_("已删除上次未完成的恢复测试数据库 " + name);
    } else {
      log_("无法删除恢复测试数据库 " + name + ": " + cause);
    }
  }
  return true;
}

bool RestoreTest::stopRequested() {
  std::lock_guard lock(mutex_);
  return stop_;
}

void RestoreTest::cancel(std::string reason) {
  std::lock_guard lock(mutex_);
  if (!underWay_ || stop_) return;
  stop_ = true;
  stopReason_ = std::move(reason);
  wake_.notify_all();
}

void RestoreTest::cancellable(const std::function<void()>& statement) {
  RunCancellable(session_, mutex_, wake_, statementRunning_, stop_, cancelInterval, statement);
}

// The five steps before the drop, each ending the test early with its
// result and cause. The server's own failures and a cancelled statement come
// out as exceptions.
RestoreOutcome::Result RestoreTest::steps(const Steps& plan, std::string& cause, bool& restoreSent) {
  using Result = RestoreOutcome::Result;
  try {
    session_.open(plan.user, plan.password, plan.server);
  } catch (const std::exception& e) {
    cause = "无法连接SQL服务器: " + CauseText(e);
    return Result::notRun;
  }
  // 1. A scratch database of an earlier test goes first; one of the user's
  // under the scratch name is never touched.
  Leftovers found;
  try {
    found = findLeftovers(plan.scratch);
  } catch (const std::exception& e) {
    cause = "无法查询已有的数据库: " + CauseText(e);
    return Result::notRun;
  }
  for (const std::string& name : found.ours) {
    std::string why;
    if (drop(name, nullptr, why)) {
      log_("已删除上次未完成的恢复测试数据库 " + name);
    } else if (EqualsIgnoringAsciiCase(name, plan.scratch)) {
      cause = "无法删除上次未完成的恢复测试数据库 " + name + ": " + why;
      return Result::notRun;
    } else {
      log_("无法删除恢复测试数据库 " + name + ": " + why);
    }
  }
  if (found.nameTaken) {
    cause = "恢复测试数据库名称已被占用: " + plan.scratch;
    return Result::notRun;
  }
  // 2. What the backup set holds.
  if (stopRequested()) return Result::cancelled;
  std::optional<std::vector<BackupFileEntry>> entries;
  cancellable([&] { entries = FileList(session_.query("RESTORE FILELISTONLY" + plan.source)); });
  if (!entries) {
    cause = "RESTORE FILELISTONLY 返回的文件列表无法读取";
    return Result::failed;
  }
  // 3. Room for it beside the backups. Made through the file system, which
  // never follows a link on the way: the service runs as the system.
  if (const FileResult made = files_.makeDirectories(plan.folder); !made) {
    cause = "无法创建目录 " + plan.folder + ": " + made.reason;
    return Result::notRun;
  }
  std::uint64_t total = 0;
  for (const BackupFileEntry& e : *entries) total = e.size > UINT64_MAX - total ? UINT64_MAX : total + e.size;
  const std::optional<std::uint64_t> available = files_.availableBytes(plan.folder);
  if (!available) {
    cause = "无法读取 " + plan.folder + " 所在磁盘的可用空间";
    return Result::notRun;
  }
  if (const std::uint64_t needed = Needed(total); needed > *available) {
    const std::uint64_t unit = needed >= kGigabyte ? kGigabyte : kMegabyte;
    const char* unitName = unit == kGigabyte ? "GB" : "MB";
    cause = "磁盘空间不足: 需要 " + SizeText(needed, unit, unitName, true) + ", 可用 " +
            SizeText(*available, unit, unitName, false) + " (" + plan.folder + ")";
    return Result::notRun;
  }
  // 4. The restore, every file moved into the scratch folder. Without a
  // statement time-out: a large database takes long and says little meanwhile.
  std::string restore = "RESTORE DATABASE " + SqlNameLiteral(plan.scratch) + plan.source;
  for (std::size_t i = 0; i < entries->size(); ++i) {
    const BackupFileEntry& e = (*entries)[i];
    restore += ", MOVE " + SqlTextLiteral(e.logicalName) + " TO " +
               SqlTextLiteral(plan.folder + ScratchFileName(plan.scratch, i + 1, e.type));
  }
  restore += ", STATS = 10";
  if (stopRequested()) return Result::cancelled;
  restoreSent = true;
  try {
    cancellable([&] { session_.executeLong(restore); });
  } catch (const ServerError& e) {
    // A database that appeared under the name since step 1 is someone else's:
    // the restore did not touch it, and nothing may drop it.
    if (std::any_of(e.records().begin(), e.records().end(), [](const Diagnostic& d) {
          return d.nativeError == kDatabaseExists || d.nativeError == kRestoreOntoOther;
        })) {
      restoreSent = false;
    }
    throw;
  }
  // 5. The check. Corruption comes back as the statement's errors.
  if (stopRequested()) return Result::cancelled;
  cancellable([&] {
    session_.executeLong("DBCC CHECKDB (" + SqlNameLiteral(plan.scratch) + ") WITH NO_INFOMSGS, ALL_ERRORMSGS");
  });
  return Result::passed;
}

RestoreOutcome RestoreTest::Run(const std::string& backupPath, int position) {
  using Result = RestoreOutcome::Result;
  RestoreOutcome outcome;
  outcome.backupPath = backupPath;
  outcome.position = position;
  outcome.started = clock_.now();
  if (backupPath.empty()) {
    outcome.cause = "没有校验过的备份";
    log_("恢复测试未运行: " + outcome.cause);
    if (onOutcome) onOutcome(outcome);
    return outcome;
  }
  {
    std::lock_guard lock(mutex_);
    underWay_ = true;
    stop_ = false;
    stopReason_.clear();
  }
  // Read once: the window may apply new settings while the test runs.
  std::string backupDir = settings_.backupDir;
  if (!backupDir.empty() && backupDir.back() != '\\') backupDir += '\\';
  const Steps plan{settings_.user,
                   settings_.password,
                   settings_.server,
                   ScratchDatabaseName(settings_.database),
                   backupDir + std::string(kScratchFolderName) + "\\",
                   " FROM DISK = " + SqlTextLiteral(backupPath) + " WITH FILE = " + std::to_string(position)};
  log_("开始恢复测试: " + backupPath);

  Result result = Result::failed;
  std::string cause;  // of a test that did not pass, without "原因: "
  bool restoreSent = false;
  try {
    result = steps(plan, cause, restoreSent);
  } catch (const StatementCancelled&) {
    // By the session, perhaps without a request through cancel().
    result = Result::cancelled;
  } catch (const std::exception& e) {
    result = Result::failed;
    cause = CauseText(e);
  }
  // 6. Whatever came of it, once the restore was sent: a restore that failed
  // or was cancelled half-way leaves a database too (restoring, or damaged).
  if (restoreSent) {
    std::string why;
    if (!drop(plan.scratch, &plan, why)) log_("无法删除恢复测试数据库 " + plan.scratch + ": " + why);
  }
  bool stopped = false;
  {
    std::lock_guard lock(mutex_);
    underWay_ = false;
    stopped = stop_;
    if (stopped) cause = stopReason_;
  }
  // A check that ran to its end proves the backup, even if a request to stop
  // came too late. Otherwise, whatever a stopped statement ended with, the stop
  // is the reason.
  if (result != Result::passed && stopped) result = Result::cancelled;
  if (result == Result::cancelled && !stopped) cause.clear();
  outcome.result = result;
  outcome.milliseconds =
      std::max<std::int64_t>(CalendarMilliseconds(clock_.now()) - CalendarMilliseconds(outcome.started), 0);
  const std::string took = DurationText(outcome.milliseconds);
  switch (result) {
    case Result::passed:
      log_("恢复测试成功: " + backupPath + " " + took);
      break;
    case Result::failed:
      outcome.cause = "原因: " + cause;
      log_("恢复测试失败: " + backupPath + " " + took);
      log_(outcome.cause);
      break;
    case Result::notRun:
      outcome.cause = cause;
      log_("恢复测试未运行: " + cause);
      break;
    case Result::cancelled:
      outcome.cause = cause;
      log_(cause.empty() ? std::string("恢复测试已取消") : "恢复测试已取消: " + cause);
      break;
  }
  if (onOutcome) onOutcome(outcome);
  return outcome;
}

}  // namespace bakwyn
