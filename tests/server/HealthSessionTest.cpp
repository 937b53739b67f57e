// What the health checks read and change through the ODBC session, against the
// stand-in: the recovery model and the log, the database's files, its used
// pages and the server's edition; BACKUP LOG and ALTER DATABASE ... SET
// RECOVERY with the server's rules and message numbers. The statements are
// built as the system builds them (its quoting of names and texts).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif
#include <sql.h>
#include <sqlext.h>

#include "base/SqlText.h"
#include "base/Text.h"
#include "server/ConnectionString.h"
#include "tests/server/SessionFixture.h"

namespace bakwyn {
namespace {

using namespace session_test;
using test::StandInDatabaseHealth;
using test::StandInFault;
using test::StandInFileSpec;
using Rows = std::vector<std::vector<std::string>>;

std::string RecoveryQuery(const std::string& database) {
  return "SELECT recovery_model_desc, log_reuse_wait_desc FROM sys.databases WHERE name = " +
         SqlTextLiteral(database);
}
constexpr char kLogSpace[] = "DBCC SQLPERF(LOGSPACE)";
std::string FilesQuery(const std::string& database) {
  return "SELECT type_desc, physical_name, size FROM sys.master_files WHERE database_id = DB_ID(" +
         SqlTextLiteral(database) + ")";
}
std::string UsedQuery(const std::string& database) {
  return "SELECT SUM(used_pages) AS used_pages FROM " + SqlNameLiteral(database) + ".sys.allocation_units";
}
// SERVERPROPERTY returns a sql_variant; the session reads every value as text,
// which FreeTDS 1.3 never finishes for a sql_variant holding an int (01004 on
// every SQLGetData). Cast, the values come as their own types.
constexpr char kEditionQuery[] =
    "SELECT CAST(SERVERPROPERTY('EngineEdition') AS int) AS EngineEdition, "
    "CAST(SERVERPROPERTY('ProductVersion') AS nvarchar(128)) AS ProductVersion";
constexpr char kBareEditionQuery[] =
    "SELECT SERVERPROPERTY('EngineEdition') AS EngineEdition, SERVERPROPERTY('ProductVersion') AS ProductVersion";
std::string SetRecovery(const std::string& database, const std::string& model) {
  return "ALTER DATABASE " + SqlNameLiteral(database) + " SET RECOVERY " + model;
}
std::string FullBackup(const std::string& database, const std::string& path) {
  return "BACKUP DATABASE " + SqlNameLiteral(database) + " TO  DISK = " + SqlTextLiteral(path) +
         " WITH  NOINIT ,  NOUNLOAD ,NAME = N'Vorda软件Bakwyn',SKIP ,  STATS = 10,  NOFORMAT,  CHECKSUM";
}
std::string LogBackup(const std::string& database, const std::string& path, bool checksum = true) {
  return "BACKUP LOG " + SqlNameLiteral(database) + " TO  DISK = " + SqlTextLiteral(path) +
         " WITH  NOINIT ,  NOUNLOAD ,NAME = N'Vorda软件Bakwyn',SKIP ,  STATS = 10,  NOFORMAT" +
         (checksum ? ",  CHECKSUM" : "");
}

// The message of the first record with that number, without the driver's prefix.
std::string Text(const std::vector<Diagnostic>& records, std::int32_t number) {
  for (const Diagnostic& d : records) {
    if (d.nativeError == number) return d.message.substr(d.message.rfind(']') + 1);
  }
  return "<no " + std::to_string(number) + ">";
}

std::vector<std::int32_t> Sorted(std::vector<std::int32_t> v) {
  std::sort(v.begin(), v.end());
  return v;
}

std::string Value(const QueryResult& result, std::size_t row, std::string_view column) {
  const int index = result.column(column);
  if (index < 0 || row >= result.rows.size()) return "<no " + std::string(column) + ">";
  return result.rows[row][static_cast<std::size_t>(index)];
}

// The row of DBCC SQLPERF(LOGSPACE) for one database.
std::vector<std::string> LogSpaceOf(const QueryResult& result, const std::string& database) {
  const int name = result.column("Database Name");
  for (const auto& row : result.rows) {
    if (name >= 0 && row[static_cast<std::size_t>(name)] == database) return row;
  }
  return {};
}

class HealthSessionTest : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    if (HasFatalFailure()) return;
    // shop: a database in FULL whose log was never backed up, on D: and E:.
    StandInDatabaseHealth shop;
    shop.recovery = "FULL";
    shop.fullBackup = true;
    shop.logSizeMb = 512.0;
    shop.logUsedPercent = 87.5;
    shop.usedPages = 900;
    shop.files = std::vector<StandInFileSpec>{{"ROWS", "D:\\data\\shop.mdf", 1280},
                                              {"ROWS", "D:\\data\\shop_2.ndf", 640, "shop_more"},
                                              {"LOG", "E:\\logs\\shop_log.ldf", 65536}};
    standIn().configureDatabase("shop", shop);
    // Accounts: sizes as a server reports a fresh database's log, which are no
    // round numbers.
    standIn().configureDatabase("Accounts", {.logSizeMb = 7.9921875, .logUsedPercent = 43.70079});
    session_.open("sa", "pw", kStandInServer);
  }

