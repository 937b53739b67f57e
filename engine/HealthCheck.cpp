#include "engine/HealthCheck.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <exception>
#include <initializer_list>
#include <stdexcept>
#include <utility>
#include <vector>

#include "base/SqlText.h"
#include "base/Text.h"
#include "engine/BackupEngine.h"

namespace bakwyn {
namespace {

// ---- The texts, all in one place. "{name}" stands for a value filled in.

struct Texts {
  std::string_view key;
  std::string_view title;     // a balloon's
  std::string_view line;      // the warning
  std::string_view resolved;  // the problem is no longer found
};

constexpr Texts kTexts[] = {
    {"log", "事务日志会占满磁盘",
     "警告: 数据库 {db} 为{model}恢复模式,但事务日志从未备份,日志会一直增长直到磁盘占满{figures}。"
     "可在\"选项\"中选择\"同时备份事务日志\"或\"改为简单恢复模式\"",
     "已解决: 数据库 {db} 的事务日志不再等待备份"},
    {"volume", "备份与数据库在同一磁盘",
     "警告: 备份目录 {folder} 与数据库 {db} 的文件 {file} 在同一磁盘上,也没有复制到其他磁盘,"
     "磁盘损坏时备份会与数据库一起丢失。可在\"备份复制到\"中选择另一个磁盘或网络共享",
     "已解决: 数据库 {db} 的备份已不只在数据库所在的磁盘上"},
    {"space", "备份目录磁盘空间不足",
     "警告: 备份目录 {folder} 所在磁盘只剩 {free},下次备份约需 {need} ({basis})。请清理磁盘或选择另一个备份目录",
     "已解决: 备份目录所在磁盘的空间已够下次备份"},
    {"space-copies", "复制目录磁盘空间不足",
     "警告: 复制目录 {folder} 所在磁盘只剩 {free},下次复制约需 {need} ({basis})。请清理磁盘或选择另一个复制目录",
     "已解决: 复制目录所在磁盘的空间已够下次复制"},
    {"size-80", "数据库接近大小上限",
     "警告: 数据库 {db} 的数据文件共 {data},已达 SQL Server Express 版每个数据库 {limit} 上限的 {percent}%,"
     "达到上限后数据库将无法写入新数据。请清理数据或升级到其他版本",
     "已解决: 数据库 {db} 已低于 Express 版大小上限的 80%"},
    {"size-95", "数据库即将达到大小上限",
     "警告: 数据库 {db} 的数据文件共 {data},已达 SQL Server Express 版每个数据库 {limit} 上限的 {percent}%,"
     "达到上限后数据库将无法写入新数据。请清理数据或升级到其他版本",
     "已解决: 数据库 {db} 已低于 Express 版大小上限的 95%"},
};

// Parts of the lines above.
constexpr std::string_view kLogFigures = ": 日志 {size},已使用 {percent}%";
constexpr std::string_view kFullModel = "完整";
constexpr std::string_view kBulkLoggedModel = "大容量日志";
constexpr std::string_view kLastBackup = "上次备份 {size}";
constexpr std::string_view kDatabaseUsed = "数据库已用 {size}";
constexpr std::string_view kShortfall = "备份目录所在磁盘只剩 {free}";
constexpr std::string_view kShortfallLast = "备份目录所在磁盘只剩 {free},上次备份 {last}";

// The lines of `skipped`.
constexpr std::string_view kNotConnected = "无法连接SQL服务器,未做检查: {why}";
constexpr std::string_view kSkippedLog = "无法检查恢复模式: {why}";
constexpr std::string_view kSkippedVolume = "无法检查备份目录与数据库文件是否在同一磁盘: {why}";
constexpr std::string_view kSkippedSpace = "无法检查磁盘空间: {why}";
constexpr std::string_view kSkippedSize = "无法检查数据库大小: {why}";
// Why, when the server answered but not as expected.
constexpr std::string_view kNoColumn = "服务器的结果中没有 {column} 列";
constexpr std::string_view kBadValue = "服务器的结果中 {column} 的值 \"{value}\" 无法读取";
constexpr std::string_view kNoDatabase = "服务器上没有数据库 {db}";
constexpr std::string_view kNoRoom = "无法读取 {folder} 所在磁盘的可用空间";

// ---- Filling them in.

using Values = std::initializer_list<std::pair<std::string_view, std::string_view>>;

std::string Fill(std::string_view text, Values values) {
  std::string out;
  out.reserve(text.size() + 64);
  while (!text.empty()) {
    const size_t open = text.find('{');
    const size_t close = open == std::string_view::npos ? open : text.find('}', open);
    if (close == std::string_view::npos) break;
    out.append(text.substr(0, open));
    const std::string_view name = text.substr(open + 1, close - open - 1);
    const auto value = std::find_if(values.begin(), values.end(), [name](const auto& v) { return v.first == name; });
    if (value != values.end()) {
      out.append(value->second);
    } else {
      out.append(text.substr(open, close - open + 1));
    }
    text.remove_prefix(close + 1);
  }
  out.append(text);
  return out;
}

const Texts* TextsOf(std::string_view key) {
  for (const Texts& t : kTexts) {
    if (t.key == key) return &t;
  }
  return nullptr;
}

HealthFinding Finding(std::string_view key, Values values) {
  const Texts& t = *TextsOf(key);
  return {std::string(key), Fill(t.line, values), std::string(t.title)};
}

constexpr std::uint64_t kMegabyte = 1ULL << 20;
constexpr std::uint64_t kGigabyte = 1ULL << 30;
constexpr std::uint64_t kPageBytes = 8192;

enum class Rounding { down, nearest, up };

// `bytes` in GB from a gigabyte on, in MB below, with one decimal. Room
// left is rounded down and room needed up, so that a figure never looks
// like enough when it is not.
std::string SizeText(std::uint64_t bytes, Rounding rounding) {
  const std::uint64_t unit = bytes >= kGigabyte ? kGigabyte : kMegabyte;
  const std::uint64_t whole = bytes / unit;
  const std::uint64_t rest = bytes % unit;  // times 10 still fits: a unit is far below 2^60
  std::uint64_t tenths = whole * 10 + rest * 10 / unit;
  const std::uint64_t left = rest * 10 % unit;
  if ((rounding == Rounding::up && left != 0) || (rounding == Rounding::nearest && left * 2 >= unit)) ++tenths;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + (unit == kGigabyte ? " GB" : " MB");
}

std::uint64_t SaturatingProduct(std::uint64_t a, std::uint64_t b) {
  return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b;
}

std::uint64_t SaturatingSum(std::uint64_t a, std::uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

// ---- Reading the server's answers, every value as text.

// An answer that cannot be read; its what() says why, in the user's words.
class Unreadable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The why of a skipped check: the server's own words for its refusal.
// What ODBC says of a statement that ran into its time-out.
constexpr std::string_view kTimeoutState = "HYT00";

std::string Why(const std::exception& error) {
  std::string why = DescribeFailure(error);
  constexpr std::string_view kLead = "原因: ";
  if (why.compare(0, kLead.size(), kLead) == 0) why.erase(0, kLead.size());
  return why;
}

// The values of `names` in each row of `result`, in that order.
std::vector<std::vector<std::string>> Columns(const QueryResult& result,
                                              std::initializer_list<std::string_view> names) {
  std::vector<size_t> at;
  for (const std::string_view name : names) {
    const int column = result.column(name);
    if (column < 0) throw Unreadable(Fill(kNoColumn, {{"column", name}}));
    at.push_back(static_cast<size_t>(column));
  }
  std::vector<std::vector<std::string>> rows;
  for (const std::vector<std::string>& row : result.rows) {
    std::vector<std::string> values;
    for (size_t i = 0; i < at.size(); ++i) {
      if (at[i] >= row.size()) throw Unreadable(Fill(kNoColumn, {{"column", names.begin()[i]}}));
      values.push_back(row[at[i]]);
    }
    rows.push_back(std::move(values));
  }
  return rows;
}

std::uint64_t Count(std::string_view column, const std::string& text) {
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
    throw Unreadable(Fill(kBadValue, {{"column", column}, {"value", text}}));
  }
  return value;
}

// A float as the driver writes it ("512", "87.5", "5.12E2"); never a
// negative one, nor "inf" or "nan".
double Measure(std::string_view column, const std::string& text) {
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value) || value < 0) {
    throw Unreadable(Fill(kBadValue, {{"column", column}, {"value", text}}));
  }
  return value;
}

