// The health checks: each rule over a table of cases, the texts to the
// letter, and a whole run against a scripted server, where a refused
// question costs only the check that needs it.
#include "engine/HealthCheck.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/EngineFakes.h"

namespace bakwyn {
namespace {

using testing::At;
using testing::FakeSession;
using testing::MemoryFiles;

constexpr std::uint64_t kMiB = 1ULL << 20;
constexpr std::uint64_t kGiB = 1ULL << 30;

std::optional<std::string> LineOf(const std::optional<HealthFinding>& finding) {
  if (!finding) return std::nullopt;
  return finding->line;
}

// ---- The log.

TEST(HealthCheckTest, LogWaitingForABackupThatNeverComes) {
  const std::string full =
      "警告: 数据库 shop 为完整恢复模式,但事务日志从未备份,日志会一直增长直到磁盘占满: 日志 512.0 MB,已使用 87%。"
      "可在\"选项\"中选择\"同时备份事务日志\"或\"改为简单恢复模式\"";
  struct Row {
    const char* name;
    const char* model;
    const char* wait;
    bool logBackups;
    std::optional<LogSpace> space;
    std::optional<std::string> line;
  };
  const Row rows[] = {
      {"Full", "FULL", "LOG_BACKUP", false, LogSpace{512, 87.4}, full},
      {"BulkLogged", "BULK_LOGGED", "LOG_BACKUP", false, LogSpace{512, 87.4},
       "警告: 数据库 shop 为大容量日志恢复模式,但事务日志从未备份,日志会一直增长直到磁盘占满: 日志 512.0 MB,"
       "已使用 87%。可在\"选项\"中选择\"同时备份事务日志\"或\"改为简单恢复模式\""},
      {"LargeLogInGigabytes", "FULL", "LOG_BACKUP", false, LogSpace{20480 + 100, 99.5},
       "警告: 数据库 shop 为完整恢复模式,但事务日志从未备份,日志会一直增长直到磁盘占满: 日志 20.1 GB,已使用 100%。"
       "可在\"选项\"中选择\"同时备份事务日志\"或\"改为简单恢复模式\""},
      {"WithoutFigures", "FULL", "LOG_BACKUP", false, std::nullopt,
       "警告: 数据库 shop 为完整恢复模式,但事务日志从未备份,日志会一直增长直到磁盘占满。"
       "可在\"选项\"中选择\"同时备份事务日志\"或\"改为简单恢复模式\""},
      // A database in FULL behaves as SIMPLE until its first full backup.
      {"FullBeforeItsFirstBackup", "FULL", "NOTHING", false, LogSpace{512, 87.4}, std::nullopt},
      {"HeldByATransaction", "FULL", "ACTIVE_TRANSACTION", false, LogSpace{512, 87.4}, std::nullopt},
      {"Simple", "SIMPLE", "NOTHING", false, LogSpace{512, 87.4}, std::nullopt},
      {"SimpleWhateverTheWait", "SIMPLE", "LOG_BACKUP", false, LogSpace{512, 87.4}, std::nullopt},
      {"LogBackedUpByUs", "FULL", "LOG_BACKUP", true, LogSpace{512, 87.4}, std::nullopt},
      {"BulkLoggedBackedUpByUs", "BULK_LOGGED", "LOG_BACKUP", true, std::nullopt, std::nullopt},
  };
  for (const Row& row : rows) {
    const std::optional<HealthFinding> finding = CheckLog("shop", row.model, row.wait, row.logBackups, row.space);
    EXPECT_EQ(LineOf(finding), row.line) << row.name;
    if (finding) {
      EXPECT_EQ(finding->key, "log") << row.name;
      EXPECT_EQ(finding->title, "事务日志会占满磁盘") << row.name;
    }
  }
}

// ---- The same volume.

TEST(HealthCheckTest, BackupsOnTheVolumeOfTheDatabase) {
  // D: and E: are two disks; a third volume is mounted at C:\mnt\data\ and
  // also reached as M:; S: is a second letter of D:; \\nas\b\ is a share.
  const std::map<std::string, std::string> volumes = {
      {"C:\\", "system"}, {"C:\\mnt\\data\\", "mounted"}, {"M:\\", "mounted"}, {"D:\\", "d"},
      {"S:\\", "d"},      {"E:\\", "e"},                   {"\\\\nas\\b\\", "nas"}};
  struct Row {
    const char* name;
    std::string backupDir;
    std::string replicaDir;
    std::vector<std::string> databaseFiles;
    std::optional<std::string> sharedFile;  // the file the finding names; nothing: no finding
  };
  const std::vector<std::string> onD = {"D:\\data\\shop.mdf", "D:\\data\\shop_log.ldf"};
  const Row rows[] = {
      {"SameDrive", "D:\\备份\\", "", onD, "D:\\data\\shop.mdf"},
      {"AnyLetterCase", "d:\\备份\\", "", onD, "D:\\data\\shop.mdf"},
      {"AnotherDrive", "E:\\备份\\", "", onD, std::nullopt},
      {"ASecondLetterOfTheSameDisk", "S:\\备份\\", "", onD, "D:\\data\\shop.mdf"},
      {"TheVolumeMountedInAFolderAndAsALetter", "M:\\备份\\", "", {"C:\\mnt\\data\\shop.mdf"},
       "C:\\mnt\\data\\shop.mdf"},
      {"ALetterAboveAMountedVolume", "C:\\备份\\", "", {"C:\\mnt\\data\\shop.mdf"}, std::nullopt},
      {"OnlyTheLogShares", "E:\\备份\\", "", {"D:\\data\\shop.mdf", "E:\\log\\shop_log.ldf"}, "E:\\log\\shop_log.ldf"},
      {"AShare", "\\\\nas\\b\\备份\\", "", onD, std::nullopt},
      {"BackupFolderCannotBeTold", "Q:\\备份\\", "", onD, std::nullopt},
      {"DatabaseFilesCannotBeTold", "D:\\备份\\", "", {"X:\\data\\shop.mdf"}, std::nullopt},
      {"CopiedToAnotherDisk", "D:\\备份\\", "E:\\副本\\", onD, std::nullopt},
      {"CopiedToAShare", "D:\\备份\\", "\\\\NAS\\B\\副本\\", onD, std::nullopt},
      {"CopiedToTheSameDisk", "D:\\备份\\", "S:\\副本\\", onD, "D:\\data\\shop.mdf"},
      {"CopiedToTheDiskOfAnotherDatabaseFile", "D:\\备份\\", "E:\\副本\\", {"D:\\data\\shop.mdf", "E:\\log\\shop.ldf"},
       "D:\\data\\shop.mdf"},
      {"CopiedWhereNoVolumeCanBeTold", "D:\\备份\\", "Q:\\副本\\", onD, "D:\\data\\shop.mdf"},
  };
  for (const Row& row : rows) {
    MemoryFiles files;
    files.volumes = volumes;
    BackupSettings settings;
    settings.database = "shop";
    settings.backupDir = row.backupDir;
    settings.replicaDir = row.replicaDir;
    const std::optional<HealthFinding> finding = CheckVolume(files, settings, row.databaseFiles);
    ASSERT_EQ(finding.has_value(), row.sharedFile.has_value()) << row.name;
    if (!finding) continue;
    EXPECT_EQ(finding->key, "volume") << row.name;
    EXPECT_EQ(finding->title, "备份与数据库在同一磁盘") << row.name;
    EXPECT_EQ(finding->line, "警告: 备份目录 " + row.backupDir + " 与数据库 shop 的文件 " + *row.sharedFile +
                                 " 在同一磁盘上,也没有复制到其他磁盘,磁盘损坏时备份会与数据库一起丢失。"
                                 "可在\"备份复制到\"中选择另一个磁盘或网络共享")
        << row.name;
  }
}

// ---- Free space.

TEST(HealthCheckTest, TheMarginOfTheNextBackup) {
  // A tenth of the estimate, and never less than 64 MB.
  struct Row {
    std::uint64_t estimate, needed;
  };
  const Row rows[] = {{0, 64 * kMiB},
                      {100 * kMiB, 164 * kMiB},
                      {640 * kMiB, 704 * kMiB},
                      {650 * kMiB, 715 * kMiB},
                      {30 * kGiB, 33 * kGiB},
                      {UINT64_MAX - 1, UINT64_MAX}};
  for (const Row& row : rows) EXPECT_EQ(SpaceNeeded(row.estimate), row.needed) << row.estimate;
}

TEST(HealthCheckTest, TooLittleRoomForTheNextBackup) {
  const std::uint64_t needed = SpaceNeeded(3 * kGiB);  // 3 GB and 307.2 MB
  struct Row {
    const char* name;
    bool copies;
    std::optional<std::uint64_t> available;
    BackupEstimate estimate;
    std::optional<std::string> line;
  };
  const Row rows[] = {
      {"JustBelow", false, needed - 1, {3 * kGiB, true},
       "警告: 备份目录 D:\\备份\\ 所在磁盘只剩 3.2 GB,下次备份约需 3.3 GB (上次备份 3.0 GB)。"
       "请清理磁盘或选择另一个备份目录"},
      {"Exactly", false, needed, {3 * kGiB, true}, std::nullopt},
      {"JustAbove", false, needed + 1, {3 * kGiB, true}, std::nullopt},
      {"TheMarginCounts", false, 3 * kGiB + 1, {3 * kGiB, true},
       "警告: 备份目录 D:\\备份\\ 所在磁盘只剩 3.0 GB,下次备份约需 3.3 GB (上次备份 3.0 GB)。"
       "请清理磁盘或选择另一个备份目录"},
      {"BeforeTheFirstBackup", false, 100 * kMiB, {200 * kMiB + 1, false},
       "警告: 备份目录 D:\\备份\\ 所在磁盘只剩 100.0 MB,下次备份约需 264.1 MB (数据库已用 200.1 MB)。"
       "请清理磁盘或选择另一个备份目录"},
      {"BeforeTheFirstBackupEnoughRoom", false, 264 * kMiB + 1, {200 * kMiB, false}, std::nullopt},
      {"TheCopies", true, kGiB + kGiB / 4, {3 * kGiB + 3 * kGiB / 100, true},
       "警告: 复制目录 D:\\备份\\ 所在磁盘只剩 1.2 GB,下次复制约需 3.4 GB (上次备份 3.1 GB)。"
       "请清理磁盘或选择另一个复制目录"},
      {"RoomCannotBeTold", false, std::nullopt, {3 * kGiB, true}, std::nullopt},
  };
  for (const Row& row : rows) {
    const std::optional<HealthFinding> finding = CheckFreeSpace("D:\\备份\\", row.copies, row.available, row.estimate);
    EXPECT_EQ(LineOf(finding), row.line) << row.name;
    if (finding) {
      EXPECT_EQ(finding->key, row.copies ? "space-copies" : "space") << row.name;
      EXPECT_EQ(finding->title, row.copies ? "复制目录磁盘空间不足" : "备份目录磁盘空间不足") << row.name;
    }
  }
}

// A backup folder with an older, larger backup, the newest one, a newer file
// that is no backup, and a newer backup that cannot be opened.
MemoryFiles BackupFolder() {
  MemoryFiles files;
  const auto put = [&files](const std::string& name, std::uint64_t size, LocalDateTime modified) {
    files.add("D:\\备份\\" + name, "", modified);
    files.files["D:\\备份\\" + name].generated = size;
  };
  put("2026年12月09日02时00分.bak", 5 * kGiB, At(2026, 12, 9, 2, 0));
  put("2026年12月10日02时00分.bak", 3 * kGiB + kGiB / 10, At(2026, 12, 10, 2, 0));
  put("2026年12月10日02时00分.trn", 10 * kGiB, At(2026, 12, 10, 2, 5));
  put("notes.bak.txt", 10 * kGiB, At(2026, 12, 11, 0, 0));
  put("2026年12月11日02时00分.bak", 2 * kGiB, At(2026, 12, 11, 2, 0));
  files.files["D:\\备份\\2026年12月11日02时00分.bak"].locked = true;
  return files;
}

TEST(HealthCheckTest, ShortfallOfABackupThatFoundNoRoom) {
  BackupSettings settings;
  settings.backupDir = "D:\\备份\\";
  MemoryFiles files = BackupFolder();
  files.available = kGiB + kGiB / 4;
  EXPECT_EQ(SpaceShortfall(files, settings), "备份目录所在磁盘只剩 1.2 GB,上次备份 3.1 GB");
  settings.backupDir = "D:\\备份";  // as typed, before it is applied
  EXPECT_EQ(SpaceShortfall(files, settings), "备份目录所在磁盘只剩 1.2 GB,上次备份 3.1 GB");

  MemoryFiles empty;
  empty.folders.insert("D:\\备份\\");
  empty.available = 700 * kMiB + 1;
  EXPECT_EQ(SpaceShortfall(empty, settings), "备份目录所在磁盘只剩 700.0 MB");
  empty.available.reset();
  EXPECT_EQ(SpaceShortfall(empty, settings), std::nullopt);
}

// ---- The Express edition's size limit.

TEST(HealthCheckTest, ExpressNearItsSizeLimit) {
  constexpr int kExpress = 4, kStandard = 2, kEnterprise = 3;
  const auto line = [](const char* data, const char* limit, const char* percent) {
    return std::string("警告: 数据库 shop 的数据文件共 ") + data + ",已达 SQL Server Express 版每个数据库 " + limit +
           " 上限的 " + percent + "%,达到上限后数据库将无法写入新数据。请清理数据或升级到其他版本";
  };
  struct Row {
    const char* name;
    int edition;
    int major;
    std::uint64_t data;
    std::optional<std::string> key;
    std::optional<std::string> line;
  };
  const Row rows[] = {
      {"BelowEighty", kExpress, 16, 8 * kGiB - 1, std::nullopt, std::nullopt},
      {"Eighty", kExpress, 16, 8 * kGiB, "size-80", line("8.0 GB", "10.0 GB", "80")},
      {"BelowNinetyFive", kExpress, 16, 9 * kGiB + kGiB / 2 - 1, "size-80", line("9.5 GB", "10.0 GB", "94")},
      {"NinetyFive", kExpress, 16, 9 * kGiB + kGiB / 2, "size-95", line("9.5 GB", "10.0 GB", "95")},
      {"Beyond", kExpress, 15, 11 * kGiB, "size-95", line("11.0 GB", "10.0 GB", "110")},
      {"OlderVersions", kExpress, 10, 8 * kGiB, "size-80", line("8.0 GB", "10.0 GB", "80")},
      // From major version 17 on the limit is 50 GB.
      {"NewLimitBelow", kExpress, 17, 40 * kGiB - 1, std::nullopt, std::nullopt},
      {"NewLimitEighty", kExpress, 17, 40 * kGiB, "size-80", line("40.0 GB", "50.0 GB", "80")},
      {"NewLimitNinetyFive", kExpress, 17, 47 * kGiB + kGiB / 2, "size-95", line("47.5 GB", "50.0 GB", "95")},
      {"LaterVersions", kExpress, 18, 12 * kGiB, std::nullopt, std::nullopt},
      {"Standard", kStandard, 16, 12 * kGiB, std::nullopt, std::nullopt},
      {"Enterprise", kEnterprise, 16, 600 * kGiB, std::nullopt, std::nullopt},
  };
  for (const Row& row : rows) {
    const std::optional<HealthFinding> finding = CheckDatabaseSize("shop", row.edition, row.major, row.data);
    EXPECT_EQ(finding ? std::optional<std::string>(finding->key) : std::nullopt, row.key) << row.name;
    EXPECT_EQ(LineOf(finding), row.line) << row.name;
  }
}

TEST(HealthCheckTest, ResolvedLines) {
  const std::map<std::string, std::string> expected = {
      {"log", "已解决: 数据库 商店 的事务日志不再等待备份"},
      {"volume", "已解决: 数据库 商店 的备份已不只在数据库所在的磁盘上"},
      {"space", "已解决: 备份目录所在磁盘的空间已够下次备份"},
      {"space-copies", "已解决: 复制目录所在磁盘的空间已够下次复制"},
      {"size-80", "已解决: 数据库 商店 已低于 Express 版大小上限的 80%"},
      {"size-95", "已解决: 数据库 商店 已低于 Express 版大小上限的 95%"},
  };
  for (const auto& [key, line] : expected) EXPECT_EQ(HealthResolvedLine(key, "商店"), line) << key;
  EXPECT_EQ(HealthResolvedLine("size", "商店"), std::nullopt);
}

// ---- A whole run against a scripted server.

// A server to script: each statement is answered from `answers`, or refused
// with the error in `refusals`; any other statement fails the test.
struct Server {
  FakeSession session;
  std::map<std::string, QueryResult> answers;
  std::map<std::string, ServerError> refusals;
  Server() {
    session.onQuery = [this](const std::string& statement) {
      if (const auto refused = refusals.find(statement); refused != refusals.end()) throw refused->second;
      const auto answer = answers.find(statement);
      if (answer == answers.end()) {
        ADD_FAILURE() << "unexpected statement: " << statement;
        return QueryResult{};
      }
      return answer->second;
    };
  }
  std::vector<std::string> queries() const { return session.statements; }
};

const std::string kRecovery =
    "SELECT recovery_model_desc, log_reuse_wait_desc FROM sys.databases WHERE name = N'shop'";
const std::string kLogSpace = "DBCC SQLPERF(LOGSPACE)";
const std::string kFiles =
    "SELECT type_desc, physical_name, size FROM sys.master_files WHERE database_id = DB_ID(N'shop')";
const std::string kUsed = "SELECT SUM(used_pages) AS used_pages FROM [shop].sys.allocation_units";
const std::string kEdition =
    "SELECT CAST(SERVERPROPERTY('EngineEdition') AS int) AS EngineEdition, "
    "CAST(SERVERPROPERTY('ProductVersion') AS nvarchar(128)) AS ProductVersion";

const ServerError kNoSelect("denied", {{"42000", 229,
                                        "[Microsoft][ODBC Driver 18 for SQL Server][SQL Server]The SELECT permission "
                                        "was denied on the object 'master_files', database 'mssqlsystemresource', "
                                        "schema 'sys'."}});
const ServerError kNoRights("denied", {{"42000", 297, "The user does not have permission to perform this action."}});
constexpr char kNoSelectWords[] =
    "229 The SELECT permission was denied on the object 'master_files', database 'mssqlsystemresource', schema 'sys'.";

// Everything wrong at once: shop in FULL with its log waiting, its files and
// the backup folder on D:, a second folder on the same disk, little room,
// and an Express database at 96 % of its 10 GB.
struct TroubledShop {
  Server server;
  MemoryFiles files;
  BackupSettings settings;
  TroubledShop() {
    settings.server = "PC1";
    settings.user = "sa";
    settings.password = "pw";
    settings.database = "shop";
    settings.backupDir = "D:\\备份\\";
    settings.replicaDir = "D:\\副本\\";
    files.volumes = {{"D:\\", "d"}, {"E:\\", "e"}};
    files.folders = {"D:\\备份\\", "D:\\副本\\", "E:\\副本\\"};
    files.freeOnVolume = {{"d", 2 * kGiB}, {"e", 500 * kGiB}};
    server.answers = {
        {kRecovery, {{"recovery_model_desc", "log_reuse_wait_desc"}, {{"FULL", "LOG_BACKUP"}}}},
        {kLogSpace,
         {{"Database Name", "Log Size (MB)", "Log Space Used (%)", "Status"},
          {{"master", "2.2421875", "40.5", "0"}, {"Shop", "1", "1", "0"}, {"shop", "5.12E2", "87.25", "0"}}}},
        // 1179648 pages of 8 KB: 9 GB of data, 0.6 GB in a second file, and a log that does not count.
        {kFiles,
         {{"type_desc", "physical_name", "size"},
          {{"ROWS", "D:\\data\\shop.mdf", "1179648"},
           {"ROWS", "D:\\data\\shop2.ndf", "78644"},
           {"LOG", "D:\\data\\shop_log.ldf", "9999999"}}}},
        {kUsed, {{"used_pages"}, {{"393216"}}}},  // 3 GB
        {kEdition, {{"EngineEdition", "ProductVersion"}, {{"4", "16.0.1000.6"}}}},
    };
  }
};

const std::string kLogLine =
    "警告: 数据库 shop 为完整恢复模式,但事务日志从未备份,日志会一直增长直到磁盘占满: 日志 512.0 MB,已使用 87%。"
    "可在\"选项\"中选择\"同时备份事务日志\"或\"改为简单恢复模式\"";
const std::string kVolumeLine =
    "警告: 备份目录 D:\\备份\\ 与数据库 shop 的文件 D:\\data\\shop.mdf 在同一磁盘上,也没有复制到其他磁盘,"
    "磁盘损坏时备份会与数据库一起丢失。可在\"备份复制到\"中选择另一个磁盘或网络共享";
const std::string kSpaceLine =
    "警告: 备份目录 D:\\备份\\ 所在磁盘只剩 2.0 GB,下次备份约需 3.3 GB (数据库已用 3.0 GB)。"
    "请清理磁盘或选择另一个备份目录";
const std::string kCopiesLine =
    "警告: 复制目录 D:\\副本\\ 所在磁盘只剩 2.0 GB,下次复制约需 3.3 GB (数据库已用 3.0 GB)。"
    "请清理磁盘或选择另一个复制目录";
const std::string kSizeLine =
    "警告: 数据库 shop 的数据文件共 9.6 GB,已达 SQL Server Express 版每个数据库 10.0 GB 上限的 96%,"
    "达到上限后数据库将无法写入新数据。请清理数据或升级到其他版本";

std::vector<std::string> Keys(const HealthReport& report) {
  std::vector<std::string> keys;
  for (const HealthFinding& f : report.findings) keys.push_back(f.key);
  return keys;
}

std::vector<std::string> Lines(const HealthReport& report) {
  std::vector<std::string> lines;
  for (const HealthFinding& f : report.findings) lines.push_back(f.line);
  return lines;
}

TEST(HealthCheckTest, RunFindsEveryProblemWithItsFigures) {
  TroubledShop shop;
  const HealthReport report = RunHealthChecks(shop.settings, shop.server.session, shop.files);
  EXPECT_TRUE(report.reached);
  EXPECT_EQ(shop.server.session.opens(), std::vector<std::string>{"sa|pw|PC1"});
  EXPECT_EQ(shop.server.queries(), (std::vector<std::string>{kRecovery, kLogSpace, kFiles, kUsed, kEdition}));
  EXPECT_EQ(Lines(report), (std::vector<std::string>{kLogLine, kVolumeLine, kSpaceLine, kCopiesLine, kSizeLine}));
  EXPECT_EQ(Keys(report), (std::vector<std::string>{"log", "volume", "space", "space-copies", "size-95"}));
  EXPECT_EQ(report.skipped, std::vector<std::string>{});
}

TEST(HealthCheckTest, RunOfAHealthyDatabaseFindsNothing) {
  TroubledShop shop;
  shop.settings.replicaDir = "E:\\副本\\";
  shop.server.answers[kRecovery].rows = {{"FULL", "NOTHING"}};
  shop.server.answers[kEdition].rows = {{"4", "17.0.1000.7"}};  // 50 GB from 2025 on
  shop.files.freeOnVolume["d"] = 4 * kGiB;
  const HealthReport report = RunHealthChecks(shop.settings, shop.server.session, shop.files);
  EXPECT_TRUE(report.reached);
  EXPECT_EQ(Keys(report), std::vector<std::string>{});
  EXPECT_EQ(report.skipped, std::vector<std::string>{});
  // The log's size is asked only of a log that waits.
  EXPECT_EQ(shop.server.queries(), (std::vector<std::string>{kRecovery, kFiles, kUsed, kEdition}));
}

TEST(HealthCheckTest, RunJudgesTheRoomByTheLastBackup) {
  TroubledShop shop;
  MemoryFiles folder = BackupFolder();  // the newest backup has 3.1 GB
  folder.volumes = shop.files.volumes;
  folder.folders.insert("D:\\副本\\");
  folder.freeOnVolume = {{"d", 2 * kGiB}};
  shop.settings.logBackups = true;
  const HealthReport report = RunHealthChecks(shop.settings, shop.server.session, folder);
  EXPECT_EQ(shop.server.queries(), (std::vector<std::string>{kRecovery, kFiles, kEdition}));
  ASSERT_EQ(Keys(report), (std::vector<std::string>{"volume", "space", "space-copies", "size-95"}));
  EXPECT_EQ(report.findings[1].line,
            "警告: 备份目录 D:\\备份\\ 所在磁盘只剩 2.0 GB,下次备份约需 3.5 GB (上次备份 3.1 GB)。"
            "请清理磁盘或选择另一个备份目录");
}

TEST(HealthCheckTest, ARefusedQuestionSkipsOnlyItsCheck) {
  struct Row {
    const char* name;
    std::string refused;
    ServerError error;
    std::vector<std::string> keys;
    std::vector<std::string> skipped;
  };
  const Row rows[] = {
      {"Recovery", kRecovery, kNoSelect, {"volume", "space", "space-copies", "size-95"},
       {std::string("无法检查恢复模式: ") + kNoSelectWords}},
      // The warning stands without the figures.
      {"LogSpace", kLogSpace, kNoRights, {"log", "volume", "space", "space-copies", "size-95"}, {}},
      {"Files", kFiles, kNoSelect, {"log", "space", "space-copies"},
       {std::string("无法检查备份目录与数据库文件是否在同一磁盘: ") + kNoSelectWords,
        std::string("无法检查数据库大小: ") + kNoSelectWords}},
      {"UsedPages", kUsed, kNoSelect, {"log", "volume", "size-95"},
       {std::string("无法检查磁盘空间: ") + kNoSelectWords}},
      {"Edition", kEdition, kNoSelect, {"log", "volume", "space", "space-copies"},
       {std::string("无法检查数据库大小: ") + kNoSelectWords}},
  };
  for (const Row& row : rows) {
    TroubledShop shop;
    shop.server.refusals.emplace(row.refused, row.error);
    const HealthReport report = RunHealthChecks(shop.settings, shop.server.session, shop.files);
    EXPECT_TRUE(report.reached) << row.name;
    EXPECT_EQ(Keys(report), row.keys) << row.name;
    EXPECT_EQ(report.skipped, row.skipped) << row.name;
    if (row.refused == kLogSpace) {
      EXPECT_EQ(report.findings[0].line,
                "警告: 数据库 shop 为完整恢复模式,但事务日志从未备份,日志会一直增长直到磁盘占满。"
                "可在\"选项\"中选择\"同时备份事务日志\"或\"改为简单恢复模式\"");
    }
  }
}

// A server that lets one question run into the time-out is not asked the
// others, which would each wait as long: their checks are skipped in the
// time-out's words. Those before it stand.
TEST(HealthCheckTest, AfterAQuestionTimesOutNoOtherIsAsked) {
  const ServerError timeout("timeout", {{"HYT00", 0, "[FreeTDS][SQL Server]Timeout expired"}});
  TroubledShop shop;
  shop.server.refusals.emplace(kFiles, timeout);
  const HealthReport report = RunHealthChecks(shop.settings, shop.server.session, shop.files);
  EXPECT_TRUE(report.reached);
  EXPECT_EQ(shop.server.queries(), (std::vector<std::string>{kRecovery, kLogSpace, kFiles}));
  EXPECT_EQ(Keys(report), (std::vector<std::string>{"log"}));
  ASSERT_EQ(report.skipped.size(), 3u) << ::testing::PrintToString(report.skipped);
  const std::string words = report.skipped[0].substr(report.skipped[0].find(": ") + 2);
  EXPECT_NE(words.find("Timeout expired"), std::string::npos) << words;
  EXPECT_EQ(report.skipped, (std::vector<std::string>{"无法检查备份目录与数据库文件是否在同一磁盘: " + words,
                                                      "无法检查磁盘空间: " + words, "无法检查数据库大小: " + words}));
}

TEST(HealthCheckTest, AnAnswerThatCannotBeReadSkipsOnlyItsCheck) {
  struct Row {
    const char* name;
    std::string statement;
    QueryResult answer;
    std::string skipped;
  };
  const Row rows[] = {
      {"NoWaitColumn", kRecovery, {{"recovery_model_desc"}, {{"FULL"}}},
       "无法检查恢复模式: 服务器的结果中没有 log_reuse_wait_desc 列"},
      {"NoSuchDatabase", kRecovery, {{"recovery_model_desc", "log_reuse_wait_desc"}, {}},
       "无法检查恢复模式: 服务器上没有数据库 shop"},
      {"NoFiles", kFiles, {{"type_desc", "physical_name", "size"}, {}},
       "无法检查备份目录与数据库文件是否在同一磁盘: 服务器上没有数据库 shop"},
      {"SizeNoNumber", kFiles, {{"type_desc", "physical_name", "size"}, {{"ROWS", "D:\\shop.mdf", "-1"}}},
       "无法检查备份目录与数据库文件是否在同一磁盘: 服务器的结果中 size 的值 \"-1\" 无法读取"},
      {"ShortRow", kFiles, {{"type_desc", "physical_name", "size"}, {{"ROWS", "D:\\shop.mdf"}}},
       "无法检查备份目录与数据库文件是否在同一磁盘: 服务器的结果中没有 size 列"},
      {"UsedPagesNull", kUsed, {{"used_pages"}, {{""}}}, "无法检查磁盘空间: 服务器的结果中 used_pages 的值 \"\" 无法读取"},
      {"VersionNoNumber", kEdition, {{"EngineEdition", "ProductVersion"}, {{"4", "x.0"}}},
       "无法检查数据库大小: 服务器的结果中 ProductVersion 的值 \"x\" 无法读取"},
  };
  for (const Row& row : rows) {
    TroubledShop shop;
    shop.server.answers[row.statement] = row.answer;
    const HealthReport report = RunHealthChecks(shop.settings, shop.server.session, shop.files);
    EXPECT_TRUE(report.reached) << row.name;
    ASSERT_FALSE(report.skipped.empty()) << row.name;
    EXPECT_EQ(report.skipped[0], row.skipped) << row.name;
    // Every other check still ran: the first finding is the log's, or with
    // the log's answer unread, the volume's.
    ASSERT_FALSE(report.findings.empty()) << row.name;
    EXPECT_EQ(report.findings[0].key, row.statement == kRecovery ? "volume" : "log") << row.name;
  }
}

TEST(HealthCheckTest, UnreadableLogFiguresLeaveTheWarningWithout) {
  for (const char* size : {"", "nan", "-5", "inf", "12 MB"}) {
    TroubledShop shop;
    shop.server.answers[kLogSpace].rows = {{"shop", size, "87.25", "0"}};
    const HealthReport report = RunHealthChecks(shop.settings, shop.server.session, shop.files);
    ASSERT_FALSE(report.findings.empty()) << size;
    EXPECT_EQ(report.findings[0].line,
              "警告: 数据库 shop 为完整恢复模式,但事务日志从未备份,日志会一直增长直到磁盘占满。"
              "可在\"选项\"中选择\"同时备份事务日志\"或\"改为简单恢复模式\"")
        << size;
  }
}

TEST(HealthCheckTest, NoConnectionChecksNothing) {
  TroubledShop shop;
  shop.server.session.failOpen = true;
  const HealthReport report = RunHealthChecks(shop.settings, shop.server.session, shop.files);
  EXPECT_FALSE(report.reached);
  EXPECT_EQ(Keys(report), std::vector<std::string>{});
  EXPECT_EQ(report.skipped, std::vector<std::string>{"无法连接SQL服务器,未做检查: 18456 Login failed for user."});
  EXPECT_EQ(shop.server.queries(), std::vector<std::string>{});
}

TEST(HealthCheckTest, NamesAreQuotedForTheServer) {
  // Quotes end a text literal, "]" a bracketed name; characters beyond the
  // BMP and Chinese pass as they are.
  TroubledShop shop;
  shop.settings.database = "O'Neil]商店😀";
  shop.server.answers.clear();
  shop.server.session.onQuery = [](const std::string&) -> QueryResult {
    throw ServerError("denied", {{"42000", 229, "denied"}});
  };
  const HealthReport report = RunHealthChecks(shop.settings, shop.server.session, shop.files);
  EXPECT_EQ(shop.server.queries(),
            (std::vector<std::string>{
                "SELECT recovery_model_desc, log_reuse_wait_desc FROM sys.databases WHERE name = N'O''Neil]商店😀'",
                "SELECT type_desc, physical_name, size FROM sys.master_files WHERE database_id = "
                "DB_ID(N'O''Neil]商店😀')",
                "SELECT SUM(used_pages) AS used_pages FROM [O'Neil]]商店😀].sys.allocation_units", kEdition}));
  EXPECT_EQ(report.skipped.size(), 4u);
}

}  // namespace
}  // namespace bakwyn
