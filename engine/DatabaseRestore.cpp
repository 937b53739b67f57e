#include "engine/DatabaseRestore.h"

#include "engine/CancellableStatement.h"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <utility>

#include "base/SqlText.h"
#include "base/Text.h"
#include "engine/RestoreTest.h"
#include "engine/VerifiedBackups.h"
#include "engine/Replica.h"

namespace bakwyn {
namespace {

// Every line the restore logs and every refusal it gives, in one place: the
// window shows the refusals, the history the lines.
namespace text {
constexpr std::string_view kStart = "开始恢复数据库: ";
constexpr std::string_view kSet = " 备份集 ";
constexpr std::string_view kAsNew = " -> 新数据库 ";
constexpr std::string_view kOverCurrent = " -> 覆盖当前数据库 ";
constexpr std::string_view kSafetyStart = "正在制作安全备份: ";
constexpr std::string_view kSafetyMade = "安全备份: ";
constexpr std::string_view kSafetyFailed = "安全备份失败,数据库没有改动";
constexpr std::string_view kSingleUser = "正在断开其他用户的连接 (单用户模式)";
constexpr std::string_view kRestoring = "正在恢复数据库...";
constexpr std::string_view kProgress = "恢复进度: ";
constexpr std::string_view kMultiUser = "已恢复多用户模式";
constexpr std::string_view kSucceeded = "数据库恢复成功: ";
constexpr std::string_view kFailed = "数据库恢复失败: ";
constexpr std::string_view kCancelled = "数据库恢复已取消: ";
constexpr std::string_view kCancelledCause = "已取消";
constexpr std::string_view kUsableAgain = "数据库 ";
constexpr std::string_view kUsableAgainEnd = " 已恢复多用户模式,可以使用;其中的数据可能不完整,恢复前的数据在安全备份中: ";
constexpr std::string_view kMultiUserFailed = "无法恢复多用户模式: ";
constexpr std::string_view kRollingBack = "数据库停在恢复中,正在用安全备份恢复原来的数据: ";
constexpr std::string_view kRolledBack = "已用安全备份恢复原来的数据: ";
constexpr std::string_view kRollbackFailed = "无法用安全备份恢复原来的数据: ";
constexpr std::string_view kMultiUserTodo = "其他用户可能无法连接,请在SQL服务器上执行: ";
constexpr std::string_view kSafetyIs = "恢复前的数据在安全备份中: ";
constexpr std::string_view kLeftBehind = "恢复未完成的数据库 ";
constexpr std::string_view kLeftBehindEnd = " 如仍在服务器上,不会被自动删除: 它现在是您的,确认不需要后可以自行删除";
constexpr std::string_view kNoConnection = "无法连接SQL服务器: ";
constexpr std::string_view kBadPlan = "恢复计划无效";

constexpr std::string_view kNameEmpty = "请输入新数据库的名称";
constexpr std::string_view kNameTooLong = "数据库名称太长: 最多128个字符";
constexpr std::string_view kNameControl = "数据库名称不能包含控制字符";
constexpr std::string_view kNameBlankEnds = "数据库名称的开头和结尾不能是空格";
constexpr std::string_view kNameTaken = "数据库名称已被占用: ";
constexpr std::string_view kNoDatabase = "没有设置要恢复的数据库";
constexpr std::string_view kCurrentMissing = "数据库在服务器上不存在,请恢复为新数据库: ";
constexpr std::string_view kOtherDatabase = "备份集属于另一个数据库: ";
constexpr std::string_view kSetUnreadable = "无法读取备份集: ";
constexpr std::string_view kFileListUnreadable = "RESTORE FILELISTONLY 返回的文件列表无法读取";
constexpr std::string_view kNoFolder = "无法确定新数据库文件的目录";
constexpr std::string_view kQueryFailed = "无法查询服务器: ";
constexpr std::string_view kPathInUse = "新数据库的文件与已有的文件同名: ";
}  // namespace text

// A server's names (sysname) hold at most 128 UTF-16 code units.
constexpr std::size_t kLongestName = 128;

// "%d percent processed.", every STATS percent of a backup or a restore.
constexpr std::int32_t kProgressMessage = 3211;
// A restore refused because the name is some other database's: nothing of
// ours was left under it.
constexpr std::int32_t kDatabaseExists = 1801;
constexpr std::int32_t kRestoreOntoOther = 3154;

std::string operator+(std::string_view a, const std::string& b) { return std::string(a) + b; }

std::string FolderOf(std::string_view path) {
  const size_t slash = path.find_last_of('\\');
  return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash + 1));
}

