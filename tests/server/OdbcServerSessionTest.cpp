#include "server/OdbcServerSession.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <optional>
#include <thread>

#include "tests/server/SessionFixture.h"

namespace bakwyn {
namespace {

using namespace session_test;
using test::StandInFault;

TEST_F(SessionTest, OpenLogsInToMasterWithTheGivenLogin) {
  OdbcServerSession session;
  session.open("sa", "pw", kStandInServer);
  const auto record = standIn().record();
  ASSERT_EQ(record.logins.size(), 1u);
  EXPECT_EQ(record.logins[0].user, "sa");
  EXPECT_EQ(record.logins[0].password, "pw");
  EXPECT_EQ(record.logins[0].database, "master");
  EXPECT_TRUE(record.logins[0].accepted);
  EXPECT_TRUE(record.statements.empty());  // connecting sends no statements
}

TEST_F(SessionTest, OpenFailsOnWrongPasswordAndUnknownUser) {
  OdbcServerSession session;
  for (const auto& [user, password] : {std::pair{"sa", "PW"}, std::pair{"sa", ""}, std::pair{"nobody", "pw"}}) {
    const auto records = Failure([&] { session.open(user, password, kStandInServer); });
    EXPECT_TRUE(HasNative(records, 18456)) << user << "/" << password << ": " << ::testing::PrintToString(Texts(records));
  }
  // A failed open leaves no connection behind.
  EXPECT_THROW(session.listDatabases(), ServerError);
}

TEST_F(SessionTest, OpenFailsWhenNothingListens) {
  standIn().listen(false);
  OdbcServerSession session;
  const auto records = Failure([&] { session.open("sa", "pw", kStandInServer); });
  standIn().listen(true);
  EXPECT_FALSE(records.empty());
  EXPECT_TRUE(standIn().record().logins.empty());
  session.open("sa", "pw", kStandInServer);  // and works again once something does
}

struct Credentials {
  const char* name;
  std::string user, password;
  std::string server = kStandInServer;
  bool reaches = true;  // false: open must fail with nothing sent under another name
};

std::string LongPassword() {
  std::string s;
  while (s.size() < 100) s += "密;{}= '";
  return s;
}

const Credentials kHostileCredentials[] = {
    {"Semicolon", "sa;x", "pa;ss"},
    {"InjectedKeys", "sa", "x;DATABASE=model;UID=root"},
    {"Braces", "{sa}", "}}x{"},
    {"ClosingBraceLast", "sa}", "x;y}"},
    {"Equals", "a=b", "=="},
    {"Blanks", " sa ", "  pw  "},
    {"Quotes", "o'neil", "\"p'w\""},
    {"Brackets", "[sa]", "[p]]w]"},
    {"Chinese", "管理员", "密码"},
    // Four bytes in UTF-8, a surrogate pair in UTF-16.
    {"OutsideTheBmp", "用户𠀀", "密😀码𠀀"},
    {"OnlyOutsideTheBmp", "😀", "𠀀"},
    {"EmptyPassword", "sa", ""},
    {"Long", "user", LongPassword()},
    // FreeTDS (the driver here) cannot be given "};" inside a value: refused
    // before anything is sent.
    {"BraceBreakout", "u};DATABASE={model", "x};PWD={y", kStandInServer, false},
    // A server name with keys in it is one (unknown) name, not a way to add keys.
    {"ServerWithKeys", "intruder", "pw", std::string(kStandInServer) + ";UID=intruder", false},
    {"ServerBraceBreakout", "intruder", "pw", std::string(kStandInServer) + "};UID={intruder", false},
};

void PrintTo(const Credentials& c, std::ostream* os) { *os << c.name; }

class HostileCredentialsTest : public SessionTest, public ::testing::WithParamInterface<Credentials> {};

// The stand-in accepts only the exact user and password, and records the initial
// database: nothing in the values may change another key.
TEST_P(HostileCredentialsTest, ReachTheServerExactly) {
  const Credentials& c = GetParam();
  standIn().setUsers({{c.user, c.password}, {"intruder", "pw"}});
  OdbcServerSession session;
  if (!c.reaches) {
    EXPECT_THROW(session.open(c.user, c.password, c.server), ServerError);
    EXPECT_TRUE(standIn().record().logins.empty());
    return;
  }
  session.open(c.user, c.password, c.server);
  const auto record = standIn().record();
  ASSERT_EQ(record.logins.size(), 1u);
  EXPECT_EQ(record.logins[0].user, c.user);
  EXPECT_EQ(record.logins[0].password, c.password);
  EXPECT_EQ(record.logins[0].server, c.server);
  EXPECT_EQ(record.logins[0].database, "master");
  EXPECT_TRUE(record.logins[0].accepted);
}

INSTANTIATE_TEST_SUITE_P(Values, HostileCredentialsTest, ::testing::ValuesIn(kHostileCredentials),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SessionTest, CatalogueComesSortedWithChineseNames) {
  OdbcServerSession session;
  session.open("sa", "pw", kStandInServer);
  const std::vector<std::string> expected = {"Accounts", "master", "shop", "shop_archive", "库存"};
  EXPECT_EQ(session.listDatabases(), expected);
  const auto record = standIn().record();
  ASSERT_EQ(record.statements.size(), 1u);
  EXPECT_EQ(record.statements[0].text, "select name from master..sysdatabases order by name");
  // Asking again gives the same rows (the previous result is closed first).
  EXPECT_EQ(session.listDatabases(), expected);
}

// An informational message before the rows and an error after them: the error
// carries both records, whichever ODBC calls they came with.
TEST_F(SessionTest, CatalogueErrorKeepsTheInformationalRecordsBeforeIt) {
  OdbcServerSession session;
  session.open("sa", "pw", kStandInServer);
  standIn().arm({"catalogue_error", 0, 0});
  std::string what;
  const auto records = Failure([&] {
    try {
      session.listDatabases();
    } catch (const ServerError& e) {
      what = e.what();
      throw;
    }
  });
  EXPECT_TRUE(HasNative(records, 50001)) << ::testing::PrintToString(Texts(records));
  EXPECT_TRUE(HasNative(records, 50002)) << ::testing::PrintToString(Texts(records));
  EXPECT_NE(what.find("could not be read to the end"), std::string::npos) << what;
  EXPECT_EQ(what.find("read in part"), std::string::npos) << "the message names the error, not the information: " << what;
  EXPECT_EQ(standIn().record().statements.at(0).fault, "catalogue_error");
  // Without the fault the same session lists the databases again.
  EXPECT_FALSE(session.listDatabases().empty());
}

TEST_F(SessionTest, LocateMatchesWholeValueAndCase) {
  standIn().setDatabases({"shop", "shop_archive", "库存", "a]b", "库😀𠀀"});
  OdbcServerSession session;
  session.open("sa", "pw", kStandInServer);
  EXPECT_FALSE(session.locate("shop"));  // nothing listed yet
  EXPECT_EQ(session.listDatabases(), (std::vector<std::string>{"a]b", "shop", "shop_archive", "库存", "库😀𠀀"}));
  const std::pair<std::string, bool> cases[] = {
      {"shop", true}, {"shop_archive", true}, {"库存", true}, {"a]b", true},
      {"sho", false}, {"shop_", false},       {"hop", false}, {"SHOP", false},
      {"Shop", false}, {"shop ", false},      {" shop", false}, {"库", false},
      {"", false},
      {"库😀𠀀", true}, {"库😀", false}, {"库\uFFFD\uFFFD", false}, {"库😀𠀀 ", false},
  };
  for (const auto& [name, found] : cases) EXPECT_EQ(session.locate(name), found) << "'" << name << "'";
  session.closeQuery();
  EXPECT_FALSE(session.locate("shop"));  // the result is gone with the query
}

TEST_F(SessionTest, ExecuteBacksUpAndKeepsTheProgressMessages) {
  OdbcServerSession session;
  session.open("sa", "pw", kStandInServer);
  session.closeQuery();
  const std::string statement = Backup("库存", "T:\\backups\\2004年11月17日10时30分.bak");
  session.execute(statement);

  const auto record = standIn().record();
  ASSERT_EQ(record.statements.size(), 1u);
  EXPECT_EQ(record.statements[0].text, statement);
  EXPECT_EQ(record.statements[0].database, "库存");
  const fs::path file = drive_ / "backups" / Utf8Path("2004年11月17日10时30分.bak");
  EXPECT_TRUE(fs::exists(file));

  std::vector<std::string> progress;
  for (const Diagnostic& d : session.messages()) {
    if (d.nativeError == 3211) progress.push_back(d.message);
  }
  ASSERT_EQ(progress.size(), 10u) << ::testing::PrintToString(Texts(session.messages()));
  std::sort(progress.begin(), progress.end());
  for (int percent = 10; percent <= 100; percent += 10) {
    const std::string text = std::to_string(percent) + " percent processed.";
    EXPECT_TRUE(std::any_of(progress.begin(), progress.end(),
                            [&](const std::string& m) { return m.size() >= text.size() && m.ends_with(text); }))
        << text;
  }
  EXPECT_TRUE(HasNative(session.messages(), 3014));
  EXPECT_TRUE(HasNative(session.messages(), 4035));
}

struct FailingBackup {
  const char* name;
  std::string fault;  // armed before the statement, "" for none
  std::string database;
  std::string path;
  std::vector<std::int32_t> natives;  // must all be among the error's records
  bool leavesFile;
};

const FailingBackup kFailingBackups[] = {
    {"MissingDatabase", "", "nosuch", "T:\\backups\\x.bak", {911, 3013}, false},
    {"MissingFolder", "", "shop", "T:\\nosuch\\x.bak", {3201, 3013}, false},
    {"UnmappedDrive", "", "shop", "Q:\\backups\\x.bak", {3201, 3013}, false},
    {"FolderNotWritable", "denied", "shop", "T:\\backups\\x.bak", {3201, 3013}, false},
#ifndef _WIN32  // Wine does not turn permission bits into anything the stand-in sees
    {"ReadOnlyFolder", "", "shop", "T:\\locked\\x.bak", {3201, 3013}, false},
#endif
    {"DiskFullAfterProgress", "disk_full", "shop", "T:\\backups\\x.bak", {3202, 3013}, false},
    {"DroppedConnection", "drop", "shop", "T:\\backups\\x.bak", {}, true},
    {"ExpressionAsPath", "", "shop", "T:\\back'+'ups\\x.bak", {102}, false},
};

void PrintTo(const FailingBackup& c, std::ostream* os) { *os << c.name; }

class FailingBackupTest : public SessionTest, public ::testing::WithParamInterface<FailingBackup> {};

// A backup that did not complete must never look like success.
TEST_P(FailingBackupTest, Throws) {
  const FailingBackup& c = GetParam();
  OdbcServerSession session;
  session.open("sa", "pw", kStandInServer);
  if (!c.fault.empty()) standIn().arm({c.fault, 50, 0});
#ifndef _WIN32
  // No write permission for anyone: the stand-in refuses it as the server's account would.
  fs::create_directories(drive_ / "locked");
  fs::permissions(drive_ / "locked", fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
#endif
  const auto records = Failure([&] { session.execute(Backup(c.database, c.path)); });
  for (std::int32_t number : c.natives) {
    EXPECT_TRUE(HasNative(records, number)) << number << " in " << ::testing::PrintToString(Natives(records));
  }
  if (c.fault == "disk_full" || c.fault == "drop") {
    // The failure came after progress had been reported: the informational
    // records go with the error.
    EXPECT_TRUE(HasNative(records, 3211)) << ::testing::PrintToString(Natives(records));
  }
  // messages() keeps every record of the statement as well, the errors included.
  EXPECT_EQ(Natives(session.messages()), Natives(records));
  EXPECT_EQ(fs::exists(drive_ / "backups" / "x.bak"), c.leavesFile);
  const auto record = standIn().record();
  ASSERT_EQ(record.statements.size(), 1u);
  EXPECT_EQ(record.statements[0].fault, c.fault);

  // The session is usable again after the next open.
  session.open("sa", "pw", kStandInServer);
  EXPECT_FALSE(session.listDatabases().empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, FailingBackupTest, ::testing::ValuesIn(kFailingBackups),
                         [](const auto& info) { return std::string(info.param.name); });

struct GrammarCase {
  const char* name;
  std::string statement;
  std::int32_t error;        // 0: the backup succeeds
  std::string database;      // as the server read it (success only)
  std::string disk;          // likewise
};

void PrintTo(const GrammarCase& c, std::ostream* os) { *os << c.name; }

// The stand-in reads BACKUP as the server's grammar does, so that the tests of
// the statements we build mean something: brackets with ]] inside, literals with
// '' inside, and no expressions after TO DISK =.
const GrammarCase kGrammar[] = {
    {"Plain", "BACKUP DATABASE [shop] TO DISK = N'T:\\backups\\x.bak'", 0, "shop", "T:\\backups\\x.bak"},
    {"BracketInName", "BACKUP DATABASE [a]]b] TO DISK = N'T:\\backups\\x.bak'", 0, "a]b", "T:\\backups\\x.bak"},
    {"QuoteInPath", "BACKUP DATABASE [shop] TO DISK = N'T:\\backups\\o''neil.bak' WITH STATS = 50", 0, "shop",
     "T:\\backups\\o'neil.bak"},
    {"ChineseAndNoPrefix", "backup database [库存] to disk = 'T:\\backups\\数据.bak' with init", 0, "库存",
     "T:\\backups\\数据.bak"},
    {"OutsideTheBmp", "BACKUP DATABASE [库😀𠀀] TO DISK = N'T:\\backups\\备份😀𠀀.bak'", 0, "库😀𠀀",
     "T:\\backups\\备份😀𠀀.bak"},
    {"ConcatenatedPath", "BACKUP DATABASE [shop] TO DISK = N'T:\\back'+CHAR(39)+'ups\\x.bak'", 102, "", ""},
    {"UnclosedLiteral", "BACKUP DATABASE [shop] TO DISK = N'T:\\backups\\x.bak", 105, "", ""},
    {"UnclosedBracket", "BACKUP DATABASE [shop TO DISK = N'T:\\backups\\x.bak'", 105, "", ""},
    {"SingleBracketInName", "BACKUP DATABASE [a]b] TO DISK = N'T:\\backups\\x.bak'", 102, "", ""},
    {"UnknownOption", "BACKUP DATABASE [shop] TO DISK = N'T:\\backups\\x.bak' WITH NOSUCH", 155, "", ""},
    // A system database is there whatever the catalogue of the test lists.
    {"SystemDatabaseCopyOnly", "BACKUP DATABASE [model] TO DISK = N'T:\\backups\\model.bak' WITH COPY_ONLY, INIT", 0,
     "model", "T:\\backups\\model.bak"},
};

class BackupGrammarTest : public SessionTest, public ::testing::WithParamInterface<GrammarCase> {};

TEST_P(BackupGrammarTest, ReadsLikeTheServer) {
  const GrammarCase& c = GetParam();
  standIn().setDatabases({"shop", "a]b", "库存", "库😀𠀀"});
  OdbcServerSession session;
  session.open("sa", "pw", kStandInServer);
  if (c.error != 0) {
    const auto records = Failure([&] { session.execute(c.statement); });
    EXPECT_TRUE(HasNative(records, c.error)) << ::testing::PrintToString(Natives(records));
    return;
  }
  session.execute(c.statement);
  const auto record = standIn().record();
  ASSERT_EQ(record.statements.size(), 1u);
  EXPECT_EQ(record.statements[0].text, c.statement);
  EXPECT_EQ(record.statements[0].database, c.database);
  EXPECT_EQ(record.statements[0].disks, std::vector<std::string>{c.disk});
  const std::string name = c.disk.substr(c.disk.rfind('\\') + 1);
  EXPECT_TRUE(fs::exists(drive_ / "backups" / Utf8Path(name))) << name;
}

INSTANTIATE_TEST_SUITE_P(Statements, BackupGrammarTest, ::testing::ValuesIn(kGrammar),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SessionTest, ExecuteGivesUpAfterTheStatementTimeOut) {
  OdbcServerSession session(1);
  session.open("sa", "pw", kStandInServer);
  standIn().arm({"hang", 0, 60});
  const auto records = Failure([&] { session.execute(Backup("shop", "T:\\backups\\x.bak")); });
  EXPECT_FALSE(records.empty());
  EXPECT_FALSE(fs::exists(drive_ / "backups" / "x.bak"));
  const auto record = standIn().record();
  ASSERT_EQ(record.statements.size(), 1u);
  EXPECT_TRUE(record.statements[0].cancelled);  // the driver cancelled it, the server did not finish it
}

// The statement time-out against a backup that keeps making progress. The
// session's time-out is 2 s; the stand-in's backup takes 6 s and sends its ten
// progress messages as it goes, in `packets` flushes (0: one per message, 0.6 s
// apart; 2: 3 s of silence before each). The driver here restarts its time-out
// on every packet it receives, so only silence longer than the time-out cuts a
// bounded statement off; the backup's statement has no time-out at all.
struct ProgressCase {
  const char* name;
  bool longStatement;  // executeLong instead of execute
  int packets;
  bool succeeds;
};
void PrintTo(const ProgressCase& c, std::ostream* os) { *os << c.name; }

class ProgressAgainstTimeOutTest : public SessionTest, public ::testing::WithParamInterface<ProgressCase> {};

TEST_P(ProgressAgainstTimeOutTest, OnlySilenceCutsABoundedStatementOff) {
  const ProgressCase& c = GetParam();
  OdbcServerSession session(2);
  session.open("sa", "pw", kStandInServer);
  StandInFault slow{"slow", 50, 6};
  slow.packets = c.packets;
  standIn().arm(slow);
  const std::string statement = Backup("shop", "T:\\backups\\x.bak");
  const auto run = [&] { c.longStatement ? session.executeLong(statement) : session.execute(statement); };

  if (c.succeeds) {
    run();
    std::vector<std::int32_t> progress;
    for (const Diagnostic& d : session.messages()) {
      if (d.nativeError == 3211) progress.push_back(d.nativeError);
    }
    EXPECT_EQ(progress.size(), 10u) << ::testing::PrintToString(Texts(session.messages()));
    EXPECT_TRUE(HasNative(session.messages(), 3014));
  } else {
    const auto records = Failure(run);
    EXPECT_TRUE(std::any_of(records.begin(), records.end(), [](const Diagnostic& d) { return d.sqlState == "HYT00"; }))
        << ::testing::PrintToString(Texts(records));
  }
  EXPECT_EQ(fs::exists(drive_ / "backups" / "x.bak"), c.succeeds);
  const auto record = standIn().record();
  ASSERT_EQ(record.statements.size(), 1u);
  EXPECT_EQ(record.statements[0].fault, "slow");
  EXPECT_EQ(record.statements[0].cancelled, !c.succeeds);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProgressAgainstTimeOutTest,
                         ::testing::Values(ProgressCase{"LongSilencesLongStatement", true, 2, true},
                                           ProgressCase{"FrequentProgressLongStatement", true, 0, true},
                                           ProgressCase{"FrequentProgressBoundedStatement", false, 0, true},
                                           ProgressCase{"LongSilencesBoundedStatement", false, 2, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A server that hangs on the catalogue query is given up on, also right after a
// backup ran without a time-out on the same query handle.
TEST_F(SessionTest, CatalogueQueryKeepsItsTimeOutAfterALongStatement) {
  OdbcServerSession session(1);
  session.open("sa", "pw", kStandInServer);
  session.executeLong(Backup("shop", "T:\\backups\\x.bak"));
  standIn().arm({"hang", 0, 60});
  const auto records = Failure([&] { session.listDatabases(); });
  EXPECT_TRUE(std::any_of(records.begin(), records.end(), [](const Diagnostic& d) { return d.sqlState == "HYT00"; }))
      << ::testing::PrintToString(Texts(records));
  const auto record = standIn().record();
  ASSERT_EQ(record.statements.size(), 2u);
  EXPECT_EQ(record.statements[1].text, "select name from master..sysdatabases order by name");
  EXPECT_EQ(record.statements[1].fault, "hang");
  EXPECT_TRUE(record.statements[1].cancelled);
}

// Each record reaches the observer as it arrives: the first while the server
// is still holding the statement, the progress in the server's order.
TEST_F(SessionTest, ExecuteLongHandsOverEachMessageAsItArrives) {
  OdbcServerSession session;
  session.open("sa", "pw", kStandInServer);
  standIn().arm({"stall", 30, 2});  // 10 to 30 percent at once, two seconds of silence, the rest
  std::vector<Diagnostic> observed;
  std::optional<bool> answeredAtTheFirst;
  session.executeLong(Backup("shop", "T:\\backups\\x.bak"), [&](const Diagnostic& d) {
    if (!answeredAtTheFirst) answeredAtTheFirst = standIn().record().statements.at(0).answered;
    observed.push_back(d);
  });

  ASSERT_TRUE(answeredAtTheFirst.has_value()) << "no message observed";
  EXPECT_FALSE(*answeredAtTheFirst) << "the first message came only once the answer had ended";
  std::vector<std::string> progress;
  std::vector<std::int32_t> others;
  for (const Diagnostic& d : observed) {
    if (d.nativeError == 3211) {
      progress.push_back(d.message.substr(d.message.rfind(']') + 1));
    } else {
      others.push_back(d.nativeError);
    }
  }
  std::vector<std::string> expected;
  for (int percent = 10; percent <= 100; percent += 10) expected.push_back(std::to_string(percent) + " percent processed.");
  EXPECT_EQ(progress, expected);
  std::sort(others.begin(), others.end());
  EXPECT_EQ(others, (std::vector<std::int32_t>{3014, 4035, 4035}));
  EXPECT_EQ(Natives(observed), Natives(session.messages())) << "the same records as messages() keeps";
  EXPECT_TRUE(fs::exists(drive_ / "backups" / "x.bak"));
}

// cancel() from another thread ends a statement that waits for a silent
// server: the server is told (an attention), acknowledges it and stops, and the
// connection serves the next statement.
struct CancelCase {
  const char* name;
  StandInFault fault;
  std::size_t progressBefore;  // progress messages the server sends before its silence
};
void PrintTo(const CancelCase& c, std::ostream* os) { *os << c.name; }

class SessionCancelTest : public SessionTest, public ::testing::WithParamInterface<CancelCase> {};

TEST_P(SessionCancelTest, FromAnotherThreadEndsTheStatement) {
  const CancelCase& c = GetParam();
  OdbcServerSession session;
  session.open("sa", "pw", kStandInServer);
  standIn().arm(c.fault);
  std::size_t progress = 0;
  std::promise<void> lastProgress;
  std::thread canceller([&] {
    // Once the server has the statement and has said what it says before its
    // silence; bounded, so that a fault here cannot hang the test.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    if (c.progressBefore > 0) {
      lastProgress.get_future().wait_until(until);
    } else {
      while (standIn().record().statements.empty() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    session.cancel();
  });
  bool cancelled = false;
  try {
    session.executeLong(Backup("shop", "T:\\backups\\x.bak"), [&](const Diagnostic& d) {
      if (d.nativeError == 3211 && ++progress == c.progressBefore) lastProgress.set_value();
    });
  } catch (const StatementCancelled&) {
    cancelled = true;
  }
  canceller.join();

  EXPECT_TRUE(cancelled);
  EXPECT_EQ(progress, c.progressBefore);
  EXPECT_FALSE(fs::exists(drive_ / "backups" / "x.bak"));
  auto record = standIn().record();
  ASSERT_EQ(record.statements.size(), 1u);
  EXPECT_TRUE(record.statements[0].cancelled);
  EXPECT_TRUE(record.statements[0].answered);

  session.executeLong(Backup("shop", "T:\\backups\\y.bak"));
  EXPECT_TRUE(fs::exists(drive_ / "backups" / "y.bak"));
  record = standIn().record();
  ASSERT_EQ(record.statements.size(), 2u);
  EXPECT_FALSE(record.statements[1].cancelled);
}

INSTANTIATE_TEST_SUITE_P(Cases, SessionCancelTest,
                         ::testing::Values(CancelCase{"SilentFromTheStart", {"hang", 0, 60}, 0},
                                           CancelCase{"SilentAfterProgress", {"stall", 30, 60}, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

// With no statement under way a cancel does nothing, and the next statement
// runs to its end.
TEST_F(SessionTest, CancelWithNothingRunningChangesNothing) {
  OdbcServerSession session;
  session.cancel();  // never connected
  session.open("sa", "pw", kStandInServer);
  session.cancel();  // connected, nothing sent yet
  session.executeLong(Backup("shop", "T:\\backups\\x.bak"));
  session.cancel();  // after a statement
  EXPECT_THROW(session.execute(Backup("nosuch", "T:\\backups\\y.bak")), ServerError);
  session.cancel();  // after a failed one
  session.executeLong(Backup("shop", "T:\\backups\\z.bak"));

  EXPECT_TRUE(fs::exists(drive_ / "backups" / "x.bak"));
  EXPECT_TRUE(fs::exists(drive_ / "backups" / "z.bak"));
  const auto record = standIn().record();
  ASSERT_EQ(record.statements.size(), 3u);
  for (const auto& statement : record.statements) EXPECT_FALSE(statement.cancelled) << statement.text;
}

TEST_F(SessionTest, OperationsWithoutAConnectionFail) {
  OdbcServerSession session;
  EXPECT_THROW(session.listDatabases(), ServerError);
  EXPECT_THROW(session.execute("BACKUP DATABASE [shop] TO DISK = N'T:\\backups\\x.bak'"), ServerError);
  EXPECT_FALSE(session.locate("shop"));
}


// Folders and files on the server's side: xp_create_subdir and xp_delete_file,
// as the server runs them for a sysadmin, and refuses them to anyone else.
struct ProcedureCase {
  const char* name;
  std::string user;       // "sa" (sysadmin) or "clerk" (not)
  std::string statement;  // a path in it may use T: (the test's drive)
  std::int32_t error;     // 0: succeeds
  std::string text;       // the error's message text, as the server words it
  std::string made;       // below the drive: a folder that must exist afterwards ("" for none)
};

void PrintTo(const ProcedureCase& c, std::ostream* os) { *os << c.name; }

const char kDenied[] = "xp_create_subdir() returned error 5, 'Access is denied.'";
const char kNoPath[] = "xp_create_subdir() returned error 3, 'The system cannot find the path specified.'";

const ProcedureCase kProcedures[] = {
    {"WholePath", "sa", "EXEC master.dbo.xp_create_subdir N'T:\\a\\b\\c'", 0, "", "a/b/c"},
    {"ExistingFolder", "sa", "EXEC master.dbo.xp_create_subdir N'T:\\backups'", 0, "", "backups"},
    {"ChineseAndQuote", "sa", "EXEC master.dbo.xp_create_subdir N'T:\\数据库\\o''neil备份\\'", 0, "",
     "数据库/o'neil备份"},
    {"ShortName", "sa", "exec xp_create_subdir 'T:\\x'", 0, "", "x"},
    {"UnmappedDrive", "sa", "EXEC master.dbo.xp_create_subdir N'Q:\\a'", 22048, kNoPath, ""},
    {"FileInTheWay", "sa", "EXEC master.dbo.xp_create_subdir N'T:\\file.txt\\a'", 22048, kNoPath, ""},
#ifndef _WIN32  // Wine does not turn permission bits into anything the stand-in sees
    {"FolderNotWritable", "sa", "EXEC master.dbo.xp_create_subdir N'T:\\locked\\a'", 22048, kDenied, ""},
#endif
    {"NotSysadmin", "clerk", "EXEC master.dbo.xp_create_subdir N'T:\\a'", 229,
     "The EXECUTE permission was denied on the object 'xp_create_subdir', database 'mssqlsystemresource', schema "
     "'sys'.",
     ""},
    {"DeleteNotSysadmin", "clerk", "EXEC master.dbo.xp_delete_file 0, N'T:\\backups\\old.bak'", 229,
     "The EXECUTE permission was denied on the object 'xp_delete_file', database 'mssqlsystemresource', schema "
     "'sys'.",
     ""},
    {"UnknownProcedure", "sa", "EXEC master.dbo.xp_nosuch N'T:\\a'", 2812, "Could not find stored procedure 'xp_nosuch'.",
     ""},
};

class ProcedureTest : public SessionTest, public ::testing::WithParamInterface<ProcedureCase> {};

TEST_P(ProcedureTest, RunsAsTheServerDoes) {
  const ProcedureCase& c = GetParam();
  standIn().setUsers({{"sa", "pw"}, {"clerk", "pw"}});
  standIn().setNonSysadmins({"clerk"});
  std::ofstream(drive_ / "file.txt") << "x";
  std::ofstream(drive_ / "backups" / "old.bak") << "x";
#ifndef _WIN32
  fs::create_directories(drive_ / "locked");
  fs::permissions(drive_ / "locked", fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
#endif
  OdbcServerSession session;
  session.open(c.user, "pw", kStandInServer);
  if (c.error == 0) {
    session.execute(c.statement);
  } else {
    const auto records = Failure([&] { session.execute(c.statement); });
    EXPECT_TRUE(HasNative(records, c.error)) << ::testing::PrintToString(Natives(records));
    EXPECT_TRUE(std::any_of(records.begin(), records.end(),
                            [&](const Diagnostic& d) { return d.message.ends_with(c.text); }))
        << ::testing::PrintToString(Texts(records));
  }
  if (!c.made.empty()) {
    EXPECT_TRUE(fs::is_directory(drive_ / Utf8Path(c.made))) << c.made;
  }
  EXPECT_TRUE(fs::exists(drive_ / "backups" / "old.bak"));  // refused: nothing deleted
  if (c.error != 0) {
    EXPECT_FALSE(fs::exists(drive_ / "a")) << "a refused statement makes no folder";
  }
  const auto record = standIn().record();
  ASSERT_EQ(record.statements.size(), 1u);
  EXPECT_EQ(record.statements[0].text, c.statement);
}

INSTANTIATE_TEST_SUITE_P(Statements, ProcedureTest, ::testing::ValuesIn(kProcedures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SessionTest, DeleteFileRemovesOnlyThatFile) {
  std::ofstream(drive_ / "backups" / Utf8Path("旧备份.bak")) << "x";
  std::ofstream(drive_ / "backups" / "keep.bak") << "x";
  OdbcServerSession session;
  session.open("sa", "pw", kStandInServer);
  session.execute("EXEC master.dbo.xp_delete_file 0, N'T:\\backups\\旧备份.bak'");
  EXPECT_FALSE(fs::exists(drive_ / "backups" / Utf8Path("旧备份.bak")));
  EXPECT_TRUE(fs::exists(drive_ / "backups" / "keep.bak"));
  // A file that is not there is no error.
  session.execute("EXEC master.dbo.xp_delete_file 0, N'T:\\backups\\旧备份.bak'");
  const auto record = standIn().record();
  ASSERT_EQ(record.statements.size(), 2u);
  EXPECT_EQ(record.statements[0].procedure, "xp_delete_file");
  EXPECT_NE(record.statements[0].file, "");
  EXPECT_EQ(record.statements[1].file, "");
}

// The PRELOGIN names the instance the client wants, and a named instance
// refuses a client that wants another one. With the driver pointed at the
// stand-in's port (TDSPORT) FreeTDS forgets any instance in the server name and
// names "MSSQLServer", the default instance's: so only a stand-in that is the
// default instance too lets it in, which is why the instance tests below run
// without TDSPORT.
TEST_F(SessionTest, PreloginMustNameAnInstanceOfTheServer) {
  struct Case {
    std::vector<std::string> instances;
    std::string server;
    bool accepted;
  };
  const std::string named = std::string(kStandInServer) + "\\SQLEXPRESS";
  const Case cases[] = {
      {{"SQLEXPRESS"}, kStandInServer, false},
      {{"SQLEXPRESS"}, named, false},
      {{"MSSQLSERVER"}, kStandInServer, true},
      {{"SQLEXPRESS", "MSSQLSERVER"}, named, true},
      {{}, named, true},  // the default instance alone does not check
  };
  OdbcServerSession session;
  for (const Case& c : cases) {
    const std::string problem = standIn().setInstances(c.instances);
    if (!problem.empty()) GTEST_SKIP() << problem;
    if (c.accepted) {
      session.open("sa", "pw", c.server);
    } else {
      EXPECT_THROW(session.open("sa", "pw", c.server), ServerError) << c.server;
    }
  }
  standIn().setInstances({});
  const auto record = standIn().record();
  ASSERT_EQ(record.logins.size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(record.logins[i].instance, "MSSQLServer") << i;
    EXPECT_EQ(record.logins[i].accepted, cases[i].accepted) << i;
    EXPECT_EQ(record.logins[i].refusedInstance, !cases[i].accepted) << i;
  }
  EXPECT_TRUE(record.browserRequests.empty());
}

// Named instances the way the program reaches them: no port, so FreeTDS asks
// the SQL Server Browser on UDP 1434 and connects to the port it answers. The
// driver must not be pointed at a port (TDSPORT), or it never asks.
class InstanceTest : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    if (HasFatalFailure()) return;
#ifdef _WIN32
    // The driver reads the Unix environment Wine started with, which the runner
    // gave TDSPORT and this process cannot change.
    if (std::getenv("TDSPORT")) GTEST_SKIP() << "TDSPORT is set for the driver, which then never asks the Browser";
#else
    ::unsetenv("TDSPORT");
#endif
    const std::string problem = standIn().setInstances({"SQLEXPRESS"});
    if (!problem.empty()) GTEST_SKIP() << "no Browser: " << problem;
  }
  // Port 1434 belongs to the machine: free it for whoever needs it next.
  void TearDown() override { standIn().setInstances({}); }

  // Opens and returns how long it took, failure or not (printed, for the figures).
  double timedOpen(OdbcServerSession& session, const std::string& server, bool& failed) {
    const auto start = std::chrono::steady_clock::now();
    failed = false;
    try {
      session.open("sa", "pw", server);
    } catch (const ServerError& e) {
      failed = true;
      message_ = e.what();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("open %s: %s after %.2f s\n", server.c_str(), failed ? "failed" : "connected", seconds);
    return seconds;
  }

  std::string message_;
};

TEST_F(InstanceTest, ReachedThroughTheBrowserAndBacksUp) {
  for (const std::string server : {"localhost\\SQLEXPRESS", "127.0.0.1\\sqlexpress"}) {
    OdbcServerSession session;
    bool failed = false;
    timedOpen(session, server, failed);
    ASSERT_FALSE(failed) << message_;
    session.executeLong(Backup("shop", "T:\\backups\\x.bak"));
  }
  EXPECT_TRUE(fs::exists(drive_ / "backups" / "x.bak"));
  const auto record = standIn().record();
  ASSERT_EQ(record.browserRequests.size(), 2u);
  EXPECT_EQ(record.browserRequests[0].instance, "SQLEXPRESS");
  EXPECT_EQ(record.browserRequests[1].instance, "sqlexpress");
  EXPECT_TRUE(record.browserRequests[0].answered && record.browserRequests[1].answered);
  ASSERT_EQ(record.logins.size(), 2u);
  EXPECT_EQ(record.logins[0].instance, "SQLEXPRESS");
  EXPECT_TRUE(record.logins[0].accepted && record.logins[1].accepted);
  ASSERT_EQ(record.statements.size(), 2u);
  EXPECT_FALSE(record.statements[1].file.empty());
}

// "HOST\" is the default instance: no Browser is asked, the default port is
// tried (nothing listens there on a test machine), and the stand-in sees nothing.
TEST_F(InstanceTest, EmptyInstanceIsTheDefaultInstance) {
  OdbcServerSession session;
  bool failed = false;
  timedOpen(session, "localhost\\", failed);
  EXPECT_TRUE(failed);
  const auto record = standIn().record();
  EXPECT_TRUE(record.browserRequests.empty());
  EXPECT_TRUE(record.logins.empty());
}

// The Browser does not answer for an instance it does not list: a ServerError
// after the driver's retries (FreeTDS asks 16 times, a second apart), not a hang.
TEST_F(InstanceTest, UnlistedInstanceFails) {
  OdbcServerSession session;
  bool failed = false;
  timedOpen(session, "localhost\\OTHER", failed);
  EXPECT_TRUE(failed);
  const auto record = standIn().record();
  ASSERT_FALSE(record.browserRequests.empty());
  for (const auto& request : record.browserRequests) {
    EXPECT_EQ(request.instance, "OTHER");
    EXPECT_FALSE(request.answered);
  }
  EXPECT_TRUE(record.logins.empty());
}

TEST_F(InstanceTest, SilentBrowserFails) {
  standIn().setBrowser(false);
  OdbcServerSession session;
  bool failed = false;
  timedOpen(session, "localhost\\SQLEXPRESS", failed);
  EXPECT_TRUE(failed);
  const auto record = standIn().record();
  EXPECT_TRUE(record.browserRequests.empty());
  EXPECT_TRUE(record.logins.empty());
  // And once it answers again, the same name connects.
  standIn().setBrowser(true);
  timedOpen(session, "localhost\\SQLEXPRESS", failed);
  EXPECT_FALSE(failed) << message_;
}

}  // namespace
}  // namespace bakwyn