  Rows rows(const std::string& statement) { return session_.query(statement).rows; }

  OdbcServerSession session_;
};

// Each read as the checks send it: the column names they look up and the values
// configured, or, for a database only named, what the stand-in gives any database.
struct ReadCase {
  const char* name;
  std::string hiddenOn;  // a "hidden" fault armed there first ("" none)
  std::string statement;
  std::vector<std::string> columns;
  Rows rows;
};
void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

const std::string kDefaultFolder = "C:\\Program Files\\Microsoft SQL Server\\MSSQL16.MSSQLSERVER\\MSSQL\\DATA\\";

const ReadCase kReads[] = {
    {"RecoveryConfigured", "", RecoveryQuery("shop"), {"recovery_model_desc", "log_reuse_wait_desc"},
     {{"FULL", "LOG_BACKUP"}}},
    {"RecoveryDefault", "", RecoveryQuery("库存"), {"recovery_model_desc", "log_reuse_wait_desc"},
     {{"SIMPLE", "NOTHING"}}},
    {"RecoveryOfUnknownDatabase", "", RecoveryQuery("nosuch"), {"recovery_model_desc", "log_reuse_wait_desc"}, {}},
    {"RecoveryHidden", "recovery", RecoveryQuery("shop"), {"recovery_model_desc", "log_reuse_wait_desc"}, {}},
    // Every database, master among them once though the test lists it too; the
    // sizes are reals, as the driver writes them (43.70079 has no exact real).
    {"LogSpace", "", kLogSpace, {"Database Name", "Log Size (MB)", "Log Space Used (%)", "Status"},
     {{"master", "8", "2.5", "0"},
      {"model", "8", "2.5", "0"},
      {"shop", "512", "87.5", "0"},
      {"Accounts", "7.9921875", "43.7007904", "0"},
      {"库存", "8", "2.5", "0"},
      {"shop_archive", "8", "2.5", "0"}}},
    {"FilesConfigured", "", FilesQuery("shop"), {"type_desc", "physical_name", "size"},
     {{"ROWS", "D:\\data\\shop.mdf", "1280"}, {"ROWS", "D:\\data\\shop_2.ndf", "640"},
      {"LOG", "E:\\logs\\shop_log.ldf", "65536"}}},
    {"FilesDefault", "", FilesQuery("库存"), {"type_desc", "physical_name", "size"},
     {{"ROWS", kDefaultFolder + "库存.mdf", "2048"}, {"LOG", kDefaultFolder + "库存_log.ldf", "1024"}}},
    {"FilesHidden", "files", FilesQuery("shop"), {"type_desc", "physical_name", "size"}, {}},
    {"UsedConfigured", "", UsedQuery("shop"), {"used_pages"}, {{"900"}}},
    // 1/40 of the 16 MB data file: what its full backups process.
    {"UsedDefault", "", UsedQuery("库存"), {"used_pages"}, {{"51"}}},
    // SUM of no rows is NULL, which reads as empty.
    {"UsedHidden", "used", UsedQuery("shop"), {"used_pages"}, {{""}}},
    {"EditionDefault", "", kEditionQuery, {"EngineEdition", "ProductVersion"}, {{"4", "16.0.1000.6"}}},
};