std::string WithBackslash(std::string folder) {
  if (!folder.empty() && folder.back() != '\\') folder += '\\';
  return folder;
}

// `text` cut to `units` UTF-16 code units, never half a character outside the BMP.
std::string CutToUnits(std::string_view text, std::size_t units) {
  std::u16string wide = Utf8ToUtf16(text);
  if (wide.size() <= units) return std::string(text);
  wide.resize(units);
  if (!wide.empty() && wide.back() >= 0xD800 && wide.back() <= 0xDBFF) wide.pop_back();
  return Utf16ToUtf8(wide);
}

std::string Digits(int value, int width) {
  std::string out(static_cast<size_t>(width), '0');
  for (int i = width - 1; i >= 0 && value > 0; --i, value /= 10)
    out[static_cast<size_t>(i)] = static_cast<char>('0' + value % 10);
  return out;
}

std::optional<int> ParseNumber(std::string_view digits, int most) {
  if (digits.empty()) return std::nullopt;
  int value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > most) return std::nullopt;
  }
  return value;
}

// A datetime as the driver gives it as text: "2004-11-17 10:30:05[.123]".
std::optional<LocalDateTime> ParseServerTime(std::string_view value) {
  if (value.size() < 19 || value[4] != '-' || value[7] != '-' || (value[10] != ' ' && value[10] != 'T') ||
      value[13] != ':' || value[16] != ':')
    return std::nullopt;
  const auto year = ParseNumber(value.substr(0, 4), 9999);
  const auto month = ParseNumber(value.substr(5, 2), 12);
  const auto day = ParseNumber(value.substr(8, 2), 31);
  const auto hour = ParseNumber(value.substr(11, 2), 23);
  const auto minute = ParseNumber(value.substr(14, 2), 59);
  const auto second = ParseNumber(value.substr(17, 2), 59);
  if (!year || !month || !day || !hour || !minute || !second || *month < 1 || *day < 1) return std::nullopt;
  int millisecond = 0;
  if (value.size() > 20 && value[19] == '.') {
    const std::string_view fraction = value.substr(20, 3);
    const auto ms = ParseNumber(fraction, 999);
    if (!ms) return std::nullopt;
    millisecond = *ms;
    for (size_t i = fraction.size(); i < 3; ++i) millisecond *= 10;
  }
  return LocalDateTime{*year, *month, *day, *hour, *minute, *second, millisecond};
}

const std::string& Cell(const QueryResult& result, const std::vector<std::string>& row, std::string_view column) {
  static const std::string kNone;
  const int at = result.column(column);
  return at >= 0 && static_cast<size_t>(at) < row.size() ? row[static_cast<size_t>(at)] : kNone;
}

// The computer part of a server's name: "OFFICE1\SQLEXPRESS" -> "OFFICE1".
std::string ComputerOf(std::string_view server) { return std::string(server.substr(0, server.find_first_of("\\,"))); }

// One file of the backup set, from FILELISTONLY.
struct SetFile {
  std::string logical;
  std::string physical;  // where it was when backed up
  std::string type;      // D data, L log, S FILESTREAM, F full-text
};

std::optional<std::vector<SetFile>> SetFiles(const QueryResult& result) {
  if (result.column("LogicalName") < 0 || result.column("Type") < 0 || result.rows.empty()) return std::nullopt;
  std::vector<SetFile> out;
  for (const std::vector<std::string>& row : result.rows) {
    SetFile file{Cell(result, row, "LogicalName"), Cell(result, row, "PhysicalName"), Cell(result, row, "Type")};
    if (file.logical.empty() || file.type.empty()) return std::nullopt;
    out.push_back(std::move(file));
  }
  return out;
}

// One file of a database, from sys.master_files.
struct DatabaseFile {
  std::string logical;
  std::string physical;
  std::string type;  // 0 rows (data), 1 log, 2 FILESTREAM, 4 full-text
};

