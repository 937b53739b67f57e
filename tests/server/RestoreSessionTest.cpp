// Queries, verification, restore, check and drop through the ODBC session,
// against the stand-in's backup files: what the engine's verification and
// restore test rely on, down to the server's message numbers.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <regex>
#include <thread>

#include "tests/server/SessionFixture.h"

namespace bakwyn {
namespace {

using namespace session_test;
using test::StandInFault;

constexpr char kScratch[] = "Bakwyn_RestoreTest_shop";

// The error records (class above 10: those the driver reports as failures
// carry no "Changed ..." or progress numbers), sorted: the driver does not
// keep the server's order.
std::vector<std::int32_t> Errors(const std::vector<Diagnostic>& records) {
  std::vector<std::int32_t> out;
  for (const Diagnostic& d : records) {
    if (d.nativeError != 3211 && d.nativeError != 4035 && d.nativeError != 3014 && d.nativeError != 3262 &&
        d.nativeError != 8958) {
      out.push_back(d.nativeError);
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::int32_t> Sorted(std::vector<std::int32_t> v) {
  std::sort(v.begin(), v.end());
  return v;
}

// The message of the first record with that number, without the driver's prefix.
std::string Text(const std::vector<Diagnostic>& records, std::int32_t number) {
  for (const Diagnostic& d : records) {
    if (d.nativeError == number) return d.message.substr(d.message.rfind(']') + 1);
  }
  return "<no " + std::to_string(number) + ">";
}

std::string Restore(const std::string& extra = "", const std::string& name = kScratch) {
  return "RESTORE DATABASE [" + name +
         "] FROM DISK = N'T:\\backups\\x.bak' WITH FILE = 1, MOVE N'shop' TO N'T:\\scratch\\" + kScratch +
         ".mdf', MOVE N'shop_log' TO N'T:\\scratch\\" + kScratch + "_log.ldf'" + extra;
}

std::string Value(const QueryResult& result, std::size_t row, std::string_view column) {
  const int index = result.column(column);
  if (index < 0 || row >= result.rows.size()) return "<no " + std::string(column) + ">";
  return result.rows[row][static_cast<std::size_t>(index)];
}

class RestoreSessionTest : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    if (HasFatalFailure()) return;
    fs::create_directories(drive_ / "scratch");
    session_.open("sa", "pw", kStandInServer);
  }

  const test::StandInDatabase* find(const std::string& name) {
    catalog_ = standIn().catalog();
    for (const auto& d : catalog_) {
      if (d.name == name) return &d;
    }
    return nullptr;
  }

  std::size_t filesIn(const fs::path& folder) {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
  }

  OdbcServerSession session_;
  std::vector<test::StandInDatabase> catalog_;
};

// Backups append (NOINIT): HEADERONLY lists every set of the file by its
// position, CHECKSUM wherever it stands in the options.
TEST_F(RestoreSessionTest, HeaderOnlyListsEverySetOfTheFile) {
  session_.executeLong("BACKUP DATABASE [shop] TO DISK = N'T:\\backups\\x.bak' WITH CHECKSUM, NOINIT, NAME = N'甲'");
  session_.executeLong("BACKUP DATABASE [shop] TO DISK = N'T:\\backups\\x.bak' WITH NOINIT, NAME = N'乙'");
  session_.executeLong(
      "BACKUP DATABASE [shop] TO DISK = N'T:\\backups\\x.bak' WITH NOINIT, NOUNLOAD, NAME = N'丙', STATS = 10, "
      "CHECKSUM");

  const QueryResult all = session_.query("RESTORE HEADERONLY FROM DISK = N'T:\\backups\\x.bak'");
  ASSERT_EQ(all.rows.size(), 3u);
  for (const char* column : {"BackupName", "BackupType", "Position", "DatabaseName", "BackupStartDate",
                             "BackupFinishDate", "HasBackupChecksums", "BackupSize", "FirstLSN", "LastLSN"}) {
    EXPECT_GE(all.column(column), 0) << column;
  }
  const std::regex datetime(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3})");
  const char* names[] = {"甲", "乙", "丙"};
  const char* checksums[] = {"1", "0", "1"};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(Value(all, i, "Position"), std::to_string(i + 1));
    EXPECT_EQ(Value(all, i, "BackupName"), names[i]);
    EXPECT_EQ(Value(all, i, "DatabaseName"), "shop");
    EXPECT_EQ(Value(all, i, "BackupType"), "1");
    EXPECT_EQ(Value(all, i, "HasBackupChecksums"), checksums[i]) << i;
    EXPECT_TRUE(std::regex_match(Value(all, i, "BackupFinishDate"), datetime)) << Value(all, i, "BackupFinishDate");
    EXPECT_LE(Value(all, i, "BackupStartDate"), Value(all, i, "BackupFinishDate"));
    EXPECT_GT(std::stoll(Value(all, i, "BackupSize")), 0);
    EXPECT_EQ(Value(all, i, "ExpirationDate"), "") << "NULL reads as empty";
  }
  // Later sets were written later, with later log sequence numbers.
  EXPECT_LE(Value(all, 0, "BackupFinishDate"), Value(all, 2, "BackupStartDate"));
  EXPECT_LT(std::stold(Value(all, 0, "LastLSN")), std::stold(Value(all, 1, "FirstLSN")));

