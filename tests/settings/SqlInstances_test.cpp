// The local instance list and the server names built from it, against the
// in-memory registry (the real registry: WinSqlInstances_test.cpp).
#include "settings/SqlInstances.h"

#include <gtest/gtest.h>

#include "settings/MemoryRegistry.h"

namespace bakwyn::settings {
namespace {

const std::string kList(kSqlInstanceNamesKey);

std::string ServerKey(const std::string& key) { return std::string(kSqlServerKey) + "\\" + key + "\\MSSQLServer"; }

// As SQL Server's set-up writes an instance: its entry in the list and its folders.
void Install(MemoryRegistry& view, const std::string& name, const std::string& key, const std::string& backup) {
  view.setValue(kList, name, key);
  if (!backup.empty()) view.setValue(ServerKey(key), "BackupDirectory", backup);
}

std::vector<std::string> Names(const std::vector<SqlInstance>& instances) {
  std::vector<std::string> out;
  for (const SqlInstance& i : instances) out.push_back(i.name);
  return out;
}

TEST(MemoryRegistryForInstances, ReadExistingNeverCreatesAndListsValueNames) {
  MemoryRegistry registry;
  EXPECT_EQ(registry.open(kList, Access::ReadExisting), nullptr);
  EXPECT_FALSE(registry.hasKey(kList));
  EXPECT_FALSE(registry.hasKey("SOFTWARE\\Microsoft"));  // no parent either

  registry.setValue(kList, "SQLEXPRESS", "MSSQL16.SQLEXPRESS");
  registry.setValue(kList, "实例", "MSSQL16.X");
  auto key = registry.open(kList, Access::ReadExisting);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->valueNames(), (std::vector<std::string>{"SQLEXPRESS", "实例"}));
  EXPECT_THROW(key->writeString("x", "y"), RegistryError);  // opened for reading only
  // A key that exists but cannot be opened is no key either.
  registry.failKey(kList);
  EXPECT_EQ(registry.open(kList, Access::ReadExisting), nullptr);
}

TEST(FindSqlInstances, NothingInstalledCreatesNothing) {
  MemoryRegistry view64, view32;
  EXPECT_TRUE(FindSqlInstances(view64, view32).empty());
  EXPECT_TRUE(view64.keys().empty());
  EXPECT_TRUE(view32.keys().empty());
}

TEST(FindSqlInstances, BothViewsOnceEachDefaultFirstThenByName) {
  MemoryRegistry view64, view32;
  Install(view64, "SQLEXPRESS", "MSSQL16.SQLEXPRESS", "C:\\Program Files\\SQL\\Backup");
  Install(view64, "accounts", "MSSQL15.ACCOUNTS", "");
  Install(view64, "MSSQLSERVER", "MSSQL16.MSSQLSERVER", "D:\\备份");
  // A 32-bit instance, and one listed in both views (the 64-bit entry wins).
  Install(view32, "OLD2008", "MSSQL10.OLD2008", "C:\\Old\\Backup");
  Install(view32, "sqlexpress", "MSSQL12.SQLEXPRESS", "C:\\Wrong");
  Install(view32, "Zeta", "MSSQL11.ZETA", "E:\\z");
  Install(view32, "实例", "MSSQL11.实例", "");

  const auto instances = FindSqlInstances(view64, view32);
  EXPECT_EQ(Names(instances), (std::vector<std::string>{"MSSQLSERVER", "accounts", "OLD2008", "SQLEXPRESS", "Zeta", "实例"}));
  ASSERT_EQ(instances.size(), 6u);
  EXPECT_EQ(instances[0].key, "MSSQL16.MSSQLSERVER");
  EXPECT_EQ(instances[0].backupDirectory, "D:\\备份");
  EXPECT_EQ(instances[1].backupDirectory, "");  // none set
  EXPECT_EQ(instances[2].backupDirectory, "C:\\Old\\Backup");  // read from its own view
  EXPECT_EQ(instances[3].key, "MSSQL16.SQLEXPRESS");
  EXPECT_EQ(instances[3].backupDirectory, "C:\\Program Files\\SQL\\Backup");
  EXPECT_EQ(instances[4].backupDirectory, "E:\\z");
}

TEST(FindSqlInstances, BrokenEntriesKeepTheirName) {
  MemoryRegistry view64, view32;
  view64.setValue(kList, "", "MSSQL16.NOBODY");  // the key's default value is no instance
  view64.setValue(kList, "NOKEY", "");
  Install(view64, "NOFOLDERKEY", "MSSQL16.GONE", "");
  Install(view64, "UNREADABLE", "MSSQL16.UNREADABLE", "C:\\x");
  view64.failKey(ServerKey("MSSQL16.UNREADABLE"));
  const auto instances = FindSqlInstances(view64, view32);
  EXPECT_EQ(Names(instances), (std::vector<std::string>{"NOFOLDERKEY", "NOKEY", "UNREADABLE"}));
  for (const SqlInstance& i : instances) EXPECT_EQ(i.backupDirectory, "") << i.name;
  EXPECT_FALSE(view64.hasKey(ServerKey("MSSQL16.GONE")));
}

TEST(ServerFor, DefaultIsTheBareComputerName) {
  const std::pair<SqlInstance, std::string> cases[] = {
      {{"MSSQLSERVER", "MSSQL16.MSSQLSERVER", ""}, "OFFICE1"},
      {{"mssqlserver", "", ""}, "OFFICE1"},
      {{"SQLEXPRESS", "MSSQL16.SQLEXPRESS", ""}, "OFFICE1\\SQLEXPRESS"},
      {{"实例", "", ""}, "OFFICE1\\实例"},
      {{"MSSQLSERVER2", "", ""}, "OFFICE1\\MSSQLSERVER2"},
  };
  for (const auto& [instance, server] : cases) EXPECT_EQ(ServerFor("OFFICE1", instance), server) << instance.name;
}

struct DefaultCase {
  const char* name;
  std::vector<std::string> installed;
  std::string field;
  std::string server;
};

SqlInstance Named(const std::string& name) { return {name, "MSSQL16." + name, ""}; }

const DefaultCase kDefaults[] = {
    {"NothingInstalled", {}, "", "OFFICE1"},
    {"OnlyTheDefault", {"MSSQLSERVER"}, "", "OFFICE1"},
    {"OnlyANamedOne", {"SQLEXPRESS"}, "", "OFFICE1\\SQLEXPRESS"},
    {"OnlyANamedOneFieldHoldsTheComputer", {"SQLEXPRESS"}, "OFFICE1", "OFFICE1\\SQLEXPRESS"},
    {"OnlyANamedOneFieldHoldsAnotherComputer", {"SQLEXPRESS"}, "OLDNAME", "OFFICE1\\SQLEXPRESS"},
    {"OnlyANamedOneEmptyInstance", {"SQLEXPRESS"}, "OFFICE1\\", "OFFICE1\\SQLEXPRESS"},
    {"OnlyANamedOneBlankInstance", {"SQLEXPRESS"}, "OFFICE1\\  ", "OFFICE1\\SQLEXPRESS"},
    {"DefaultAndNamed", {"MSSQLSERVER", "SQLEXPRESS"}, "", "OFFICE1"},
    {"TwoNamed", {"A", "B"}, "", "OFFICE1"},
    {"FieldInstanceKept", {"MSSQLSERVER", "SQLEXPRESS"}, "OFFICE1\\SQLEXPRESS", "OFFICE1\\SQLEXPRESS"},
    {"FieldInstanceKeptOnAnotherComputer", {}, "OLDNAME\\SQLEXPRESS", "OFFICE1\\SQLEXPRESS"},
    {"FieldInstanceNotInstalledKept", {"SQLEXPRESS"}, "OFFICE1\\OTHER", "OFFICE1\\OTHER"},
    {"FieldInstanceBlanksDropped", {}, " OFFICE1 \\ SQLEXPRESS ", "OFFICE1\\SQLEXPRESS"},
    {"FieldNamesTheDefaultByName", {"SQLEXPRESS"}, "OFFICE1\\MSSQLServer", "OFFICE1"},
    {"FieldChineseInstance", {}, "电脑\\实例", "OFFICE1\\实例"},
    {"FieldSeveralSeparators", {}, "OFFICE1\\A\\B", "OFFICE1\\A\\B"},
};

void PrintTo(const DefaultCase& c, std::ostream* os) { *os << c.name; }

class DefaultServerTest : public ::testing::TestWithParam<DefaultCase> {};

TEST_P(DefaultServerTest, ChoosesTheOnlyNamedInstanceOrKeepsTheField) {
  const DefaultCase& c = GetParam();
  std::vector<SqlInstance> instances;
  for (const std::string& name : c.installed) instances.push_back(Named(name));
  EXPECT_EQ(DefaultServer("OFFICE1", instances, c.field), c.server);
}

INSTANTIATE_TEST_SUITE_P(Cases, DefaultServerTest, ::testing::ValuesIn(kDefaults),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace bakwyn::settings