std::string FilesQuery(std::string_view database) {
  return "SELECT name, physical_name, type FROM sys.master_files WHERE database_id = DB_ID(" +
         SqlTextLiteral(database) + ") ORDER BY file_id";
}

std::vector<DatabaseFile> DatabaseFiles(const QueryResult& result) {
  std::vector<DatabaseFile> out;
  for (const std::vector<std::string>& row : result.rows)
    out.push_back({Cell(result, row, "name"), Cell(result, row, "physical_name"), Cell(result, row, "type")});
  return out;
}

// The extension a restored file of FILELISTONLY's `type` gets; FILESTREAM and
// full-text files are folders and get none.
std::string_view Extension(std::string_view type, bool primary) {
  if (type == "D") return primary ? ".mdf" : ".ndf";
  if (type == "L") return ".ldf";
  return "";
}

// Where each file of a new database `name` goes in `folder`: the first data
// file "<name>.mdf", the others "<name>_<k>.ndf" (k counting the data files),
// the log "<name>_log.ldf" (a second log "<name>_log_2.ldf"), a folder of
// another kind "<name>_<type>_<k>".
std::vector<std::string> NewFilePaths(const std::vector<SetFile>& set, const std::string& folder,
                                      std::string_view name) {
  const std::string stem = folder + FileNamePart(name);
  std::vector<std::string> paths;
  int data = 0, logs = 0, others = 0;
  for (const SetFile& f : set) {
    if (f.type == "D") {
      ++data;
      paths.push_back(data == 1 ? stem + ".mdf" : stem + "_" + std::to_string(data) + ".ndf");
    } else if (f.type == "L") {
      ++logs;
      paths.push_back(logs == 1 ? stem + "_log.ldf" : stem + "_log_" + std::to_string(logs) + ".ldf");
    } else {
      paths.push_back(stem + "_" + FileNamePart(f.type) + "_" + std::to_string(++others));
    }
  }
  return paths;
}

// The restore's target of each file over the current database: the current
// file of the same logical name, where the database has it now; a file the
// current database lacks (one added after it was dropped and made again,
// say) goes beside its first data file.
std::vector<std::string> CurrentFilePaths(const std::vector<SetFile>& set, const std::vector<DatabaseFile>& current,
                                          std::string_view database) {
  std::string beside;
  for (const DatabaseFile& f : current) {
    if (f.type == "0") {
      beside = FolderOf(f.physical);
      break;
    }
  }
  if (beside.empty() && !current.empty()) beside = FolderOf(current.front().physical);
  std::vector<std::string> paths;
  for (const SetFile& f : set) {
    const auto same = std::find_if(current.begin(), current.end(), [&](const DatabaseFile& c) {
      return EqualsIgnoringAsciiCase(c.logical, f.logical);
    });
    paths.push_back(same != current.end() ? same->physical
                                          : beside + FileNamePart(database) + "_" + FileNamePart(f.logical) +
                                                std::string(Extension(f.type, false)));
  }
  return paths;
}

std::string Source(const RestoreChoice& from) {
  return " FROM DISK = " + SqlTextLiteral(from.path) + " WITH FILE = " + std::to_string(from.position);
}

std::string RestoreStatement(std::string_view database, const RestoreChoice& from, bool replace,
                             const std::vector<SetFile>& set, const std::vector<std::string>& paths) {
  std::string statement = "RESTORE DATABASE " + SqlNameLiteral(database) + Source(from);
  if (replace) statement += ", REPLACE";
  for (size_t i = 0; i < set.size(); ++i)
    statement += ", MOVE " + SqlTextLiteral(set[i].logical) + " TO " + SqlTextLiteral(paths[i]);
  return statement + ", STATS = 10";
}

// The safety backup (one set, the current database's own files) back over
// the database.
std::string SafetyRestoreStatement(std::string_view database, const std::string& safety) {
  return "RESTORE DATABASE " + SqlNameLiteral(database) + " FROM DISK = " + SqlTextLiteral(safety) +
         " WITH FILE = 1, REPLACE, STATS = 10";
}

std::string MultiUserStatement(std::string_view database) {
  return "ALTER DATABASE " + SqlNameLiteral(database) + " SET MULTI_USER";
}