int Whole(std::string_view column, const std::string& text) {
  const std::uint64_t value = Count(column, text);
  if (value > 1000000) throw Unreadable(Fill(kBadValue, {{"column", column}, {"value", text}}));
  return static_cast<int>(value);
}

// The major version of a ProductVersion ("17.0.1000.7" is 17).
int MajorVersion(const std::string& version) {
  return Whole("ProductVersion", version.substr(0, version.find('.')));
}

// A file of the database, from sys.master_files.
struct DatabaseFile {
  std::string type;  // type_desc: "ROWS", "LOG", "FILESTREAM", ...
  std::string path;
  std::uint64_t pages = 0;
};

}  // namespace

std::optional<std::string> HealthResolvedLine(std::string_view key, std::string_view database) {
  const Texts* t = TextsOf(key);
  if (!t) return std::nullopt;
  return Fill(t->resolved, {{"db", database}});
}

std::optional<HealthFinding> CheckLog(std::string_view database, std::string_view recoveryModel,
                                      std::string_view reuseWait, bool logBackups,
                                      const std::optional<LogSpace>& space) {
  // In SIMPLE the log is freed at each checkpoint. In the other two it waits
  // for a log backup once the database had a full backup; before that, and
  // while any other wait holds it (a long transaction, replication), it is
  // not a missing log backup that keeps it.
  std::string_view model;
  if (EqualsIgnoringAsciiCase(recoveryModel, "FULL")) model = kFullModel;
  if (EqualsIgnoringAsciiCase(recoveryModel, "BULK_LOGGED")) model = kBulkLoggedModel;
  if (model.empty() || logBackups || !EqualsIgnoringAsciiCase(reuseWait, "LOG_BACKUP")) return std::nullopt;
  std::string figures;
  if (space) {
    const auto bytes = static_cast<std::uint64_t>(std::llround(std::min(space->megabytes, 1e12) * kMegabyte));
    const long long percent = std::llround(std::min(space->usedPercent, 100.0));
    figures = Fill(kLogFigures, {{"size", SizeText(bytes, Rounding::nearest)}, {"percent", std::to_string(percent)}});
  }
  return Finding("log", {{"db", database}, {"model", model}, {"figures", figures}});
}

