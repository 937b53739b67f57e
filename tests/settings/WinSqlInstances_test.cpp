// The local instance list against the real registry (Windows, or Wine): the
// instances are written with the registry API exactly where and how SQL
// Server's set-up writes them, in the 64-bit and the 32-bit view, and removed
// again afterwards, leaving whatever else was there.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/Text.h"
#include "settings/SqlInstances.h"
#include "settings/WindowsRegistry.h"

namespace bakwyn::settings {
namespace {

std::wstring Wide(const std::string& utf8) { return ToWide(utf8); }

const std::string kList(kSqlInstanceNamesKey);

// Instance names of our own, so that a real SQL Server's entries stay untouched.
struct Written {
  REGSAM view;
  std::string name, key, backup;
};

const Written kWritten[] = {
    {KEY_WOW64_64KEY, "BAKWYNTESTEXPRESS", "MSSQL16.BAKWYNTESTEXPRESS", "C:\\Program Files\\Microsoft SQL Server\\"
                                                                         "MSSQL16.BAKWYNTESTEXPRESS\\MSSQL\\Backup"},
    {KEY_WOW64_64KEY, "BAKWYNTEST实例", "MSSQL16.BAKWYNTEST实例", "D:\\数据库\\备份"},
    {KEY_WOW64_64KEY, "BAKWYNTESTNOFOLDER", "MSSQL15.BAKWYNTESTNOFOLDER", ""},
    {KEY_WOW64_32KEY, "BAKWYNTEST32", "MSSQL10.BAKWYNTEST32", "C:\\Old\\Backup"},
    // Listed in both views: found once, with the 64-bit entry's key.
    {KEY_WOW64_32KEY, "bakwyntestexpress", "MSSQL12.WRONG", "C:\\Wrong"},
};

bool KeyExists(const std::string& path, REGSAM view) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(path).c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

void SetString(const std::string& path, REGSAM view, const std::string& name, const std::string& data) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, Wide(path).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_WRITE | view, nullptr, &key, nullptr),
            ERROR_SUCCESS)
      << path;
  const std::wstring wide = Wide(data);
  EXPECT_EQ(RegSetValueExW(key, Wide(name).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
                           static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

// Deletes the key if it holds neither subkeys nor values.
void DeleteIfEmpty(const std::string& path, REGSAM view) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(path).c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return;
  DWORD subkeys = 1, values = 1;
  RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                   nullptr);
  RegCloseKey(key);
  if (subkeys == 0 && values == 0) RegDeleteKeyExW(HKEY_LOCAL_MACHINE, Wide(path).c_str(), view, 0);
}

void RemoveOurs() {
  for (const Written& w : kWritten) {
    HKEY list = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(kList).c_str(), 0, KEY_SET_VALUE | w.view, &list) == ERROR_SUCCESS) {
      RegDeleteValueW(list, Wide(w.name).c_str());
      RegCloseKey(list);
    }
    const std::string instanceKey = std::string(kSqlServerKey) + "\\" + w.key;
    HKEY instance = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(instanceKey).c_str(), 0, KEY_ALL_ACCESS | w.view, &instance) ==
        ERROR_SUCCESS) {
      RegDeleteTreeW(instance, nullptr);
      RegCloseKey(instance);
      RegDeleteKeyExW(HKEY_LOCAL_MACHINE, Wide(instanceKey).c_str(), w.view, 0);
    }
  }
  for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
    DeleteIfEmpty(kList, view);
    DeleteIfEmpty(std::string(kSqlServerKey) + "\\Instance Names", view);
    DeleteIfEmpty(std::string(kSqlServerKey), view);
  }
}

class WinSqlInstances : public ::testing::Test {
 protected:
  void SetUp() override { RemoveOurs(); }
  void TearDown() override { RemoveOurs(); }

  void install() {
    for (const Written& w : kWritten) {
      SetString(kList, w.view, w.name, w.key);
      if (!w.backup.empty()) {
        SetString(std::string(kSqlServerKey) + "\\" + w.key + "\\MSSQLServer", w.view, "BackupDirectory", w.backup);
      }
    }
  }

  // Ours only, in the order found.
  static std::vector<SqlInstance> Ours(const std::vector<SqlInstance>& all) {
    std::vector<SqlInstance> out;
    for (const SqlInstance& i : all) {
      if (i.name.rfind("BAKWYNTEST", 0) == 0 || i.name.rfind("bakwyntest", 0) == 0) out.push_back(i);
    }
    return out;
  }
};