// Why `name` cannot be a new database's name, or nothing.
std::optional<std::string_view> NameRefusal(std::string_view name) {
  if (TrimControl(name).empty()) return text::kNameEmpty;
  if (std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 32 || c == 127; }))
    return text::kNameControl;
  // The server drops trailing blanks when it compares names, and a leading one
  // is never seen in a list: either makes two names look alike.
  if (name.front() == ' ' || name.back() == ' ') return text::kNameBlankEnds;
  if (Utf8ToUtf16(name).size() > kLongestName) return text::kNameTooLong;
  return std::nullopt;
}

// The choices of one folder's backups.
void AddChoices(std::vector<RestoreChoice>& out, FileSystem& files, ServerSession& session, bool connected,
                const std::string& dir, bool secondFolder, const std::string& database,
                const std::vector<VerifiedEntry>& record, const std::optional<TestedSet>& tested) {
  if (dir.empty()) return;
  for (const BackupFile& backup : ListBackups(files, dir, false, 0, LocalDateTime{})) {
    const std::string path = dir + backup.name;
    const std::uint64_t bytes = files.fileSize(path).value_or(0);
    const auto mark = [&](RestoreChoice& choice) {
      // A copy in the second folder is the original byte for byte (it took
      // the backup's name only once its size and checksum matched): the
      // backup folder's record of the same name and size proves it too.
      choice.verified = std::any_of(record.begin(), record.end(), [&](const VerifiedEntry& e) {
        return e.name == backup.name && e.position == choice.position && e.size == bytes;
      });
      choice.restoreTested =
          tested && tested->position == choice.position && EqualsIgnoringAsciiCase(tested->path, choice.path);
    };
    std::optional<QueryResult> header;
    if (connected) {
      try {
        header = session.query(BuildHeaderStatement(path));
      } catch (const std::exception&) {
        // Listed all the same: the user may know what it is.
      }
    }
    std::vector<RestoreChoice> sets;
    bool readable = header && header->column("Position") >= 0 && !header->rows.empty();
    for (size_t i = 0; readable && i < header->rows.size(); ++i) {
      const std::vector<std::string>& row = header->rows[i];
      const std::optional<int> position = ParseNumber(Cell(*header, row, "Position"), 32767);
      if (!position || *position < 1) {
        readable = false;
        break;
      }
      // Only full backups of this database restore it by themselves: another
      // database's sets appended to the file, or a differential, are no choice.
      const std::string& type = Cell(*header, row, "BackupType");
      const std::string& name = Cell(*header, row, "DatabaseName");
      if ((!type.empty() && type != "1") || !EqualsIgnoringAsciiCase(name, database)) continue;
      RestoreChoice choice{path, secondFolder, *position, backup.modified, bytes, false, false, name};
      if (const auto finished = ParseServerTime(Cell(*header, row, "BackupFinishDate"))) choice.finished = *finished;
      mark(choice);
      sets.push_back(std::move(choice));
    }
    if (!readable) {
      RestoreChoice choice{path, secondFolder, 1, backup.modified, bytes, false, false, {}};
      mark(choice);
      sets = {std::move(choice)};
    }
    for (RestoreChoice& choice : sets) out.push_back(std::move(choice));
  }
}

}  // namespace

std::string SafetyBackupFileName(const LocalDateTime& t) {
  std::string name = BackupFileName(t);
  return name.substr(0, name.rfind('.')) + "恢复前.bak";
}

std::vector<RestoreChoice> ListRestoreChoices(const BackupSettings& settings, ServerSession& session,
                                              FileSystem& files) {
  return ListRestoreChoices(settings, session, files, ComputerOf(settings.server), std::nullopt);
}

std::vector<RestoreChoice> ListRestoreChoices(const BackupSettings& settings, ServerSession& session,
                                              FileSystem& files, const std::string& computer,
                                              const std::optional<TestedSet>& lastPassedTest) {
  bool connected = false;
  try {
    session.open(settings.user, settings.password, settings.server);
    connected = true;
  } catch (const std::exception&) {
    // The files are still shown; the plan says that the server is not reachable.
  }
  const std::string backupDir = WithBackslash(settings.backupDir);
  const std::vector<VerifiedEntry> record =
      backupDir.empty() ? std::vector<VerifiedEntry>{} : ReadVerifiedRecord(files, backupDir);
  std::vector<RestoreChoice> choices;
  AddChoices(choices, files, session, connected, backupDir, false, settings.database, record, lastPassedTest);
  if (!settings.replicaDir.empty()) {
    ReplicaRequest where;
    where.replicaDir = WithBackslash(settings.replicaDir);
    where.computer = computer;
    where.database = settings.database;
    AddChoices(choices, files, session, connected, ReplicaFolder(where), true, settings.database, record,
               lastPassedTest);
  }
  // Newest first; of one moment, the backup folder's before its copy, and the
  // later set of a file first.
  std::stable_sort(choices.begin(), choices.end(), [](const RestoreChoice& a, const RestoreChoice& b) {
    return std::tuple(CalendarMilliseconds(b.finished), a.secondFolder, b.position) <
           std::tuple(CalendarMilliseconds(a.finished), b.secondFolder, a.position);
  });
  return choices;
}