  const QueryResult second = session_.query("RESTORE HEADERONLY FROM DISK = N'T:\\backups\\x.bak' WITH FILE = 2");
  ASSERT_EQ(second.rows.size(), 1u);
  EXPECT_EQ(Value(second, 0, "Position"), "2");
  EXPECT_EQ(second.columns, all.columns);

  // INIT starts the file again: one set, at position 1.
  session_.executeLong("BACKUP DATABASE [shop] TO DISK = N'T:\\backups\\x.bak' WITH INIT, NAME = N'丁'");
  const QueryResult again = session_.query("RESTORE HEADERONLY FROM DISK = N'T:\\backups\\x.bak'");
  ASSERT_EQ(again.rows.size(), 1u);
  EXPECT_EQ(Value(again, 0, "BackupName"), "丁");
  EXPECT_EQ(Value(again, 0, "Position"), "1");
}

// The files of the database as the backup recorded them, at the sizes the
// database had then.
TEST_F(RestoreSessionTest, FileListOnlyNamesTheFilesWithTheirSizes) {
  standIn().setDatabaseSizes("库存", 5'368'709'120, 1'073'741'824);
  session_.executeLong("BACKUP DATABASE [库存] TO DISK = N'T:\\backups\\x.bak' WITH NOINIT");
  standIn().setDatabaseSizes("库存", 1, 1);  // changes later backups only
  const QueryResult files = session_.query("RESTORE FILELISTONLY FROM DISK = N'T:\\backups\\x.bak' WITH FILE = 1");
  ASSERT_EQ(files.rows.size(), 2u);
  EXPECT_EQ(Value(files, 0, "LogicalName"), "库存");
  EXPECT_EQ(Value(files, 0, "Type"), "D");
  EXPECT_EQ(Value(files, 0, "FileGroupName"), "PRIMARY");
  EXPECT_EQ(Value(files, 0, "Size"), "5368709120");
  EXPECT_TRUE(Value(files, 0, "PhysicalName").ends_with("\\库存.mdf")) << Value(files, 0, "PhysicalName");
  EXPECT_EQ(Value(files, 1, "LogicalName"), "库存_log");
  EXPECT_EQ(Value(files, 1, "Type"), "L");
  EXPECT_EQ(Value(files, 1, "FileGroupName"), "");
  EXPECT_EQ(Value(files, 1, "Size"), "1073741824");
  EXPECT_GE(files.column("MaxSize"), 0);
}

struct FailingQuery {
  const char* name;
  std::string statement;
  std::vector<std::int32_t> errors;
  std::int32_t number;  // the record whose text is checked
  std::string text;
};
void PrintTo(const FailingQuery& c, std::ostream* os) { *os << c.name; }

const FailingQuery kFailingQueries[] = {
    {"MissingFile", "RESTORE HEADERONLY FROM DISK = N'T:\\backups\\nosuch.bak'", {3201, 3013}, 3201,
     "Cannot open backup device 'T:\\backups\\nosuch.bak'. Operating system error 2(The system cannot find the file "
     "specified.)."},
    {"NoBackupFile", "RESTORE HEADERONLY FROM DISK = N'T:\\backups\\note.txt'", {3013, 3241}, 3241,
     "The media family on device 'T:\\backups\\note.txt' is incorrectly formed. SQL Server cannot process this "
     "media family."},
    {"FileBeyondTheSets", "RESTORE FILELISTONLY FROM DISK = N'T:\\backups\\x.bak' WITH FILE = 2", {3013, 4038},
     3013, "RESTORE FILELIST is terminating abnormally."},
    {"UnknownView", "SELECT name FROM sys.nosuch", {208}, 208, "Invalid object name 'sys.nosuch'."},
    {"UnknownColumn", "SELECT name, nosuch FROM sys.master_files", {207}, 207, "Invalid column name 'nosuch'."},
};

class FailingQueryTest : public RestoreSessionTest, public ::testing::WithParamInterface<FailingQuery> {};

TEST_P(FailingQueryTest, ThrowsWithTheServersRecords) {
  const FailingQuery& c = GetParam();
  std::ofstream(drive_ / "backups" / "note.txt") << "not a backup";
  session_.executeLong("BACKUP DATABASE [shop] TO DISK = N'T:\\backups\\x.bak'");
  const auto records = Failure([&] { session_.query(c.statement); });
  EXPECT_EQ(Errors(records), Sorted(c.errors)) << ::testing::PrintToString(Texts(records));
  EXPECT_EQ(Text(records, c.number), c.text);
  EXPECT_EQ(Natives(session_.messages()), Natives(records));
  // The session goes on.
  EXPECT_EQ(session_.query("RESTORE HEADERONLY FROM DISK = N'T:\\backups\\x.bak'").rows.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Cases, FailingQueryTest, ::testing::ValuesIn(kFailingQueries),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RestoreSessionTest, QueryIsCancelledFromAnotherThread) {
  session_.executeLong("BACKUP DATABASE [shop] TO DISK = N'T:\\backups\\x.bak'");
  StandInFault hang{"hang", 0, 60};
  hang.on = "headeronly";
  standIn().arm(hang);
  std::thread canceller([&] {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (standIn().record().statements.size() < 2 && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    session_.cancel();
  });
  EXPECT_THROW(session_.query("RESTORE HEADERONLY FROM DISK = N'T:\\backups\\x.bak'"), StatementCancelled);
  canceller.join();
  const auto record = standIn().record();
  ASSERT_EQ(record.statements.size(), 2u);
  EXPECT_EQ(record.statements[1].fault, "hang");
  EXPECT_TRUE(record.statements[1].cancelled);
  EXPECT_EQ(session_.query("RESTORE HEADERONLY FROM DISK = N'T:\\backups\\x.bak'").rows.size(), 1u);
}

// RESTORE VERIFYONLY of the second of two sets, after the file was changed.
struct VerifyCase {
  const char* name;
  bool checksums;       // BACKUP ... WITH CHECKSUM
  std::string damage;   // "", "bytes" or "cut", done to `damagedSet`
  int damagedSet;
  std::string options;  // of VERIFYONLY
  std::vector<std::int32_t> errors;  // {} for a valid set
  std::string text;     // the first error's text, or 3262's
};
void PrintTo(const VerifyCase& c, std::ostream* os) { *os << c.name; }

const VerifyCase kVerify[] = {
    {"Valid", true, "", 0, "FILE = 2, CHECKSUM", {}, "The backup set on file 2 is valid."},
    {"ValidWithoutChecksums", false, "", 0, "FILE = 2", {}, "The backup set on file 2 is valid."},
    {"OtherSetDamaged", true, "bytes", 1, "FILE = 2, CHECKSUM", {}, "The backup set on file 2 is valid."},
    {"Damaged", true, "bytes", 2, "FILE = 2, CHECKSUM", {3013, 3183},
     "RESTORE detected an error on page (1:2) in database \"shop\" as read from the backup set."},
    {"DamagedWithoutChecksums", false, "bytes", 2, "FILE = 2", {3013, 3189}, "Damage to the backup set was detected."},
    {"CutShort", true, "cut", 2, "FILE = 2, CHECKSUM", {3013, 3241},
     "The media family on device 'T:\\backups\\x.bak' is incorrectly formed. SQL Server cannot process this media "
     "family."},
    // A cut file is no media at all, whichever set is asked for.
    {"CutShortOtherSet", true, "cut", 2, "FILE = 1, CHECKSUM", {3013, 3241},
     "The media family on device 'T:\\backups\\x.bak' is incorrectly formed. SQL Server cannot process this media "
     "family."},
    {"ChecksumOfASetWithout", false, "", 0, "FILE = 2, CHECKSUM", {3013, 3187},
     "RESTORE WITH CHECKSUM cannot be specified because the backup set does not contain checksum information."},
    {"FileBeyondTheSets", true, "", 0, "FILE = 3, CHECKSUM", {3013, 4038},
     "Cannot find file ID 3 on device 'T:\\backups\\x.bak'."},
};

class VerifyTest : public RestoreSessionTest, public ::testing::WithParamInterface<VerifyCase> {};

TEST_P(VerifyTest, ReportsTheSetAsTheServerDoes) {
  const VerifyCase& c = GetParam();
  const std::string backup = std::string("BACKUP DATABASE [shop] TO DISK = N'T:\\backups\\x.bak' WITH NOINIT") +
                             (c.checksums ? ", CHECKSUM" : "");
  session_.executeLong(backup);
  session_.executeLong(backup);
  if (!c.damage.empty()) standIn().damageBackup("T:\\backups\\x.bak", c.damage, c.damagedSet);
  const std::string verify = "RESTORE VERIFYONLY FROM DISK = N'T:\\backups\\x.bak' WITH " + c.options;
  if (c.errors.empty()) {
    session_.executeLong(verify);
    EXPECT_EQ(Text(session_.messages(), 3262), c.text);
  } else {
    const auto records = Failure([&] { session_.executeLong(verify); });
    EXPECT_EQ(Errors(records), Sorted(c.errors)) << ::testing::PrintToString(Texts(records));
    EXPECT_EQ(Text(records, c.errors.back()), c.text);
    EXPECT_EQ(Text(records, 3013), "VERIFY DATABASE is terminating abnormally.");
  }
  EXPECT_EQ(standIn().record().statements.back().text, verify);
}

INSTANTIATE_TEST_SUITE_P(Cases, VerifyTest, ::testing::ValuesIn(kVerify),
                         [](const auto& info) { return std::string(info.param.name); });

// The restore test's whole round: restore under another name with every file
// moved into a scratch folder, check it, drop it; the files come and go.
TEST_F(RestoreSessionTest, RestoreWithMoveThenCheckThenDrop) {
  session_.executeLong("BACKUP DATABASE [shop] TO DISK = N'T:\\backups\\x.bak' WITH NOINIT, CHECKSUM");
  const fs::path data = drive_ / "scratch" / (std::string(kScratch) + ".mdf");
  const fs::path log = drive_ / "scratch" / (std::string(kScratch) + "_log.ldf");

  std::vector<std::int32_t> observed;
  session_.executeLong(Restore(", CHECKSUM, STATS = 25"),
                       [&](const Diagnostic& d) { observed.push_back(d.nativeError); });
  EXPECT_EQ(Sorted(observed), (std::vector<std::int32_t>{3014, 3211, 3211, 3211, 3211, 4035, 4035}));
  EXPECT_EQ(Text(session_.messages(), 3014).substr(0, 40), "RESTORE DATABASE successfully processed ");
  EXPECT_TRUE(fs::is_regular_file(data));
  EXPECT_TRUE(fs::is_regular_file(log));
  const auto listed = session_.listDatabases();
  EXPECT_NE(std::find(listed.begin(), listed.end(), kScratch), listed.end());

  const QueryResult files = session_.query(std::string("SELECT name, physical_name FROM sys.master_files WHERE "
                                                       "database_id = DB_ID(N'") + kScratch + "')");
  EXPECT_EQ(files.columns, (std::vector<std::string>{"name", "physical_name"}));
  EXPECT_EQ(files.rows, (std::vector<std::vector<std::string>>{
                            {"shop", std::string("T:\\scratch\\") + kScratch + ".mdf"},
                            {"shop_log", std::string("T:\\scratch\\") + kScratch + "_log.ldf"}}));
  const QueryResult state = session_.query(std::string("SELECT state_desc FROM sys.databases WHERE name = N'") +
                                           kScratch + "'");
  EXPECT_EQ(state.rows, (std::vector<std::vector<std::string>>{{"ONLINE"}}));

  const std::string check = std::string("DBCC CHECKDB ([") + kScratch + "]) WITH NO_INFOMSGS, ALL_ERRORMSGS";
  session_.executeLong(check);
  EXPECT_TRUE(session_.messages().empty()) << ::testing::PrintToString(Texts(session_.messages()));

  const std::string drop = std::string("DROP DATABASE [") + kScratch + "]";
  session_.execute(drop);
  EXPECT_FALSE(fs::exists(data));
  EXPECT_FALSE(fs::exists(log));
  EXPECT_EQ(find(kScratch), nullptr);
  EXPECT_TRUE(session_.query(std::string("SELECT name FROM sys.master_files WHERE database_id = DB_ID(N'") +
                             kScratch + "')")
                  .rows.empty());
  const auto again = Failure([&] { session_.execute(drop); });
  EXPECT_EQ(Errors(again), std::vector<std::int32_t>{3701});
  EXPECT_EQ(Text(again, 3701),
            std::string("Cannot drop the database '") + kScratch + "', because it does not exist or you do not have "
                                                                    "permission.");

  // The server's record shows the statements as sent, in order.
  std::vector<std::string> texts;
  for (const auto& s : standIn().record().statements) texts.push_back(s.text);
  ASSERT_EQ(texts.size(), 9u);
  EXPECT_EQ(texts[1], Restore(", CHECKSUM, STATS = 25"));
  EXPECT_EQ(texts[5], check);
  EXPECT_EQ(texts[6], drop);
  EXPECT_EQ(texts[8], drop);
}

// Restores the server refuses before it writes anything.
struct RefusedRestore {
  const char* name;
  std::string statement;
  std::vector<std::int32_t> errors;
  std::int32_t number;
  std::string text;
};
void PrintTo(const RefusedRestore& c, std::ostream* os) { *os << c.name; }

const RefusedRestore kRefused[] = {
    // The user made a database of that name: it is theirs.
    {"NameTaken", Restore(), {3013, 3154}, 3154,
     std::string("The backup set holds a backup of a database other than the existing '") + kScratch +
         "' database."},
    {"NoMove", "RESTORE DATABASE [other] FROM DISK = N'T:\\backups\\x.bak'",
     {3013, 3119, 3156, 3156, 5133, 5133}, 3156,
     "File 'shop' cannot be restored to 'C:\\Program Files\\Microsoft SQL Server\\MSSQL16.MSSQLSERVER\\MSSQL\\DATA\\"
     "shop.mdf'. Use WITH MOVE to identify a valid location for the file."},
    {"MoveOfAnUnknownFile", Restore(", MOVE N'other' TO N'T:\\scratch\\other.ndf'", "other"), {3013, 3234}, 3234,
     "Logical file 'other' is not part of database 'other'. Use RESTORE FILELISTONLY to list the logical file "
     "names."},
    {"MoveIntoAMissingFolder",
     "RESTORE DATABASE [other] FROM DISK = N'T:\\backups\\x.bak' WITH MOVE N'shop' TO N'T:\\nosuch\\a.mdf', "
     "MOVE N'shop_log' TO N'T:\\scratch\\a.ldf'",
     {3013, 3119, 3156, 5133}, 5133,
     "Directory lookup for the file \"T:\\nosuch\\a.mdf\" failed with the operating system error 3(The system cannot "
     "find the path specified.)."},
    {"MoveOntoAnotherDatabasesFile",
     std::string("RESTORE DATABASE [other] FROM DISK = N'T:\\backups\\x.bak' WITH MOVE N'shop' TO N'T:\\user\\") +
         kScratch + ".mdf', MOVE N'shop_log' TO N'T:\\scratch\\a.ldf'",
     {1834, 3013, 3119, 3156}, 1834,
     std::string("The file 'T:\\user\\") + kScratch + ".mdf' cannot be overwritten.  It is being used by database '" +
         kScratch + "'."},
    {"ChecksumOfASetWithout",
     std::string("RESTORE DATABASE [other] FROM DISK = N'T:\\backups\\x.bak' WITH FILE = 2, CHECKSUM, MOVE N'shop' "
                 "TO N'T:\\scratch\\a.mdf', MOVE N'shop_log' TO N'T:\\scratch\\a.ldf'"),
     {3013, 3187}, 3187,
     "RESTORE WITH CHECKSUM cannot be specified because the backup set does not contain checksum information."},
};

class RefusedRestoreTest : public RestoreSessionTest, public ::testing::WithParamInterface<RefusedRestore> {};

TEST_P(RefusedRestoreTest, LeavesNothingBehind) {
  const RefusedRestore& c = GetParam();
  session_.executeLong("BACKUP DATABASE [shop] TO DISK = N'T:\\backups\\x.bak' WITH NOINIT, CHECKSUM");
  session_.executeLong("BACKUP DATABASE [shop] TO DISK = N'T:\\backups\\x.bak' WITH NOINIT");
  fs::create_directories(drive_ / "user");
  // For "NameTaken" and "MoveOntoAnotherDatabasesFile"; a database of the
  // user's in every case, which none of them may touch.
  standIn().createDatabase(kScratch, "T:\\user");
  const auto records = Failure([&] { session_.executeLong(c.statement); });
  EXPECT_EQ(Errors(records), Sorted(c.errors)) << ::testing::PrintToString(Texts(records));
  EXPECT_EQ(Text(records, c.number), c.text);
  EXPECT_EQ(Text(records, 3013), "RESTORE DATABASE is terminating abnormally.");

  EXPECT_EQ(filesIn(drive_ / "scratch"), 0u);
  const auto* user = find(kScratch);
  ASSERT_NE(user, nullptr);
  EXPECT_EQ(user->state, "ONLINE");
  ASSERT_EQ(user->files.size(), 2u);
  EXPECT_EQ(user->files[0].physical, std::string("T:\\user\\") + kScratch + ".mdf");
  EXPECT_TRUE(fs::is_regular_file(Utf8Path(user->files[0].local)));
  EXPECT_EQ(find("other"), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Cases, RefusedRestoreTest, ::testing::ValuesIn(kRefused),
                         [](const auto& info) { return std::string(info.param.name); });

// Files larger than the volume's free space: refused at planning, with the
// numbers, before anything is written.
TEST_F(RestoreSessionTest, RestoreWithoutRoomIsRefusedBeforeWriting) {
  standIn().setDatabaseSizes("shop", 1LL << 50, 1LL << 20);
  session_.executeLong("BACKUP DATABASE [shop] TO DISK = N'T:\\backups\\x.bak'");
  const auto files = session_.query("RESTORE FILELISTONLY FROM DISK = N'T:\\backups\\x.bak'");
  EXPECT_EQ(Value(files, 0, "Size"), std::to_string(1LL << 50));
  const auto records = Failure([&] { session_.executeLong(Restore()); });
  EXPECT_EQ(Errors(records), (std::vector<std::int32_t>{3013, 3119, 3257}));
  const std::string text = Text(records, 3257);
  EXPECT_TRUE(text.starts_with("There is insufficient free space on disk volume 'T:\\' to create the database. "
                               "The database requires "))
      << text;
  EXPECT_EQ(filesIn(drive_ / "scratch"), 0u);
  EXPECT_EQ(find(kScratch), nullptr);
}

// What a restore that fails or ends midway leaves: the database, restoring,
// with its files, as the server leaves it. Nothing can use it; dropping it
// removes it and its files, from another connection too.
struct MidwayCase {
  const char* name;
  StandInFault fault;  // kind "" for none
  std::string damage;
  std::vector<std::int32_t> errors;  // {} when the statement ends otherwise
  bool cancel;
};
void PrintTo(const MidwayCase& c, std::ostream* os) { *os << c.name; }

StandInFault On(StandInFault fault, const char* statement) {
  fault.on = statement;
  return fault;
}

const MidwayCase kMidway[] = {
    {"OutOfRoom", On({"disk_full", 40, 0}, "restore"), "", {3013, 3257}, false},
    {"DamagedBackup", {}, "bytes", {3013, 3183}, false},
    {"ConnectionCut", On({"drop", 40, 0}, "restore"), "", {}, false},
    {"Cancelled", On({"stall", 30, 60}, "restore"), "", {}, true},
};

class MidwayTest : public RestoreSessionTest, public ::testing::WithParamInterface<MidwayCase> {};

TEST_P(MidwayTest, LeavesTheDatabaseRestoring) {
  const MidwayCase& c = GetParam();
  session_.executeLong("BACKUP DATABASE [shop] TO DISK = N'T:\\backups\\x.bak' WITH CHECKSUM");
  if (!c.damage.empty()) standIn().damageBackup("T:\\backups\\x.bak", c.damage);
  if (!c.fault.kind.empty()) standIn().arm(c.fault);
  std::vector<std::int32_t> progress;
  std::promise<void> started;
  std::thread canceller;
  if (c.cancel) {
    canceller = std::thread([&] {
      started.get_future().wait_for(std::chrono::seconds(30));
      session_.cancel();
    });
  }
  const auto records = Failure([&] {
    session_.executeLong(Restore(", STATS = 10"), [&](const Diagnostic& d) {
      if (d.nativeError != 3211) return;
      progress.push_back(d.nativeError);
      if (c.cancel && progress.size() == 3) started.set_value();
    });
  });
  if (canceller.joinable()) canceller.join();
  if (!c.errors.empty()) {
    EXPECT_EQ(Errors(records), Sorted(c.errors)) << ::testing::PrintToString(Texts(records));
  }
  EXPECT_GE(progress.size(), 3u) << "it failed after some progress";
  EXPECT_LT(progress.size(), 10u);

  const auto* scratch = find(kScratch);
  ASSERT_NE(scratch, nullptr);
  EXPECT_EQ(scratch->state, "RESTORING");
  EXPECT_EQ(filesIn(drive_ / "scratch"), 2u);

  OdbcServerSession other;
  other.open("sa", "pw", kStandInServer);
  const auto check = Failure([&] { other.executeLong(std::string("DBCC CHECKDB ([") + kScratch + "]) WITH NO_INFOMSGS"); });
  EXPECT_EQ(Errors(check), std::vector<std::int32_t>{927});
  EXPECT_EQ(Text(check, 927),
            std::string("Database '") + kScratch + "' cannot be opened. It is in the middle of a restore.");
  const QueryResult state = other.query(std::string("SELECT state_desc FROM sys.databases WHERE name = N'") +
                                        kScratch + "'");
  EXPECT_EQ(state.rows, (std::vector<std::vector<std::string>>{{"RESTORING"}}));
  other.execute(std::string("DROP DATABASE [") + kScratch + "]");
  EXPECT_EQ(find(kScratch), nullptr);
  EXPECT_EQ(filesIn(drive_ / "scratch"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, MidwayTest, ::testing::ValuesIn(kMidway),
                         [](const auto& info) { return std::string(info.param.name); });

// A scratch database left by a crash: created restoring, found by the
// catalogue, dropped with its files.
TEST_F(RestoreSessionTest, LeftoverFromACrashIsListedAndDropped) {
  standIn().createDatabase(kScratch, "T:\\scratch", true);
  EXPECT_EQ(filesIn(drive_ / "scratch"), 2u);
  const QueryResult state = session_.query(
      std::string("SELECT name, state_desc FROM master.sys.databases WHERE name = N'") + kScratch + "'");
  EXPECT_EQ(state.rows, (std::vector<std::vector<std::string>>{{kScratch, "RESTORING"}}));
  session_.execute(std::string("DROP DATABASE IF EXISTS [") + kScratch + "]");
  session_.execute(std::string("DROP DATABASE IF EXISTS [") + kScratch + "]");  // gone: no error
  EXPECT_EQ(filesIn(drive_ / "scratch"), 0u);
  const auto master = Failure([&] { session_.execute("DROP DATABASE [master]"); });
  EXPECT_EQ(Errors(master), std::vector<std::int32_t>{3708});
}

TEST_F(RestoreSessionTest, CheckDbReportsCorruptionAsAFailedStatement) {
  session_.executeLong("DBCC CHECKDB ([shop])");  // without NO_INFOMSGS: its summary
  EXPECT_EQ(Text(session_.messages(), 8989), "CHECKDB found 0 allocation errors and 0 consistency errors in "
                                             "database 'shop'.");
  standIn().arm({"corrupt", 0, 0});
  const auto records =
      Failure([&] { session_.executeLong("DBCC CHECKDB ([shop]) WITH NO_INFOMSGS, ALL_ERRORMSGS"); });
  EXPECT_EQ(Errors(records), (std::vector<std::int32_t>{8928, 8939, 8989}));
  EXPECT_EQ(Text(records, 8989), "CHECKDB found 0 allocation errors and 2 consistency errors in database 'shop'.");
  // The fault was for one statement.
  session_.executeLong("DBCC CHECKDB ([shop]) WITH NO_INFOMSGS, ALL_ERRORMSGS");
  const auto missing = Failure([&] { session_.executeLong("DBCC CHECKDB ([nosuch]) WITH NO_INFOMSGS"); });
  EXPECT_EQ(Errors(missing), std::vector<std::int32_t>{2520});
  EXPECT_EQ(standIn().record().statements.at(1).fault, "corrupt");
}

}  // namespace
}  // namespace bakwyn