class ReadTest : public HealthSessionTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadTest, AnswersWithTheColumnsAndValuesOfTheServer) {
  const ReadCase& c = GetParam();
  if (!c.hiddenOn.empty()) standIn().arm(StandInFault{.kind = "hidden", .on = c.hiddenOn});
  const QueryResult result = session_.query(c.statement);
  EXPECT_EQ(result.columns, c.columns);
  EXPECT_EQ(result.rows, c.rows);
  if (!c.hiddenOn.empty()) {
    // Only that one statement was hidden.
    EXPECT_EQ(standIn().record().statements.back().fault, "hidden");
    EXPECT_NE(session_.query(c.statement).rows, c.rows);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ReadTest, ::testing::ValuesIn(kReads),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HealthSessionTest, EditionIsTheOneConfigured) {
  for (const auto& [edition, version] : std::vector<std::pair<int, std::string>>{
           {2, "15.0.2000.5"}, {3, "16.0.4135.4"}, {4, "13.0.5026.0"}}) {
    standIn().setEdition(edition, version);
    const QueryResult result = session_.query(kEditionQuery);
    EXPECT_EQ(Value(result, 0, "EngineEdition"), std::to_string(edition));
    EXPECT_EQ(Value(result, 0, "ProductVersion"), version);
  }
}

// The statement without casts through the session: a driver that reports
// every read of a sql_variant as cut short (01004) while its length fits is
// read once, not forever.
TEST_F(HealthSessionTest, TheSessionReadsBareServerPropertiesToTheirEnd) {
  standIn().setEdition(4, "17.0.100.1");
  const QueryResult result = session_.query(kBareEditionQuery);
  EXPECT_EQ(Value(result, 0, "EngineEdition"), "4");
  EXPECT_EQ(Value(result, 0, "ProductVersion"), "17.0.100.1");
}

// The statement without casts, straight through the driver: each value is a
// sql_variant, as from the server, read here in its own C type.
TEST_F(HealthSessionTest, BareServerPropertiesAreSqlVariants) {
  standIn().setEdition(2, "15.0.2000.5");
  // Declared so that they go statement first, then the link, the dbc, the environment.
  odbc::Env env;
  odbc::Dbc dbc;
  odbc::Link link;
  odbc::Stmt stmt;
  ASSERT_TRUE(SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, env.put())));
  SQLSetEnvAttr(env.get(), SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  ASSERT_TRUE(SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env.get(), dbc.put())));
  // The wide calls, as the session makes them (the Windows build imports only those).
  std::u16string connection = Utf8ToUtf16(BuildConnectionString("sa", "pw", kStandInServer, "FreeTDS"));
  ASSERT_TRUE(SQL_SUCCEEDED(SQLDriverConnectW(dbc.get(), nullptr, reinterpret_cast<SQLWCHAR*>(connection.data()),
                                              static_cast<SQLSMALLINT>(connection.size()), nullptr, 0, nullptr,
                                              SQL_DRIVER_NOPROMPT)));
  link.reset(dbc.get());
  ASSERT_TRUE(SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc.get(), stmt.put())));
  std::u16string statement = Utf8ToUtf16(kBareEditionQuery);
  ASSERT_TRUE(SQL_SUCCEEDED(SQLExecDirectW(stmt.get(), reinterpret_cast<SQLWCHAR*>(statement.data()),
                                           static_cast<SQLINTEGER>(statement.size()))));
  for (SQLUSMALLINT column : {1, 2}) {
    SQLSMALLINT type = 0;
    ASSERT_TRUE(SQL_SUCCEEDED(SQLDescribeColW(stmt.get(), column, nullptr, 0, nullptr, &type, nullptr, nullptr,
                                              nullptr)));
    EXPECT_EQ(type, -150) << "SQL_SS_VARIANT, column " << column;
  }
  ASSERT_TRUE(SQL_SUCCEEDED(SQLFetch(stmt.get())));
  SQLINTEGER edition = 0;
  SQLLEN length = 0;
  ASSERT_EQ(SQLGetData(stmt.get(), 1, SQL_C_SLONG, &edition, sizeof edition, &length), SQL_SUCCESS);
  EXPECT_EQ(edition, 2);
  char16_t version[64] = {};
  ASSERT_EQ(SQLGetData(stmt.get(), 2, SQL_C_WCHAR, version, sizeof version, &length), SQL_SUCCESS);
  EXPECT_EQ(Utf16ToUtf8(version), "15.0.2000.5");
  EXPECT_EQ(SQLFetch(stmt.get()), SQL_NO_DATA);
}