std::string ProposedRestoreName(std::string_view database, const LocalDateTime& now) {
  const std::string suffix = "_恢复_" + Digits(now.year, 4) + Digits(now.month, 2) + Digits(now.day, 2) + "_" +
                             Digits(now.hour, 2) + Digits(now.minute, 2);
  const std::size_t room = kLongestName - Utf8ToUtf16(suffix).size();
  return CutToUnits(database, room) + suffix;
}

PlannedRestore PlanRestore(const BackupSettings& settings, ServerSession& session, const RestoreChoice& from,
                           RestorePlan::Target target, const std::string& newName, const LocalDateTime& now) {
  const auto refuse = [](std::string why) { return PlannedRestore{std::nullopt, std::move(why)}; };
  const bool asNew = target == RestorePlan::Target::newDatabase;
  const std::string database = asNew ? newName : settings.database;
  if (asNew) {
    if (const auto why = NameRefusal(newName)) return refuse(std::string(*why));
  } else if (settings.database.empty()) {
    return refuse(std::string(text::kNoDatabase));
  } else if (!from.database.empty() && !EqualsIgnoringAsciiCase(from.database, settings.database)) {
    return refuse(text::kOtherDatabase + from.database);
  }
  try {
    session.open(settings.user, settings.password, settings.server);
  } catch (const std::exception& e) {
    return refuse(text::kNoConnection + CauseText(e));
  }
  try {
    if (asNew) {
      // By the server's own comparison of names (its collation), not ours.
      const QueryResult taken =
          session.query("SELECT name FROM sys.databases WHERE name = " + SqlTextLiteral(newName));
      if (!taken.rows.empty()) return refuse(text::kNameTaken + newName);
    }
    std::optional<std::vector<SetFile>> set;
    try {
      set = SetFiles(session.query("RESTORE FILELISTONLY" + Source(from)));
    } catch (const std::exception& e) {
      return refuse(text::kSetUnreadable + from.path + " (" + std::to_string(from.position) + "): " + CauseText(e));
    }
    if (!set) return refuse(std::string(text::kFileListUnreadable));
    const std::vector<DatabaseFile> current = DatabaseFiles(session.query(FilesQuery(settings.database)));

    RestorePlan plan;
    plan.target = target;
    plan.database = database;
    plan.from = from;
    if (asNew) {
      std::string folder;
      try {
        const QueryResult property = session.query(
            "SELECT CAST(SERVERPROPERTY('InstanceDefaultDataPath') AS nvarchar(4000)) AS path");
        if (!property.rows.empty()) folder = Cell(property, property.rows.front(), "path");
      } catch (const std::exception&) {
        // A server older than 2012 knows no such property: the current
        // database's folder is where the administrator put data files.
      }
      if (folder.empty()) {
        const auto data =
            std::find_if(current.begin(), current.end(), [](const DatabaseFile& f) { return f.type == "0"; });
        if (data != current.end()) folder = FolderOf(data->physical);
      }
      folder = WithBackslash(folder);
      if (folder.empty()) return refuse(std::string(text::kNoFolder));
      const std::vector<std::string> paths = NewFilePaths(*set, folder, newName);
      // Never onto a file of the current database, nor onto where the backup
      // says its files were (which may be the current ones under other
      // names): without REPLACE the server would refuse anyway, but the user
      // should hear it before anything starts.
      for (const std::string& path : paths) {
        const auto same = [&](const std::string& other) { return EqualsIgnoringAsciiCase(other, path); };
        if (std::any_of(current.begin(), current.end(), [&](const DatabaseFile& f) { return same(f.physical); }) ||
            std::any_of(set->begin(), set->end(), [&](const SetFile& f) { return same(f.physical); }))
          return refuse(text::kPathInUse + path);
      }
      plan.statements.push_back(RestoreStatement(newName, from, false, *set, paths));
    } else {
      if (current.empty()) return refuse(text::kCurrentMissing + settings.database);
      plan.safetyBackup = WithBackslash(settings.backupDir) + SafetyBackupFileName(now);
      // Without CHECKSUM: a damaged database, which may be why it is restored,
      // must still be saved as it is before it is replaced. COPY_ONLY: the
      // safety backup leaves the base of the database's other backups alone.
      plan.statements.push_back(BuildBackupStatement(database, plan.safetyBackup) + ", COPY_ONLY");
      plan.statements.push_back("ALTER DATABASE " + SqlNameLiteral(database) +
                                " SET SINGLE_USER WITH ROLLBACK IMMEDIATE");
      plan.statements.push_back(
          RestoreStatement(database, from, true, *set, CurrentFilePaths(*set, current, database)));
      plan.statements.push_back(MultiUserStatement(database));
    }
    return {std::move(plan), {}};
  } catch (const std::exception& e) {
    return refuse(text::kQueryFailed + CauseText(e));
  }
}

