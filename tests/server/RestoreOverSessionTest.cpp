// A restore over a database that others use, through the ODBC session
// against the stand-in: SINGLE_USER ends the other connections, the restore
// needs the database to itself (3101 otherwise), and the restored database
// comes back in the user access mode its backup recorded. Also what the
// restore window reads: the instance's default data folder, and the set of a
// file of appended backups that a restore takes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/server/SessionFixture.h"

namespace bakwyn {
namespace {

using namespace session_test;
using Rows = std::vector<std::vector<std::string>>;

const std::string kSingle = "ALTER DATABASE [shop] SET SINGLE_USER WITH ROLLBACK IMMEDIATE";
const std::string kMulti = "ALTER DATABASE [shop] SET MULTI_USER";
const std::string kMultiRollback = "ALTER DATABASE [shop] SET MULTI_USER WITH ROLLBACK IMMEDIATE";
const std::string kAccessQuery = "SELECT user_access_desc FROM sys.databases WHERE name = N'shop'";

std::string RestoreOver(const std::string& file = "x.bak") {
  return "RESTORE DATABASE [shop] FROM DISK = N'T:\\backups\\" + file + "' WITH FILE = 1, REPLACE, STATS = 10";
}

// The server's words for each number these tests meet, checked wherever one
// comes back.
const std::map<std::int32_t, std::string> kTexts = {
    {3101, "Exclusive access could not be obtained because the database is in use."},
    {3013, "RESTORE DATABASE is terminating abnormally."},
    {5060, "Nonqualified transactions are being rolled back. Estimated rollback completion: 100%."},
    {5064, "Changes to the state or options of database 'shop' cannot be made at this time. The database is in "
           "single-user mode, and a user is currently connected to it."},
    {5069, "ALTER DATABASE statement failed."},
    {5070, "Database state cannot be changed while other users are using the database 'shop'"},
};

// The records of a statement but its progress, sorted (the driver does not
// keep the server's order).
std::vector<std::int32_t> Notable(const std::vector<Diagnostic>& records) {
  std::vector<std::int32_t> out;
  for (const Diagnostic& d : records) {
    if (d.nativeError != 3211 && d.nativeError != 4035 && d.nativeError != 3014) out.push_back(d.nativeError);
  }
  std::sort(out.begin(), out.end());
  return out;
}

class RestoreOverTest : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    if (HasFatalFailure()) return;
    // The databases only named keep their files in the data folder, here on
    // T:, so that a restore over one needs no MOVE.
    fs::create_directories(drive_ / "data");
    fs::create_directories(drive_ / "scratch");
    standIn().setDefaultDataPath("T:\\data\\");
    session_.open("sa", "pw", kStandInServer);
    // x.bak holds "甲"; the database has gone on to "乙" since.
    standIn().setContent("shop", "甲");
    session_.executeLong(Backup("shop", "T:\\backups\\x.bak"));
    standIn().setContent("shop", "乙");
  }

  const test::StandInDatabase& shop() {
    catalog_ = standIn().catalog();
    for (const auto& d : catalog_) {
      if (d.name == "shop") return d;
    }
    throw std::runtime_error("shop is gone from the catalogue");
  }

  OdbcServerSession session_;
  std::vector<test::StandInDatabase> catalog_;
};

// One statement, or (sql "") a change in the other connections.
struct Step {
  std::string sql;
  std::vector<std::int32_t> records;  // Notable(); {} for a quiet success
  std::string accessBefore;           // the mode the server's record shows for it
  int connections = -1;
};

struct OverCase {
  const char* name;
  int connections;  // other connections that use shop at the start
  std::vector<Step> steps;
  std::string content;  // shop's data at the end
  int connectionsAfter;
};
void PrintTo(const OverCase& c, std::ostream* os) { *os << c.name; }

const std::string kSingleBackup = Backup("shop", "T:\\backups\\single.bak");