// The log's rule: nothing to back up in SIMPLE, nothing before the first full
// backup; after one, the log waits until BACKUP LOG takes it, into a file of
// its own, and is then empty.
TEST_F(HealthSessionTest, BackupLogTakesTheLogAfterAFullBackup) {
  session_.execute(SetRecovery("shop", "SIMPLE"));
  const auto simple = Failure([&] { session_.executeLong(LogBackup("shop", "T:\\backups\\x.trn")); });
  EXPECT_EQ(Sorted(Natives(simple)), (std::vector<std::int32_t>{3013, 4208}));
  EXPECT_EQ(Text(simple, 4208),
            "The statement BACKUP LOG is not allowed while the recovery model is SIMPLE. Use BACKUP DATABASE or "
            "change the recovery model using ALTER DATABASE.");
  EXPECT_EQ(Text(simple, 3013), "BACKUP LOG is terminating abnormally.");

  session_.execute(SetRecovery("shop", "FULL"));
  EXPECT_EQ(rows(RecoveryQuery("shop")), (Rows{{"FULL", "NOTHING"}}));
  const auto noBase = Failure([&] { session_.executeLong(LogBackup("shop", "T:\\backups\\x.trn")); });
  EXPECT_EQ(Sorted(Natives(noBase)), (std::vector<std::int32_t>{3013, 4214}));
  EXPECT_EQ(Text(noBase, 4214), "BACKUP LOG cannot be performed because there is no current database backup.");
  EXPECT_FALSE(fs::exists(drive_ / "backups" / "x.trn"));

  standIn().configureDatabase("shop", {.logUsedPercent = 87.5});
  session_.executeLong(FullBackup("shop", "T:\\backups\\x.bak"));
  EXPECT_EQ(rows(RecoveryQuery("shop")), (Rows{{"FULL", "LOG_BACKUP"}}));

  session_.executeLong(LogBackup("shop", "T:\\backups\\x.trn"));
  // 87.5 % of a 512 MB log, in 8 KB pages, from the log file.
  EXPECT_EQ(Text(session_.messages(), 4035), "Processed 57344 pages for database 'shop', file 'shop_log' on file 1.");
  EXPECT_EQ(Text(session_.messages(), 3014).substr(0, 55), "BACKUP LOG successfully processed 57344 pages in 0.012 ");
  EXPECT_EQ(rows(RecoveryQuery("shop")), (Rows{{"FULL", "NOTHING"}}));
  EXPECT_EQ(LogSpaceOf(session_.query(kLogSpace), "shop"), (std::vector<std::string>{"shop", "512", "2.5", "0"}));

  const QueryResult full = session_.query("RESTORE HEADERONLY FROM DISK = N'T:\\backups\\x.bak'");
  const QueryResult log = session_.query("RESTORE HEADERONLY FROM DISK = N'T:\\backups\\x.trn'");
  ASSERT_EQ(full.rows.size(), 1u);
  ASSERT_EQ(log.rows.size(), 1u);
  EXPECT_EQ(Value(full, 0, "BackupType"), "1");
  EXPECT_EQ(Value(log, 0, "BackupType"), "2");
  EXPECT_EQ(Value(log, 0, "BackupTypeDescription"), "Transaction Log");
  EXPECT_EQ(Value(log, 0, "DatabaseName"), "shop");
  EXPECT_EQ(Value(log, 0, "BackupName"), "Vorda软件Bakwyn");
  EXPECT_EQ(Value(log, 0, "HasBackupChecksums"), "1");
  EXPECT_EQ(Value(log, 0, "RecoveryModel"), "FULL");
  EXPECT_EQ(Value(log, 0, "BeginsLogChain"), "1");
  // After the full backup, in time and in the log; based on it.
  EXPECT_LE(Value(full, 0, "BackupFinishDate"), Value(log, 0, "BackupStartDate"));
  EXPECT_LT(std::stold(Value(full, 0, "LastLSN")), std::stold(Value(log, 0, "LastLSN")));
  EXPECT_EQ(Value(log, 0, "DatabaseBackupLSN"), Value(full, 0, "FirstLSN"));
  session_.executeLong("RESTORE VERIFYONLY FROM DISK = N'T:\\backups\\x.trn' WITH FILE = 1, CHECKSUM");
  EXPECT_EQ(Text(session_.messages(), 3262), "The backup set on file 1 is valid.");

  // The next log backup is appended and goes on where the last one ended.
  session_.executeLong(FullBackup("shop", "T:\\backups\\x.bak"));
  session_.executeLong(LogBackup("shop", "T:\\backups\\x.trn", false));
  const QueryResult logs = session_.query("RESTORE HEADERONLY FROM DISK = N'T:\\backups\\x.trn'");
  ASSERT_EQ(logs.rows.size(), 2u);
  EXPECT_EQ(Value(logs, 1, "Position"), "2");
  EXPECT_EQ(Value(logs, 1, "HasBackupChecksums"), "0");
  EXPECT_EQ(Value(logs, 1, "BeginsLogChain"), "0");
  EXPECT_EQ(Value(logs, 1, "FirstLSN"), Value(logs, 0, "LastLSN"));
  EXPECT_EQ(session_.query("RESTORE HEADERONLY FROM DISK = N'T:\\backups\\x.bak'").rows.size(), 2u);

  const auto record = standIn().record();
  std::vector<std::string> kinds;
  for (const auto& s : record.statements) {
    if (!s.backupKind.empty()) kinds.push_back(s.backupKind);
  }
  EXPECT_EQ(kinds, (std::vector<std::string>{"LOG", "LOG", "DATABASE", "LOG", "DATABASE", "LOG"}));
}