std::optional<HealthFinding> CheckVolume(FileSystem& files, const BackupSettings& settings,
                                         const std::vector<std::string>& databaseFiles) {
  const std::optional<std::string> backups = files.volumeOf(settings.backupDir);
  if (!backups) return std::nullopt;
  std::vector<std::string> volumes;
  const std::string* shared = nullptr;
  for (const std::string& file : databaseFiles) {
    if (const std::optional<std::string> volume = files.volumeOf(file)) {
      if (!shared && *volume == *backups) shared = &file;
      volumes.push_back(*volume);
    }
  }
  if (!shared) return std::nullopt;
  // The copies elsewhere are what survives the disk; only a volume told
  // apart from every database file's counts as elsewhere.
  if (!settings.replicaDir.empty()) {
    const std::optional<std::string> copies = files.volumeOf(settings.replicaDir);
    if (copies && std::find(volumes.begin(), volumes.end(), *copies) == volumes.end()) return std::nullopt;
  }
  return Finding("volume", {{"folder", settings.backupDir}, {"db", settings.database}, {"file", *shared}});
}

std::uint64_t SpaceNeeded(std::uint64_t estimate) {
  const std::uint64_t margin = std::max<std::uint64_t>(estimate / 10, 64 * kMegabyte);
  return estimate > UINT64_MAX - margin ? UINT64_MAX : estimate + margin;
}

std::optional<std::uint64_t> NewestBackupSize(FileSystem& files, const std::string& dir) {
  // The newest full backup by its date, as the cleanup sees the backups; a
  // log backup beside them is no measure of the next full one.
  std::vector<BackupFile> backups = ListBackups(files, dir, false, 0, LocalDateTime{});
  std::erase_if(backups, [](const BackupFile& b) { return !HasBackupExtension(b.name); });
  const auto newest = std::max_element(backups.begin(), backups.end(), [](const BackupFile& a, const BackupFile& b) {
    return CalendarMilliseconds(a.modified) < CalendarMilliseconds(b.modified);
  });
  if (newest == backups.end()) return std::nullopt;
  return files.fileSize(dir + newest->name);
}