DatabaseRestore::DatabaseRestore(const Clock& clock, ServerSession& session, LogSink log)
    : clock_(clock), session_(session), log_(std::move(log)) {}

bool DatabaseRestore::stopRequested() {
  std::lock_guard lock(mutex_);
  return stop_;
}

void DatabaseRestore::cancel() {
  std::lock_guard lock(mutex_);
  if (!underWay_ || stop_) return;
  stop_ = true;
  wake_.notify_all();
}

void DatabaseRestore::cancellable(const std::function<void()>& statement) {
  RunCancellable(session_, mutex_, wake_, statementRunning_, stop_, cancelInterval, statement);
}

void DatabaseRestore::progress(const Diagnostic& message) {
  if (message.nativeError == kProgressMessage) log_(text::kProgress + std::string(WithoutTags(message.message)));
}

bool DatabaseRestore::multiUser(const BackupSettings& settings, const std::string& statement, std::string& cause) {
  try {
    session_.execute(statement);
    return true;
  } catch (const std::exception& e) {
    cause = CauseText(e);
  }
  // Once more on a new connection, the restore's may be what failed, and
  // ending whatever connection holds the database now: one that came in while
  // it was single-user is the one user it lets in, and a plain MULTI_USER
  // fails against it (5064) until it goes, locking everyone else out.
  try {
    session_.open(settings.user, settings.password, settings.server);
    session_.execute(statement + " WITH ROLLBACK IMMEDIATE");
    return true;
  } catch (const std::exception& e) {
    cause = CauseText(e);
  }
  return false;
}