const OverCase kOver[] = {
    // The client's way: the others are ended, the restore takes the
    // database, which comes back in its backup's mode (MULTI_USER) before the
    // client's own MULTI_USER.
    {"SingleUserThenReplaceThenMultiUser", 2,
     {{kSingle, {5060}, "MULTI_USER"}, {RestoreOver(), {}, "SINGLE_USER"}, {kMulti, {}, "MULTI_USER"}}, "甲", 0},
    // Nobody to end: no rollback message.
    {"SingleUserWhenNobodyElseUsesIt", 0,
     {{kSingle, {}, "MULTI_USER"}, {RestoreOver(), {}, "SINGLE_USER"}, {kMulti, {}, "MULTI_USER"}}, "甲", 0},
    {"RestoreWhileOthersUseIt", 2,
     {{RestoreOver(), {3013, 3101}, "MULTI_USER"}, {kMulti, {}, "MULTI_USER"}}, "乙", 2},
    // The mode is the backup's: a backup made in SINGLE_USER restores so,
    // whatever the database was set to.
    {"BackupMadeInSingleUserRestoresSingleUser", 0,
     {{kSingle, {}, "MULTI_USER"},
      {kSingleBackup, {}, "SINGLE_USER"},
      {kMulti, {}, "SINGLE_USER"},
      {RestoreOver("single.bak"), {}, "MULTI_USER"},
      {kMulti, {}, "SINGLE_USER"}},
     "乙", 0},
    // SINGLE_USER is one connection, not this one: one that came in after it
    // holds the database against the restore and a plain MULTI_USER.
    {"AnotherConnectionTookTheSingleUser", 0,
     {{kSingle, {}, "MULTI_USER"},
      {"", {}, "", 1},
      {RestoreOver(), {3013, 3101}, "SINGLE_USER"},
      {kMulti, {5064, 5069}, "SINGLE_USER"},
      {kMultiRollback, {5060}, "SINGLE_USER"}},
     "乙", 0},
    {"NoWaitWhileOthersUseIt", 1,
     {{"ALTER DATABASE [shop] SET SINGLE_USER WITH NO_WAIT", {5069, 5070}, "MULTI_USER"},
      {RestoreOver(), {3013, 3101}, "MULTI_USER"}},
     "乙", 1},
};

class RestoreOverCaseTest : public RestoreOverTest, public ::testing::WithParamInterface<OverCase> {};

TEST_P(RestoreOverCaseTest, FollowsTheServersRules) {
  const OverCase& c = GetParam();
  if (c.connections > 0) standIn().setConnections("shop", c.connections);
  std::vector<const Step*> sent;
  for (const Step& step : c.steps) {
    if (step.sql.empty()) {
      standIn().setConnections("shop", step.connections);
      continue;
    }
    sent.push_back(&step);
    SCOPED_TRACE(step.sql);
    std::vector<Diagnostic> records;
    try {
      session_.executeLong(step.sql);
      records = session_.messages();
    } catch (const ServerError& e) {
      records = e.records();
      // The failure carries the server's words.
      for (std::int32_t number : Notable(records)) {
        EXPECT_NE(std::string(e.what()).find(kTexts.at(number)), std::string::npos) << e.what();
      }
    }
    EXPECT_EQ(Notable(records), step.records) << ::testing::PrintToString(Texts(records));
    for (const Diagnostic& d : records) {
      const auto known = kTexts.find(d.nativeError);
      if (known != kTexts.end()) {
        EXPECT_EQ(d.message.substr(d.message.rfind(']') + 1), known->second);
      }
    }
  }

  // The server saw the statements in order, each with the mode it found.
  const auto statements = standIn().record().statements;
  ASSERT_EQ(statements.size(), sent.size() + 1);
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(statements[i + 1].text, sent[i]->sql);
    EXPECT_EQ(statements[i + 1].database, "shop");
    EXPECT_EQ(statements[i + 1].userAccess, sent[i]->accessBefore) << sent[i]->sql;
  }
  EXPECT_EQ(session_.query(kAccessQuery).rows, (Rows{{"MULTI_USER"}}));
  const auto& after = shop();
  EXPECT_EQ(after.state, "ONLINE");
  EXPECT_EQ(after.content, c.content);
  EXPECT_EQ(after.connections, c.connectionsAfter);
}

INSTANTIATE_TEST_SUITE_P(Cases, RestoreOverCaseTest, ::testing::ValuesIn(kOver),
                         [](const auto& info) { return std::string(info.param.name); });