std::optional<HealthFinding> CheckFreeSpace(const std::string& folder, bool copies,
                                            const std::optional<std::uint64_t>& available,
                                            const BackupEstimate& estimate) {
  const std::uint64_t needed = SpaceNeeded(estimate.bytes);
  if (!available || *available >= needed) return std::nullopt;
  const std::string basis = Fill(estimate.fromBackup ? kLastBackup : kDatabaseUsed,
                                 {{"size", SizeText(estimate.bytes, Rounding::up)}});
  return Finding(copies ? "space-copies" : "space", {{"folder", folder},
                                                     {"free", SizeText(*available, Rounding::down)},
                                                     {"need", SizeText(needed, Rounding::up)},
                                                     {"basis", basis}});
}

std::optional<std::string> SpaceShortfall(FileSystem& files, const BackupSettings& settings) {
  std::string dir = settings.backupDir;
  if (!dir.empty() && dir.back() != '\\') dir += '\\';
  const std::optional<std::uint64_t> available = files.availableBytes(dir);
  if (!available) return std::nullopt;
  const std::string free = SizeText(*available, Rounding::down);
  if (const std::optional<std::uint64_t> last = NewestBackupSize(files, dir))
    return Fill(kShortfallLast, {{"free", free}, {"last", SizeText(*last, Rounding::up)}});
  return Fill(kShortfall, {{"free", free}});
}

std::optional<HealthFinding> CheckDatabaseSize(std::string_view database, int engineEdition, int majorVersion,
                                               std::uint64_t dataBytes) {
  constexpr int kExpress = 4;
  if (engineEdition != kExpress) return std::nullopt;
  const std::uint64_t limit = (majorVersion >= 17 ? 50 : 10) * kGigabyte;
  // In whole percent, rounded down: the line never shows 80 % for a database
  // still below it.
  const std::uint64_t percent = dataBytes >= UINT64_MAX / 100 ? 100 : dataBytes * 100 / limit;
  if (percent < 80) return std::nullopt;
  return Finding(percent >= 95 ? "size-95" : "size-80", {{"db", database},
                                                         {"data", SizeText(dataBytes, Rounding::nearest)},
                                                         {"limit", SizeText(limit, Rounding::nearest)},
                                                         {"percent", std::to_string(percent)}});
}