TEST_F(WinSqlInstances, FindsBothViewsAndTheBackupFolders) {
  install();
  const auto view64 = MakeWindowsRegistry(RegistryView::Wow64_64);
  const auto view32 = MakeWindowsRegistry(RegistryView::Wow64_32);
  const auto found = Ours(FindSqlInstances(*view64, *view32));
  ASSERT_EQ(found.size(), 4u);
  EXPECT_EQ(found[0].name, "BAKWYNTEST32");
  EXPECT_EQ(found[0].key, "MSSQL10.BAKWYNTEST32");
  EXPECT_EQ(found[0].backupDirectory, "C:\\Old\\Backup");
  EXPECT_EQ(found[1].name, "BAKWYNTESTEXPRESS");
  EXPECT_EQ(found[1].key, "MSSQL16.BAKWYNTESTEXPRESS");
  EXPECT_EQ(found[1].backupDirectory, kWritten[0].backup);
  EXPECT_EQ(found[2].name, "BAKWYNTESTNOFOLDER");
  EXPECT_EQ(found[2].backupDirectory, "");
  EXPECT_EQ(found[3].name, "BAKWYNTEST实例");
  EXPECT_EQ(found[3].backupDirectory, "D:\\数据库\\备份");
  EXPECT_EQ(ServerFor("OFFICE1", found[3]), "OFFICE1\\BAKWYNTEST实例");

  // The views are really apart: the 64-bit list alone holds only the 64-bit entries.
  const auto only64 = Ours(FindSqlInstances(*view64, *view64));
  ASSERT_EQ(only64.size(), 3u);
  EXPECT_EQ(only64[0].name, "BAKWYNTESTEXPRESS");
  const auto only32 = Ours(FindSqlInstances(*view32, *view32));
  ASSERT_EQ(only32.size(), 2u);
  EXPECT_EQ(only32[0].name, "BAKWYNTEST32");
  EXPECT_EQ(only32[1].key, "MSSQL12.WRONG");
}

TEST_F(WinSqlInstances, ReadingCreatesNoKey) {
  const auto view64 = MakeWindowsRegistry(RegistryView::Wow64_64);
  const auto view32 = MakeWindowsRegistry(RegistryView::Wow64_32);
  const bool listed64 = KeyExists(kList, KEY_WOW64_64KEY), listed32 = KeyExists(kList, KEY_WOW64_32KEY);
  FindSqlInstances(*view64, *view32);
  EXPECT_EQ(KeyExists(kList, KEY_WOW64_64KEY), listed64);
  EXPECT_EQ(KeyExists(kList, KEY_WOW64_32KEY), listed32);
  const std::string missing = std::string(kSqlServerKey) + "\\BakwynTestNoSuchKey\\MSSQLServer";
  EXPECT_EQ(view64->open(missing, Access::ReadExisting), nullptr);
  EXPECT_FALSE(KeyExists(std::string(kSqlServerKey) + "\\BakwynTestNoSuchKey", KEY_WOW64_64KEY));
}

// Value names come back whole, Chinese and long ones included, and of any type.
TEST_F(WinSqlInstances, ValueNamesListsEveryValue) {
  const std::string path = std::string(kSqlServerKey) + "\\MSSQL16.BAKWYNTESTEXPRESS\\MSSQLServer";
  std::string longName = "BAKWYNTEST";
  while (longName.size() < 600) longName += "长名字";
  SetString(path, KEY_WOW64_64KEY, "BackupDirectory", "C:\\b");
  SetString(path, KEY_WOW64_64KEY, "实例名", "x");
  SetString(path, KEY_WOW64_64KEY, longName, "y");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(path).c_str(), 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &key),
            ERROR_SUCCESS);
  const DWORD number = 7;
  RegSetValueExW(key, L"LoginMode", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
  RegCloseKey(key);

  auto open = MakeWindowsRegistry(RegistryView::Wow64_64)->open(path, Access::ReadExisting);
  ASSERT_NE(open, nullptr);
  std::vector<std::string> names = open->valueNames();
  std::sort(names.begin(), names.end());
  std::vector<std::string> expected = {"BackupDirectory", "LoginMode", "实例名", longName};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names, expected);
  EXPECT_THROW(open->readString("LoginMode"), RegistryError);  // not a string
  EXPECT_THROW(open->writeString("x", "y"), RegistryError);    // opened for reading only
  // Not in the other view.
  EXPECT_EQ(MakeWindowsRegistry(RegistryView::Wow64_32)->open(path, Access::ReadExisting), nullptr);
}

}  // namespace
}  // namespace bakwyn::settings
