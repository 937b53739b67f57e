#include "server/ConnectionString.h"

#include "server/ServerSession.h"

#include <gtest/gtest.h>

#include "tests/server/ConnectionStringParser.h"

namespace bakwyn {
namespace {

using test::KeyValues;
using test::ParseConnectionString;

struct Login {
  const char* name;
  std::string user, password, server;
};

std::string LongText() {
  std::string s;
  for (int i = 0; i < 200; ++i) s += "数;{}=' ";
  return s;
}

const Login kLogins[] = {
    {"Plain", "sa", "secret", "OFFICE1"},
    {"EmptyPassword", "sa", "", "OFFICE1"},
    {"Semicolon", "sa", "pa;ss", "OFFICE1"},
    {"InjectedKeys", "sa", "x;DATABASE=model;UID=root", "OFFICE1;Port=1"},
    {"OpeningBrace", "{sa", "{", "{OFFICE1"},
    {"ClosingBraces", "sa}", "}}x}", "OFF}ICE1"},
    {"BraceBreakout", "u", "x};PWD={y", "s};DRIVER={evil"},
    {"EqualsSign", "a=b", "=", "server=1"},
    {"Blanks", " sa", "pw ", "  OFFICE1  "},
    {"OnlyBlanks", " ", "   ", " "},
    {"Quotes", "o'neil", "\"pw'\"", "'srv'"},
    {"Brackets", "[sa]", "[p]]w]", "[srv]"},
    {"ControlCharacters", "sa\t", "\tp\rw\n", "srv\x01"},
    {"Chinese", "管理员", "密码；{}", "服务器"},
    {"VeryLong", LongText(), LongText(), LongText()},
};

void PrintTo(const Login& l, std::ostream* os) { *os << l.name; }

class BuildConnectionStringTest : public ::testing::TestWithParam<Login> {};

// Whatever the values, the string reads back, the way the driver reads it, as
// exactly the intended keys in order with every value as typed: no value can add
// or change a key. FreeTDS cannot be given a value holding "};" at all.
TEST_P(BuildConnectionStringTest, ReadsBackExactlyForEveryDriver) {
  const Login& login = GetParam();
  for (std::string_view driver : kPreferredDrivers) {
    SCOPED_TRACE(std::string(driver));
    const bool freeTds = driver == "FreeTDS";
    const bool carriable = !freeTds || (login.user + login.password + login.server).find("};") == std::string::npos;
    if (!carriable) {
      EXPECT_THROW(BuildConnectionString(login.user, login.password, login.server, driver), ServerError);
      continue;
    }
    KeyValues expected = {{"DRIVER", std::string(driver)}, {"SERVER", login.server}};
    if (freeTds) expected.push_back({"Port", "1433"});
    expected.push_back({"UID", login.user});
    expected.push_back({"PWD", login.password});
    expected.push_back({"DATABASE", "master"});
    if (driver == "ODBC Driver 18 for SQL Server") expected.push_back({"TrustServerCertificate", "yes"});

    const std::string text = BuildConnectionString(login.user, login.password, login.server, driver);
    const auto parsed = ParseConnectionString(text, freeTds ? test::Dialect::FreeTds13 : test::Dialect::Odbc);
    ASSERT_TRUE(parsed.has_value()) << text;
    EXPECT_EQ(*parsed, expected) << text;
  }
}

INSTANTIATE_TEST_SUITE_P(Logins, BuildConnectionStringTest, ::testing::ValuesIn(kLogins),
                         [](const auto& info) { return std::string(info.param.name); });

struct InstanceCase {
  const char* name;
  std::string server;    // as typed
  std::string computer;  // what the driver must read as the computer
  std::string instance;  // and as the instance ("" for the default one)
};

// A server with an instance reaches every driver as "COMPUTER\INSTANCE" and
// FreeTDS without a port (it asks the Browser for it); an empty instance is the
// default instance. The driver splits at the first "\", so that is where the
// instance begins, whatever it holds.
const InstanceCase kInstances[] = {
    {"DefaultInstance", "OFFICE1", "OFFICE1", ""},
    {"Named", "OFFICE1\\SQLEXPRESS", "OFFICE1", "SQLEXPRESS"},
    {"EmptyInstanceIsTheDefault", "OFFICE1\\", "OFFICE1", ""},
    {"SeveralSeparators", "OFFICE1\\A\\B", "OFFICE1", "A\\B"},
    {"DoubledSeparator", "OFFICE1\\\\SQLEXPRESS", "OFFICE1", "\\SQLEXPRESS"},
    {"OnlySeparators", "OFFICE1\\\\", "OFFICE1", "\\"},
    {"NoComputer", "\\SQLEXPRESS", "", "SQLEXPRESS"},
    {"Quotes", "OFF'ICE\\SQL\"EXP'", "OFF'ICE", "SQL\"EXP'"},
    {"Braces", "{OFFICE1\\}SQL{}", "{OFFICE1", "}SQL{}"},
    {"SemicolonInInstance", "OFFICE1\\SQL;UID=intruder", "OFFICE1", "SQL;UID=intruder"},
    {"SemicolonAndBrace", "OFFICE1\\SQL};UID={x", "OFFICE1", "SQL};UID={x"},
    {"Chinese", "服务器\\实例一", "服务器", "实例一"},
    {"BlanksAroundTheInstance", "OFFICE1\\ SQLEXPRESS ", "OFFICE1", " SQLEXPRESS "},
    {"BlankInstance", "OFFICE1\\ ", "OFFICE1", " "},
    {"BlankComputer", " OFFICE1 \\SQLEXPRESS", " OFFICE1 ", "SQLEXPRESS"},
    {"EqualsSign", "A=B\\C=D", "A=B", "C=D"},
};

void PrintTo(const InstanceCase& c, std::ostream* os) { *os << c.name; }

class InstanceConnectionStringTest : public ::testing::TestWithParam<InstanceCase> {};

TEST_P(InstanceConnectionStringTest, ReachesEveryDriverAsComputerAndInstance) {
  const InstanceCase& c = GetParam();
  EXPECT_EQ(SplitServerName(c.server).computer, c.computer);
  EXPECT_EQ(SplitServerName(c.server).instance, c.instance);
  const std::string server = c.instance.empty() ? c.computer : c.computer + "\\" + c.instance;
  for (std::string_view driver : kPreferredDrivers) {
    SCOPED_TRACE(std::string(driver));
    const bool freeTds = driver == "FreeTDS";
    if (freeTds && server.find("};") != std::string::npos) {
      EXPECT_THROW(BuildConnectionString("sa", "pw", c.server, driver), ServerError);
      continue;
    }
    KeyValues expected = {{"DRIVER", std::string(driver)}, {"SERVER", server}};
    if (freeTds && c.instance.empty()) expected.push_back({"Port", "1433"});
    expected.push_back({"UID", "sa"});
    expected.push_back({"PWD", "pw"});
    expected.push_back({"DATABASE", "master"});
    if (driver == "ODBC Driver 18 for SQL Server") expected.push_back({"TrustServerCertificate", "yes"});

    const std::string text = BuildConnectionString("sa", "pw", c.server, driver);
    const auto parsed = ParseConnectionString(text, freeTds ? test::Dialect::FreeTds13 : test::Dialect::Odbc);
    ASSERT_TRUE(parsed.has_value()) << text;
    EXPECT_EQ(*parsed, expected) << text;
    // The driver's own split of what it read: the computer up to the first "\".
    const std::string& read = (*parsed)[1].second;
    const std::size_t separator = read.find('\\');
    EXPECT_EQ(read.substr(0, separator), c.computer) << text;
    EXPECT_EQ(separator == std::string::npos ? "" : read.substr(separator + 1), c.instance) << text;
  }
}

INSTANTIATE_TEST_SUITE_P(Servers, InstanceConnectionStringTest, ::testing::ValuesIn(kInstances),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BuildConnectionString, NamedInstanceTexts) {
  EXPECT_EQ(BuildConnectionString("sa", "pw", "OFFICE1\\SQLEXPRESS", "FreeTDS"),
            "DRIVER={FreeTDS};SERVER=OFFICE1\\SQLEXPRESS;UID=sa;PWD=pw;DATABASE=master;");
  EXPECT_EQ(BuildConnectionString("sa", "pw", "OFFICE1\\", "FreeTDS"),
            "DRIVER={FreeTDS};SERVER=OFFICE1;Port=1433;UID=sa;PWD=pw;DATABASE=master;");
  EXPECT_EQ(BuildConnectionString("sa", "pw", "OFFICE1\\SQLEXPRESS", "SQL Server"),
            "DRIVER={SQL Server};SERVER=OFFICE1\\SQLEXPRESS;UID=sa;PWD=pw;DATABASE=master;");
  EXPECT_EQ(BuildConnectionString("sa", "pw", "OFFICE1\\SQL;X", "ODBC Driver 17 for SQL Server"),
            "DRIVER={ODBC Driver 17 for SQL Server};SERVER={OFFICE1\\SQL;X};UID=sa;PWD=pw;DATABASE=master;");
}

TEST(BuildConnectionString, PlainAndEmptyPasswordTexts) {
  EXPECT_EQ(BuildConnectionString("sa", "", "OFFICE1", "FreeTDS"),
            "DRIVER={FreeTDS};SERVER=OFFICE1;Port=1433;UID=sa;PWD=;DATABASE=master;");
  EXPECT_EQ(BuildConnectionString("sa", "pw", "OFFICE1", "ODBC Driver 18 for SQL Server"),
            "DRIVER={ODBC Driver 18 for SQL Server};SERVER=OFFICE1;UID=sa;PWD=pw;DATABASE=master;"
            "TrustServerCertificate=yes;");
  EXPECT_EQ(BuildConnectionString("sa", "pw", "OFFICE1", "SQL Server"),
            "DRIVER={SQL Server};SERVER=OFFICE1;UID=sa;PWD=pw;DATABASE=master;");
}

TEST(QuoteOdbcValue, BracesOnlyWhatNeedsThem) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"plain", "plain"},
      {"中文", "中文"},
      {"o'neil \"x\" [y]", "o'neil \"x\" [y]"},
      {"a;b", "{a;b}"},
      {"a=b", "{a=b}"},
      {"{a", "{{a}"},
      {"a}b", "{a}}b}"},
      {"}}", "{}}}}}"},
      {" a", "{ a}"},
      {"a ", "{a }"},
      {"\ta", "{\ta}"},
      {"a b", "a b"},
  };
  for (const auto& [value, quoted] : cases) {
    EXPECT_EQ(QuoteOdbcValue(value), quoted) << value;
  }
}