// A log backup that fails takes nothing: the log still waits.
TEST_F(HealthSessionTest, FailedLogBackupLeavesTheLogWaiting) {
  standIn().arm(StandInFault{.kind = "disk_full", .on = "backup_log"});
  session_.executeLong(FullBackup("shop", "T:\\backups\\x.bak"));  // not the fault's statement
  const auto records = Failure([&] { session_.executeLong(LogBackup("shop", "T:\\backups\\x.trn")); });
  EXPECT_EQ(Text(records, 3202), "Write on \"T:\\backups\\x.trn\" failed: 112(There is not enough space on the disk.)");
  EXPECT_EQ(Text(records, 3013), "BACKUP LOG is terminating abnormally.");
  EXPECT_FALSE(fs::exists(drive_ / "backups" / "x.trn"));
  EXPECT_EQ(rows(RecoveryQuery("shop")), (Rows{{"FULL", "LOG_BACKUP"}}));
  EXPECT_EQ(LogSpaceOf(session_.query(kLogSpace), "shop"), (std::vector<std::string>{"shop", "512", "87.5", "0"}));
}

// A restored database is in the model its backup recorded, and its log chain
// goes on from that backup: log backups may follow at once.
TEST_F(HealthSessionTest, RestoredDatabaseKeepsItsBackupsRecoveryModel) {
  session_.execute(SetRecovery("shop", "BULK_LOGGED"));
  session_.executeLong(FullBackup("shop", "T:\\backups\\x.bak"));
  EXPECT_EQ(Value(session_.query("RESTORE HEADERONLY FROM DISK = N'T:\\backups\\x.bak'"), 0, "RecoveryModel"),
            "BULK-LOGGED");
  fs::create_directories(drive_ / "copy");
  session_.executeLong(
      "RESTORE DATABASE [shop_copy] FROM DISK = N'T:\\backups\\x.bak' WITH FILE = 1, "
      "MOVE N'shop' TO N'T:\\copy\\a.mdf', MOVE N'shop_more' TO N'T:\\copy\\b.ndf', "
      "MOVE N'shop_log' TO N'T:\\copy\\c.ldf'");
  EXPECT_EQ(rows(RecoveryQuery("shop_copy")), (Rows{{"BULK_LOGGED", "NOTHING"}}));
  session_.executeLong(LogBackup("shop_copy", "T:\\backups\\copy.trn"));
  session_.execute("DROP DATABASE [shop_copy]");
  EXPECT_EQ(rows(RecoveryQuery("shop_copy")), Rows{});
}

