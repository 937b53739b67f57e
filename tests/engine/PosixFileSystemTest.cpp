// The POSIX stand-in for the Windows file system, on which the native tests
// run the engine: Windows paths through a drive-letter map.
#include "engine/PosixFileSystem.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

namespace bakwyn {
namespace {

namespace fs = std::filesystem;

TEST(PosixFileSystemTest, MapsDriveLettersInEitherCase) {
  const PosixFileSystem files({{'t', "/srv/t"}, {'D', "/srv/d"}});
  struct Row {
    std::string windows;
    std::optional<fs::path> local;
  };
  const Row rows[] = {
      {"T:\\dir\\x.bak", fs::path("/srv/t/dir/x.bak")},
      {"t:\\dir\\", fs::path("/srv/t/dir/")},
      {"D:\\数据库自动备份目录\\a'b;c].bak", fs::path("/srv/d/数据库自动备份目录/a'b;c].bak")},
      {"D:/mixed\\separators", fs::path("/srv/d/mixed/separators")},
      {"Q:\\unmapped\\", std::nullopt},
      {"relative\\path", std::nullopt},
      {"", std::nullopt},
      {"/already/local", fs::path("/already/local")},
  };
  for (const Row& row : rows) EXPECT_EQ(files.map(row.windows), row.local) << row.windows;
}

TEST(PosixFileSystemTest, BehavesLikeTheWindowsFileSystemForTheEngine) {
  const fs::path root = fs::temp_directory_path() / ("bakwyn-posix-fs-" + std::to_string(::getpid()));
  fs::remove_all(root);
  fs::create_directories(root);
  PosixFileSystem files({{'T', root}});

  EXPECT_TRUE(files.createDirectories("T:\\a\\b\\c\\"));
  EXPECT_TRUE(fs::is_directory(root / "a/b/c"));
  EXPECT_FALSE(files.createDirectories("Q:\\a\\"));
  std::ofstream(root / "a/file.bak") << "x";
  EXPECT_FALSE(files.createDirectories("T:\\a\\file.bak\\below\\"));

  // A directory cannot be opened as a file nor removed as one, as on Windows.
  EXPECT_TRUE(files.readModifiedTime("T:\\a\\file.bak").has_value());
  EXPECT_FALSE(files.readModifiedTime("T:\\a\\b").has_value());
  EXPECT_FALSE(files.readModifiedTime("T:\\a\\missing.bak").has_value());
  // A failed deletion says why, in the system's words.
  const FileResult directory = files.removeFile("T:\\a\\b");
  EXPECT_FALSE(directory);
  EXPECT_EQ(directory.reason, "Is a directory");
  EXPECT_TRUE(fs::is_directory(root / "a/b"));
  const FileResult removed = files.removeFile("T:\\a\\file.bak");
  EXPECT_TRUE(removed);
  EXPECT_EQ(removed.reason, "");
  EXPECT_FALSE(fs::exists(root / "a/file.bak"));
  const FileResult missing = files.removeFile("T:\\a\\file.bak");
  EXPECT_FALSE(missing);
  EXPECT_EQ(missing.reason, "No such file or directory");
  EXPECT_FALSE(files.removeFile("Q:\\a\\file.bak"));

  EXPECT_EQ(files.listDirectory("T:\\a\\"), std::vector<std::string>{"b"});
  EXPECT_TRUE(files.listDirectory("T:\\missing\\").empty());
  fs::remove_all(root);
}

}  // namespace
}  // namespace bakwyn