TEST(QuoteFreeTdsValue, BracesOnlyForSemicolonOrLeadingBrace) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"", ""},
      {"plain", "plain"},
      {" blanks ", " blanks "},
      {"a}b=c", "a}b=c"},
      {"}", "}"},
      {"中文", "中文"},
      {"a;b", "{a;b}"},
      {"{a", "{{a}"},
      {"{a}", "{{a}}"},
      {"a;b}", "{a;b}}"},
      {"x};y", std::nullopt},
      {"{};", std::nullopt},
  };
  for (const auto& [value, quoted] : cases) {
    EXPECT_EQ(QuoteFreeTdsValue(value), quoted) << value;
  }
}

TEST(ChooseDriver, PrefersNewestInstalled) {
  struct Case {
    std::vector<std::string> installed;
    std::optional<std::string> chosen;
  };
  const Case cases[] = {
      {{}, std::nullopt},
      {{"PostgreSQL Unicode", "MySQL"}, std::nullopt},
      {{"SQL Server", "FreeTDS"}, "FreeTDS"},
      {{"SQL Server", "ODBC Driver 17 for SQL Server", "ODBC Driver 18 for SQL Server"},
       "ODBC Driver 18 for SQL Server"},
      {{"SQL Server Native Client 11.0", "SQL Server"}, "SQL Server Native Client 11.0"},
      {{"SQL Server"}, "SQL Server"},
      {{"freetds"}, "freetds"},
      {{"ODBC Driver 18 for SQL Server (old)", "SQL Server"}, "SQL Server"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ChooseDriver(c.installed), c.chosen) << (c.installed.empty() ? "" : c.installed.front());
  }
}

}  // namespace
}  // namespace bakwyn