// Without a termination clause SET SINGLE_USER waits, silent, for as long as
// another connection uses the database, then succeeds with nobody ended.
TEST_F(RestoreOverTest, SingleUserWithoutRollbackWaitsForTheOthers) {
  standIn().setConnections("shop", 1);
  const std::string alter = "ALTER DATABASE [shop] SET SINGLE_USER";
  std::thread waiting([&] { session_.execute(alter); });
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  std::vector<test::StandInStatement> statements;
  while ((statements = standIn().record().statements).size() < 2 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(statements.size(), 2u);
  EXPECT_EQ(statements[1].text, alter);
  EXPECT_FALSE(statements[1].answered) << "it cannot end while the other connection stays";
  EXPECT_EQ(shop().userAccess, "MULTI_USER");
  standIn().setConnections("shop", 0);
  waiting.join();
  EXPECT_TRUE(session_.messages().empty()) << ::testing::PrintToString(Texts(session_.messages()));
  EXPECT_EQ(standIn().record().statements[1].ended, 0);
  EXPECT_EQ(session_.query(kAccessQuery).rows, (Rows{{"SINGLE_USER"}}));
}

// Where the restore window proposes a new database's files: the instance's
// default data folder, cast or as the bare sql_variant, NULL when it names
// none (NULL reads as empty; the stand-in takes no empty folder).
struct DataPathCase {
  const char* name;
  std::optional<std::string> path;
  std::string statement;
  std::string expected;
};
void PrintTo(const DataPathCase& c, std::ostream* os) { *os << c.name; }

constexpr char kCastPath[] = "SELECT CAST(SERVERPROPERTY('InstanceDefaultDataPath') AS nvarchar(4000))";
constexpr char kBarePath[] = "SELECT SERVERPROPERTY('InstanceDefaultDataPath') AS DataPath";

const DataPathCase kDataPaths[] = {
    {"Cast", "T:\\数据 's\\", kCastPath, "T:\\数据 's\\"},
    {"Bare", "T:\\数据 's\\", kBarePath, "T:\\数据 's\\"},
    {"CastNull", std::nullopt, kCastPath, ""},
    {"BareNull", std::nullopt, kBarePath, ""},
};

class DataPathTest : public RestoreOverTest, public ::testing::WithParamInterface<DataPathCase> {};

TEST_P(DataPathTest, ReadsTheInstancesDefault) {
  const DataPathCase& c = GetParam();
  standIn().setDefaultDataPath(c.path);
  const QueryResult result = session_.query(c.statement);
  EXPECT_EQ(result.rows, (Rows{{c.expected}}));
  if (c.path) {
    // A database made without naming its files keeps them there.
    const QueryResult files =
        session_.query("SELECT physical_name FROM sys.master_files WHERE database_id = DB_ID(N'Accounts')");
    EXPECT_EQ(files.rows, (Rows{{*c.path + "Accounts.mdf"}, {*c.path + "Accounts_log.ldf"}}));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, DataPathTest, ::testing::ValuesIn(kDataPaths),
                         [](const auto& info) { return std::string(info.param.name); });

// Three backups appended to one file: FILE = n restores the data of the n-th.
TEST_F(RestoreOverTest, FileNumberRestoresThatSetsData) {
  const char* contents[] = {"一", "二", "三"};
  for (const char* content : contents) {
    standIn().setContent("shop", content);
    session_.executeLong(Backup("shop", "T:\\backups\\sets.bak"));
  }
  for (int position = 1; position <= 3; ++position) {
    SCOPED_TRACE(position);
    const std::string name = "shop_" + std::to_string(position);
    session_.executeLong("RESTORE DATABASE [" + name + "] FROM DISK = N'T:\\backups\\sets.bak' WITH FILE = " +
                         std::to_string(position) + ", MOVE N'shop' TO N'T:\\scratch\\" + name +
                         ".mdf', MOVE N'shop_log' TO N'T:\\scratch\\" + name + "_log.ldf', STATS = 10");
    catalog_ = standIn().catalog();
    const auto restored = std::find_if(catalog_.begin(), catalog_.end(), [&](const auto& d) { return d.name == name; });
    ASSERT_NE(restored, catalog_.end());
    EXPECT_EQ(restored->state, "ONLINE");
    EXPECT_EQ(restored->content, contents[position - 1]);
    EXPECT_EQ(restored->userAccess, "MULTI_USER");
  }
  // Over the database itself too, whose data is the third set's by now.
  session_.executeLong(kSingle);
  session_.executeLong(
      "RESTORE DATABASE [shop] FROM DISK = N'T:\\backups\\sets.bak' WITH FILE = 2, REPLACE, STATS = 10");
  session_.executeLong(kMulti);
  EXPECT_EQ(shop().content, "二");
  std::ifstream data(drive_ / "data" / "shop.mdf");
  const std::string text((std::istreambuf_iterator<char>(data)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("backup set 2"), std::string::npos) << text;
}

}  // namespace
}  // namespace bakwyn