HealthReport RunHealthChecks(const BackupSettings& settings, ServerSession& session, FileSystem& files) {
  HealthReport report;
  const std::string& database = settings.database;
  try {
    session.open(settings.user, settings.password, settings.server);
  } catch (const std::exception& e) {
    report.skipped.push_back(Fill(kNotConnected, {{"why", Why(e)}}));
    return report;
  }
  report.reached = true;
  const auto skip = [&report](std::string_view text, const std::exception& e) {
    report.skipped.push_back(Fill(text, {{"why", Why(e)}}));
  };
  const auto add = [&report](std::optional<HealthFinding> finding) {
    if (finding) report.findings.push_back(std::move(*finding));
  };
  // Once the server has let one question run into the time-out, it is not
  // answering now and every other question would wait as long: they are not
  // sent, and each check they belong to says why, in the same words.
  std::optional<ServerError> unanswered;
  const auto ask = [&session, &unanswered](const std::string& statement) {
    if (unanswered) throw *unanswered;
    try {
      return session.query(statement);
    } catch (const ServerError& e) {
      if (std::any_of(e.records().begin(), e.records().end(),
                      [](const Diagnostic& d) { return d.sqlState == kTimeoutState; }))
        unanswered = e;
      throw;
    }
  };

  // The log. Its size is asked only for a log that is found waiting: a
  // refusal of that question costs the figures, not the warning.
  try {
    const auto rows = Columns(ask("SELECT recovery_model_desc, log_reuse_wait_desc FROM sys.databases "
                                            "WHERE name = " + SqlTextLiteral(database)),
                              {"recovery_model_desc", "log_reuse_wait_desc"});
    if (rows.empty()) throw Unreadable(Fill(kNoDatabase, {{"db", database}}));
    const std::string& model = rows[0][0];
    const std::string& wait = rows[0][1];
    std::optional<HealthFinding> log = CheckLog(database, model, wait, settings.logBackups);
    if (log) {
      std::optional<LogSpace> space;
      try {
        const auto logs = Columns(ask("DBCC SQLPERF(LOGSPACE)"),
                                  {"Database Name", "Log Size (MB)", "Log Space Used (%)"});
        // The name as the catalogue has it; a server whose names ignore the
        // letter case may still give it in another.
        auto row = std::find_if(logs.begin(), logs.end(), [&](const auto& r) { return r[0] == database; });
        if (row == logs.end()) {
          row = std::find_if(logs.begin(), logs.end(),
                             [&](const auto& r) { return EqualsIgnoringAsciiCase(r[0], database); });
        }
        if (row != logs.end()) {
          space = LogSpace{Measure("Log Size (MB)", (*row)[1]), Measure("Log Space Used (%)", (*row)[2])};
        }
      } catch (const std::exception&) {
        space.reset();
      }
      log = CheckLog(database, model, wait, settings.logBackups, space);
    }
    add(std::move(log));
  } catch (const std::exception& e) {
    skip(kSkippedLog, e);
  }

  // The database's files, for the volume and the size.
  std::optional<std::vector<DatabaseFile>> databaseFiles;
  std::string filesWhy;
  try {
    std::vector<DatabaseFile> found;
    for (const auto& row : Columns(ask("SELECT type_desc, physical_name, size FROM sys.master_files "
                                                 "WHERE database_id = DB_ID(" + SqlTextLiteral(database) + ")"),
                                   {"type_desc", "physical_name", "size"})) {
      found.push_back({row[0], row[1], Count("size", row[2])});
    }
    if (found.empty()) throw Unreadable(Fill(kNoDatabase, {{"db", database}}));
    databaseFiles = std::move(found);
  } catch (const std::exception& e) {
    filesWhy = Why(e);
  }
  if (databaseFiles) {
    std::vector<std::string> paths;
    for (const DatabaseFile& f : *databaseFiles) paths.push_back(f.path);
    add(CheckVolume(files, settings, paths));
  } else {
    report.skipped.push_back(Fill(kSkippedVolume, {{"why", filesWhy}}));
  }

  // The room for the next backup, judged by the last one; before the first,
  // by what the database uses, which is asked only then.
  std::string backupDir = settings.backupDir;
  if (!backupDir.empty() && backupDir.back() != '\\') backupDir += '\\';
  std::optional<BackupEstimate> estimate;
  if (const std::optional<std::uint64_t> last = NewestBackupSize(files, backupDir)) {
    estimate = BackupEstimate{*last, true};
  } else {
    try {
      const auto rows = Columns(ask("SELECT SUM(used_pages) AS used_pages FROM " + SqlNameLiteral(database) +
                                              ".sys.allocation_units"),
                                {"used_pages"});
      if (rows.empty()) throw Unreadable(Fill(kNoColumn, {{"column", "used_pages"}}));
      estimate = BackupEstimate{SaturatingProduct(Count("used_pages", rows[0][0]), kPageBytes), false};
    } catch (const std::exception& e) {
      skip(kSkippedSpace, e);
    }
  }
  if (estimate) {
    const auto room = [&](const std::string& folder, bool copies) {
      const std::optional<std::uint64_t> available = files.availableBytes(folder);
      if (!available) {
        report.skipped.push_back(Fill(kSkippedSpace, {{"why", Fill(kNoRoom, {{"folder", folder}})}}));
        return;
      }
      add(CheckFreeSpace(folder, copies, available, *estimate));
    };
    room(backupDir, false);
    if (!settings.replicaDir.empty()) room(settings.replicaDir, true);
  }

  // The edition's size limit, over the data files only: the log does not count.
  try {
    const auto rows = Columns(ask("SELECT CAST(SERVERPROPERTY('EngineEdition') AS int) AS EngineEdition, "
                                            "CAST(SERVERPROPERTY('ProductVersion') AS nvarchar(128)) AS ProductVersion"),
                              {"EngineEdition", "ProductVersion"});
    if (rows.empty()) throw Unreadable(Fill(kNoColumn, {{"column", "EngineEdition"}}));
    const int edition = Whole("EngineEdition", rows[0][0]);
    const int major = MajorVersion(rows[0][1]);
    if (edition == 4 && !databaseFiles) throw Unreadable(filesWhy);
    std::uint64_t data = 0;
    for (const DatabaseFile& f : databaseFiles ? *databaseFiles : std::vector<DatabaseFile>{}) {
      if (EqualsIgnoringAsciiCase(f.type, "ROWS")) data = SaturatingSum(data, SaturatingProduct(f.pages, kPageBytes));
    }
    add(CheckDatabaseSize(database, edition, major, data));
  } catch (const std::exception& e) {
    skip(kSkippedSize, e);
  }
  return report;
}

}  // namespace bakwyn