// ALTER DATABASE ... SET RECOVERY, one change after another from shop's state
// (FULL, its log waiting): what query 1 says, and whether a log backup may follow.
struct RecoveryCase {
  const char* name;
  std::vector<std::string> models;  // set in this order
  Rows recovery;
  std::string logUsed;               // Log Space Used (%) afterwards
  std::vector<std::int32_t> logBackup;  // the errors of BACKUP LOG then; {} when it works
};
void PrintTo(const RecoveryCase& c, std::ostream* os) { *os << c.name; }

const RecoveryCase kRecovery[] = {
    // SIMPLE truncates the log at once and breaks the chain.
    {"ToSimple", {"SIMPLE"}, {{"SIMPLE", "NOTHING"}}, "2.5", {3013, 4208}},
    // Between FULL and BULK_LOGGED the chain holds.
    {"ToBulkLogged", {"BULK_LOGGED"}, {{"BULK_LOGGED", "LOG_BACKUP"}}, "87.5", {}},
    {"BulkLoggedAndBack", {"BULK_LOGGED", "FULL"}, {{"FULL", "LOG_BACKUP"}}, "87.5", {}},
    {"SameModel", {"FULL"}, {{"FULL", "LOG_BACKUP"}}, "87.5", {}},
    // Back from SIMPLE, FULL waits for a full backup again.
    {"SimpleAndBack", {"SIMPLE", "FULL"}, {{"FULL", "NOTHING"}}, "2.5", {3013, 4214}},
    {"SimpleThenBulkLogged", {"SIMPLE", "BULK_LOGGED"}, {{"BULK_LOGGED", "NOTHING"}}, "2.5", {3013, 4214}},
};

class RecoveryTest : public HealthSessionTest, public ::testing::WithParamInterface<RecoveryCase> {};

TEST_P(RecoveryTest, ChangesTheModelAsTheServerDoes) {
  const RecoveryCase& c = GetParam();
  for (const std::string& model : c.models) {
    session_.execute(SetRecovery("shop", model));
    EXPECT_TRUE(session_.messages().empty()) << ::testing::PrintToString(Texts(session_.messages()));
  }
  EXPECT_EQ(rows(RecoveryQuery("shop")), c.recovery);
  EXPECT_EQ(LogSpaceOf(session_.query(kLogSpace), "shop").at(2), c.logUsed);
  const std::string backup = LogBackup("shop", "T:\\backups\\x.trn");
  if (c.logBackup.empty()) {
    session_.executeLong(backup);
    EXPECT_EQ(rows(RecoveryQuery("shop")).at(0).at(1), "NOTHING");
  } else {
    EXPECT_EQ(Sorted(Natives(Failure([&] { session_.executeLong(backup); }))), c.logBackup);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, RecoveryTest, ::testing::ValuesIn(kRecovery),
                         [](const auto& info) { return std::string(info.param.name); });

// What a login without the rights, or a name the server does not know, gets:
// the server's numbers and words, and the session goes on.
struct RefusalCase {
  const char* name;
  std::string deniedOn;  // a "denied" fault armed there first ("" none)
  std::string statement;
  std::vector<std::int32_t> errors;
  std::int32_t number;  // the record whose text is checked
  std::string text;
};
void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

std::string DeniedOn(const std::string& view) {
  return "The SELECT permission was denied on the object '" + view +
         "', database 'mssqlsystemresource', schema 'sys'.";
}

const RefusalCase kRefusals[] = {
    {"RecoveryDenied", "recovery", RecoveryQuery("shop"), {229}, 229, DeniedOn("databases")},
    {"FilesDenied", "files", FilesQuery("shop"), {229}, 229, DeniedOn("master_files")},
    {"UsedDenied", "used", UsedQuery("shop"), {229}, 229, DeniedOn("allocation_units")},
    {"LogSpaceDenied", "logspace", kLogSpace, {297}, 297, "The user does not have permission to perform this action."},
    {"UsedOfUnknownDatabase", "", UsedQuery("nosuch"), {208}, 208,
     "Invalid object name 'nosuch.sys.allocation_units'."},
    {"SetRecoveryOfUnknownDatabase", "", SetRecovery("nosuch", "SIMPLE"), {5011, 5069}, 5011,
     "User does not have permission to alter database 'nosuch', the database does not exist, or the database is "
     "not in a state that allows access checks."},
    {"BackupLogOfUnknownDatabase", "", LogBackup("nosuch", "T:\\backups\\x.trn"), {911, 3013}, 911,
     "Database 'nosuch' does not exist. Make sure that the name is entered correctly."},
    {"BackupLogInSimple", "", LogBackup("库存", "T:\\backups\\x.trn"), {3013, 4208}, 4208,
     "The statement BACKUP LOG is not allowed while the recovery model is SIMPLE. Use BACKUP DATABASE or change "
     "the recovery model using ALTER DATABASE."},
};

class RefusalTest : public HealthSessionTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusalTest, ThrowsWithTheServersRecords) {
  const RefusalCase& c = GetParam();
  if (!c.deniedOn.empty()) standIn().arm(StandInFault{.kind = "denied", .on = c.deniedOn});
  const auto records = Failure([&] { session_.executeLong(c.statement); });
  EXPECT_EQ(Sorted(Natives(records)), Sorted(c.errors)) << ::testing::PrintToString(Texts(records));
  EXPECT_EQ(Text(records, c.number), c.text);
  if (!c.deniedOn.empty()) {
    // Refused once: the next time the statement is answered.
    EXPECT_FALSE(session_.query(c.statement).rows.empty());
  }
  EXPECT_EQ(rows(RecoveryQuery("shop")), (Rows{{"FULL", "LOG_BACKUP"}}));
}

