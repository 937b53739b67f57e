// The Windows file system behind the engine, as the cleanup and the backup job
// rely on it: run under Wine (or on Windows).
#include "engine/WindowsFileSystem.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/engine/TestDirectory.h"

namespace bakwyn {
namespace {

using testing::TestDirectory;

// Sets the file's last-write time to the given local wall-clock time.
void SetLocalWriteTime(const std::filesystem::path& file, const LocalDateTime& t) {
  SYSTEMTIME local{static_cast<WORD>(t.year), static_cast<WORD>(t.month), 0, static_cast<WORD>(t.day),
                   static_cast<WORD>(t.hour), static_cast<WORD>(t.minute), static_cast<WORD>(t.second),
                   static_cast<WORD>(t.millisecond)};
  SYSTEMTIME utc;
  FILETIME written;
  ASSERT_TRUE(TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc));
  ASSERT_TRUE(SystemTimeToFileTime(&utc, &written));
  const HANDLE h = CreateFileW(file.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(SetFileTime(h, nullptr, nullptr, &written));
  CloseHandle(h);
}

TEST(WindowsFileSystemTest, CreatesEveryMissingParent) {
  TestDirectory dir;
  WindowsFileSystem files;
  const std::string deep = dir.windowsRoot() + "数据库\\每日 备份\\O'Neil;[x]\\";
  EXPECT_TRUE(files.createDirectories(deep));
  EXPECT_TRUE(std::filesystem::is_directory(dir.local(deep)));
  EXPECT_TRUE(files.createDirectories(deep)) << "an existing directory is fine";
  EXPECT_TRUE(files.createDirectories(dir.windowsRoot() + "no\\trailing/separator")) << "either separator";
  EXPECT_TRUE(std::filesystem::is_directory(dir.local(dir.windowsRoot() + "no\\trailing\\separator")));

  dir.write(dir.windowsRoot() + "file");
  EXPECT_FALSE(files.createDirectories(dir.windowsRoot() + "file\\below\\"));
  EXPECT_FALSE(files.createDirectories(""));
}

TEST(WindowsFileSystemTest, ListsEveryEntryWhateverItsAttributes) {
  TestDirectory dir;
  WindowsFileSystem files;
  const std::string root = dir.windowsRoot();
  for (const char* name : {"plain.bak", "hidden.bak", "system.BAK", "数据.bak", "x.bakold"}) dir.write(root + name);
  std::filesystem::create_directory(dir.local(root + "folder.bak"));
  SetFileAttributesW(dir.local(root + "hidden.bak").c_str(), FILE_ATTRIBUTE_HIDDEN);
  SetFileAttributesW(dir.local(root + "system.BAK").c_str(), FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY);

  std::vector<std::string> names = files.listDirectory(root);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"folder.bak", "hidden.bak", "plain.bak", "system.BAK", "x.bakold",
                                             "数据.bak"}));
  EXPECT_TRUE(files.listDirectory(root + "missing\\").empty());
  SetFileAttributesW(dir.local(root + "system.BAK").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(WindowsFileSystemTest, ReadsTheLocalWriteTimeOfFilesItCanOpen) {
  TestDirectory dir;
  WindowsFileSystem files;
  const std::string file = dir.windowsRoot() + "2026年01月15日02时00分.bak";
  dir.write(file);
  // A winter and a summer date: each is read back with its own date's offset.
  for (const LocalDateTime t : {LocalDateTime{2026, 1, 15, 2, 0, 30, 0}, LocalDateTime{2026, 7, 15, 23, 59, 59, 0}}) {
    SetLocalWriteTime(dir.local(file), t);
    EXPECT_EQ(files.readModifiedTime(file), t);
  }
  std::filesystem::create_directory(dir.local(dir.windowsRoot() + "folder.bak"));
  EXPECT_FALSE(files.readModifiedTime(dir.windowsRoot() + "folder.bak").has_value());
  EXPECT_FALSE(files.readModifiedTime(dir.windowsRoot() + "missing.bak").has_value());
}

TEST(WindowsFileSystemTest, FileInUseCannotBeOpenedNorDeleted) {
  TestDirectory dir;
  WindowsFileSystem files;
  const std::string file = dir.windowsRoot() + "in use.bak";
  dir.write(file);
  const HANDLE held = CreateFileW(dir.local(file).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(files.readModifiedTime(file).has_value());
  const FileResult refused = files.removeFile(file);
  EXPECT_FALSE(refused);
  // The system's own text for the sharing violation, without its line break.
  EXPECT_FALSE(refused.reason.empty());
  EXPECT_EQ(refused.reason.find_first_of("\r\n"), std::string::npos) << refused.reason;
  EXPECT_EQ(refused.reason.rfind("error ", 0), std::string::npos) << "FormatMessage knows this error: " << refused.reason;
  CloseHandle(held);
  EXPECT_TRUE(files.readModifiedTime(file).has_value());
  const FileResult removed = files.removeFile(file);
  EXPECT_TRUE(removed);
  EXPECT_EQ(removed.reason, "");
  EXPECT_FALSE(std::filesystem::exists(dir.local(file)));
}

TEST(WindowsFileSystemTest, ReadOnlyFileCanBeReadButNotDeleted) {
  TestDirectory dir;
  WindowsFileSystem files;
  const std::string file = dir.windowsRoot() + "只读.bak";
  dir.write(file);
  ASSERT_TRUE(SetFileAttributesW(dir.local(file).c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_TRUE(files.readModifiedTime(file).has_value());
  const FileResult refused = files.removeFile(file);
  EXPECT_FALSE(refused);
  EXPECT_FALSE(refused.reason.empty());
  EXPECT_TRUE(std::filesystem::exists(dir.local(file)));
  SetFileAttributesW(dir.local(file).c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(WindowsFileSystemTest, RemoveNeverDeletesADirectory) {
  TestDirectory dir;
  WindowsFileSystem files;
  std::filesystem::create_directory(dir.local(dir.windowsRoot() + "x.bak"));
  EXPECT_FALSE(files.removeFile(dir.windowsRoot() + "x.bak"));
  EXPECT_TRUE(std::filesystem::is_directory(dir.local(dir.windowsRoot() + "x.bak")));
}

}  // namespace
}  // namespace bakwyn