RestoreResult DatabaseRestore::Run(const BackupSettings& settings, const RestorePlan& plan) {
  using Outcome = RestoreResult::Outcome;
  const LocalDateTime started = clock_.now();
  {
    std::lock_guard lock(mutex_);
    underWay_ = true;
    stop_ = false;
  }
  const bool current = plan.target == RestorePlan::Target::current;
  const std::string name = SqlNameLiteral(plan.database);
  log_(text::kStart + plan.from.path + std::string(text::kSet) + std::to_string(plan.from.position) +
       std::string(current ? text::kOverCurrent : text::kAsNew) + name);

  RestoreResult result;
  result.database = plan.database;
  result.backupPath = plan.from.path;
  bool cancelled = false;
  bool restoreSent = false;     // the RESTORE itself was sent
  bool refusedOntoOther = false;  // ... and refused: the name is another database's
  bool singleUserSent = false;  // from here on MULTI_USER must follow
  const auto runLong = [&](const std::string& statement) {
    cancellable([&] { session_.executeLong(statement, [this](const Diagnostic& m) { progress(m); }); });
  };
  const std::size_t expected = current ? 4 : 1;
  try {
    if (plan.statements.size() != expected || (current && plan.safetyBackup.empty()))
      throw std::runtime_error(std::string(text::kBadPlan));
    try {
      session_.open(settings.user, settings.password, settings.server);
    } catch (const std::exception& e) {
      throw std::runtime_error(text::kNoConnection + CauseText(e));
    }
    if (current) {
      log_(text::kSafetyStart + plan.safetyBackup);
      if (stopRequested()) throw StatementCancelled(std::string(text::kCancelledCause), {});
      try {
        runLong(plan.statements[0]);
      } catch (const StatementCancelled&) {
        throw;
      } catch (const std::exception& e) {
        log_(std::string(text::kSafetyFailed));
        throw;
      }
      result.safetyBackup = plan.safetyBackup;
      log_(text::kSafetyMade + plan.safetyBackup);
      if (stopRequested()) throw StatementCancelled(std::string(text::kCancelledCause), {});
      log_(std::string(text::kSingleUser));
      singleUserSent = true;
      runLong(plan.statements[1]);
    }
    if (stopRequested()) throw StatementCancelled(std::string(text::kCancelledCause), {});
    log_(std::string(text::kRestoring));
    restoreSent = true;
    try {
      runLong(plan.statements[current ? 2 : 0]);
    } catch (const StatementCancelled&) {
      throw;
    } catch (const ServerError& e) {
      refusedOntoOther = std::any_of(e.records().begin(), e.records().end(), [](const Diagnostic& d) {
        return d.nativeError == kDatabaseExists || d.nativeError == kRestoreOntoOther;
      });
      throw;
    }
    result.outcome = Outcome::succeeded;
  } catch (const StatementCancelled&) {
    cancelled = true;
  } catch (const std::exception& e) {
    result.cause = DescribeFailure(e);
  }
  // Whatever became of the restore: a database set to a single user and left
  // so would lock everyone else out.
  bool usable = true;
  std::string multiUserCause;
  if (singleUserSent) {
    usable = multiUser(settings, plan.statements[3], multiUserCause);
    // A restore that failed or was stopped part-way leaves the database
    // restoring, which no ALTER DATABASE changes: the safety backup puts back
    // what it was just before, open to every user again. Not stopped by a
    // cancel: it is what makes the database usable.
    if (!usable && restoreSent && !result.safetyBackup.empty()) {
      log_(text::kRollingBack + result.safetyBackup);
      try {
        session_.open(settings.user, settings.password, settings.server);
        session_.executeLong(SafetyRestoreStatement(plan.database, result.safetyBackup),
                             [this](const Diagnostic& m) { progress(m); });
        log_(text::kRolledBack + result.safetyBackup);
        usable = multiUser(settings, plan.statements[3], multiUserCause);
      } catch (const std::exception& e) {
        log_(text::kRollbackFailed + CauseText(e));
      }
    }
    if (usable) log_(std::string(text::kMultiUser));
  }
  {
    std::lock_guard lock(mutex_);
    underWay_ = false;
    // A statement that ran to its end stands, even if the stop came too late.
    if (stop_ && result.outcome != Outcome::succeeded) cancelled = true;
  }
  if (cancelled) {
    result.outcome = Outcome::cancelled;
    result.cause = std::string(text::kCancelledCause);
  }
  result.milliseconds =
      std::max<std::int64_t>(CalendarMilliseconds(clock_.now()) - CalendarMilliseconds(started), 0);
  const std::string took = " " + DurationText(result.milliseconds);
  switch (result.outcome) {
    case Outcome::succeeded:
      log_(text::kSucceeded + name + took);
      break;
    case Outcome::failed:
      log_(text::kFailed + name + took);
      log_(result.cause);
      break;
    case Outcome::cancelled:
      log_(text::kCancelled + name + took);
      break;
  }
  if (singleUserSent && usable && result.outcome != Outcome::succeeded) {
    log_(text::kUsableAgain + name + std::string(text::kUsableAgainEnd) + plan.safetyBackup);
  } else if (!usable) {
    log_(text::kMultiUserFailed + multiUserCause);
    log_(text::kMultiUserTodo + plan.statements[3]);
    if (result.outcome != Outcome::succeeded) log_(text::kSafetyIs + plan.safetyBackup);
  }
  if (!current && restoreSent && !refusedOntoOther && result.outcome != Outcome::succeeded)
    log_(text::kLeftBehind + name + std::string(text::kLeftBehindEnd));
  return result;
}

}  // namespace bakwyn