INSTANTIATE_TEST_SUITE_P(Cases, RefusalTest, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

// A refusal armed for one read waits for that read: the others pass it by.
TEST_F(HealthSessionTest, RefusalWaitsForItsOwnRead) {
  standIn().arm(StandInFault{.kind = "denied", .on = "files"});
  EXPECT_EQ(rows(RecoveryQuery("shop")).size(), 1u);
  EXPECT_EQ(rows(kLogSpace).size(), 6u);
  EXPECT_EQ(rows(UsedQuery("shop")), (Rows{{"900"}}));
  EXPECT_EQ(rows(kEditionQuery).size(), 1u);
  session_.executeLong(FullBackup("shop", "T:\\backups\\x.bak"));
  EXPECT_EQ(Natives(Failure([&] { session_.query(FilesQuery("shop")); })), (std::vector<std::int32_t>{229}));
}

// Names and paths with quotes, brackets, Chinese and a character beyond the
// BMP, quoted as the system quotes them, reach their database.
TEST_F(HealthSessionTest, QuotedNamesReachTheirDatabase) {
  const std::string name = "a]b'c 库😀";
  standIn().configureDatabase(name, {.recovery = "FULL", .usedPages = 77});
  EXPECT_EQ(rows(RecoveryQuery(name)), (Rows{{"FULL", "NOTHING"}}));
  EXPECT_EQ(rows(UsedQuery(name)), (Rows{{"77"}}));
  EXPECT_EQ(rows(FilesQuery(name)).size(), 2u);
  fs::create_directories(drive_ / Utf8Path("备份's"));
  session_.executeLong(FullBackup(name, "T:\\备份's\\x.bak"));
  EXPECT_EQ(rows(RecoveryQuery(name)), (Rows{{"FULL", "LOG_BACKUP"}}));
  session_.executeLong(LogBackup(name, "T:\\备份's\\x.trn"));
  EXPECT_TRUE(fs::is_regular_file(drive_ / Utf8Path("备份's") / "x.trn"));
  session_.execute(SetRecovery(name, "SIMPLE"));
  EXPECT_EQ(rows(RecoveryQuery(name)), (Rows{{"SIMPLE", "NOTHING"}}));
  EXPECT_EQ(LogSpaceOf(session_.query(kLogSpace), name).size(), 4u);
  // The other databases kept their state.
  EXPECT_EQ(rows(RecoveryQuery("shop")), (Rows{{"FULL", "LOG_BACKUP"}}));
}

}  // namespace
}  // namespace bakwyn
