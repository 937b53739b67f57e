// The POSIX stand-in for the Windows file system, on which the native tests
// run the engine: Windows paths through a drive-letter map.
#include "engine/PosixFileSystem.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace bakwyn {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A scratch directory mapped as drive T:.
struct Scratch {
  fs::path root = fs::temp_directory_path() /
                  ("bakwyn-posix-fs-" + std::to_string(::getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
  PosixFileSystem files{{{'T', root}}};
  Scratch() {
    fs::remove_all(root);
    fs::create_directories(root);
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(root, ec);  // removes links as links
  }
  void write(const std::string& relative, const std::string& content) const {
    std::ofstream(root / relative, std::ios::binary) << content;
  }
};

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

// As on Windows, where the service deletes and renames as the system account
// in folders others may write: a symbolic link on the way never sends a
// deletion, a rename or a cut elsewhere.
// What the restore test asks before it restores beside the backups.
TEST(PosixFileSystemTest, AvailableBytesOfTheVolumeOfAFolder) {
  Scratch scratch;
  fs::create_directories(scratch.root / "数据库");
  scratch.write("file.bak", "x");
  const std::optional<std::uint64_t> available = scratch.files.availableBytes("T:\\数据库\\");
  ASSERT_TRUE(available.has_value());
  // The library's own reading of the same volume, a moment apart: others on
  // this machine write meanwhile.
  const fs::space_info space = fs::space(scratch.root);
  const std::uint64_t slack = 256ULL << 20;
  EXPECT_LE(*available, space.capacity);
  EXPECT_LE(*available, space.available + slack);
  EXPECT_GE(*available + slack, space.available);
  struct Row {
    const char* name;
    std::string dir;
  };
  const Row nothing[] = {{"Missing", "T:\\missing\\"}, {"AFile", "T:\\file.bak"}, {"UnmappedDrive", "Q:\\"}};
  for (const Row& row : nothing) EXPECT_EQ(scratch.files.availableBytes(row.dir), std::nullopt) << row.name;
}

// Whether two folders are on one volume: the backups and the database's
// files, told apart by the device each lands on.
TEST(PosixFileSystemTest, VolumeOfAPathIsTheDeviceItLandsOn) {
  Scratch scratch;
  fs::create_directories(scratch.root / "备份");
  fs::create_directories(scratch.root / "data");
  scratch.write("data/shop.mdf", "x");
  // /proc is a file system of its own wherever this runs; U: is a second
  // letter of T:'s folder; a link in T: leads into /proc.
  fs::create_directory_symlink("/proc", scratch.root / "elsewhere");
  PosixFileSystem files({{'T', scratch.root}, {'U', scratch.root / "data"}, {'P', "/proc"}});
  const std::optional<std::string> t = files.volumeOf("T:\\备份\\");
  const std::optional<std::string> proc = files.volumeOf("P:\\");
  ASSERT_TRUE(t.has_value());
  ASSERT_TRUE(proc.has_value());
  EXPECT_NE(*t, *proc);
  struct Row {
    const char* name;
    std::string path;
    std::optional<std::string> volume;
  };
  const Row rows[] = {
      {"AFile", "T:\\data\\shop.mdf", t},
      {"AFolderNotMadeYet", "T:\\备份\\2026\\每日\\", t},
      {"UpAndDownByName", "T:\\missing\\..\\data\\.\\", t},
      {"NeverAboveTheDrive", "P:\\..\\..\\tmp\\", proc},
      {"ASecondLetter", "u:\\shop.mdf", t},
      {"ThroughALink", "T:\\elsewhere\\self\\", proc},
      {"APathOfThisSystem", scratch.root.string() + "/data/", t},
      {"UnmappedDrive", "Q:\\备份\\", std::nullopt},
      {"AShare", "\\\\nas\\b\\", std::nullopt},
      {"Empty", "", std::nullopt},
  };
  for (const Row& row : rows) EXPECT_EQ(files.volumeOf(row.path), row.volume) << row.name;
}

TEST(PosixFileSystemTest, DeletingRenamingAndCuttingNeverFollowALink) {
  Scratch s;
  fs::create_directories(s.root / "real");
  fs::create_directories(s.root / "deep/er");
  s.write("real/target.bak", "somebody else's file");
  s.write("other.tmp", "x");
  fs::create_directory_symlink(s.root / "real", s.root / "linked");
  fs::create_directory_symlink(s.root / "real", s.root / "deep/er/linked");
  fs::create_symlink(s.root / "real/target.bak", s.root / "file link.bak");
  PosixFileSystem& files = s.files;

  const std::string throughLinked = "路径经过链接(符号链接),为安全起见不在其中删除或改名 (" +
                                    (s.root / "linked").string() + ": Too many levels of symbolic links)";
  const std::string isALink = "路径经过链接(符号链接),为安全起见不在其中删除或改名 (它本身是链接: Too many levels of symbolic links)";
  const struct {
    const char* name;
    std::function<FileResult()> act;
    std::string reason;
  } refused[] = {
      {"delete through a linked folder", [&] { return files.removeFile("T:\\linked\\target.bak"); }, throughLinked},
      {"delete through a linked folder further down",
       [&] { return files.removeFile("T:\\deep\\er\\linked\\target.bak"); },
       "路径经过链接(符号链接),为安全起见不在其中删除或改名 (" + (s.root / "deep/er/linked").string() +
           ": Too many levels of symbolic links)"},
      {"delete through a linked folder, named with ..",
       [&] { return files.removeFile("T:\\deep\\..\\linked\\.\\target.bak"); }, throughLinked},
      {"delete through a linked folder, named by its POSIX path",
       [&] { return files.removeFile((s.root / "linked/target.bak").string()); }, throughLinked},
      {"delete a link to a file", [&] { return files.removeFile("T:\\file link.bak"); }, isALink},
      {"rename into a linked folder", [&] { return files.replaceFile("T:\\other.tmp", "T:\\linked\\target.bak"); },
       throughLinked},
      {"rename out of a linked folder", [&] { return files.replaceFile("T:\\linked\\target.bak", "T:\\moved.bak"); },
       throughLinked},
      {"rename a link", [&] { return files.replaceFile("T:\\file link.bak", "T:\\moved.bak"); }, isALink},
      {"rename onto a link", [&] { return files.replaceFile("T:\\other.tmp", "T:\\file link.bak"); }, isALink},
      {"cut through a linked folder", [&] { return files.truncateFile("T:\\linked\\target.bak", 0); }, throughLinked},
      {"cut a link", [&] { return files.truncateFile("T:\\file link.bak", 0); }, isALink},
  };
  for (const auto& row : refused) {
    SCOPED_TRACE(row.name);
    const FileResult result = row.act();
    EXPECT_FALSE(result);
    EXPECT_EQ(result.reason, row.reason);
    EXPECT_EQ(ReadAll(s.root / "real/target.bak"), "somebody else's file");
    EXPECT_EQ(ReadAll(s.root / "other.tmp"), "x");
    EXPECT_TRUE(fs::is_symlink(s.root / "file link.bak"));
    EXPECT_FALSE(fs::exists(s.root / "moved.bak"));
  }

  // The same operations where no link leads.
  EXPECT_TRUE(files.replaceFile("T:\\other.tmp", "T:\\real\\target.bak"));
  EXPECT_EQ(ReadAll(s.root / "real/target.bak"), "x");
  EXPECT_TRUE(files.truncateFile("T:\\real\\target.bak", 0));
  EXPECT_EQ(fs::file_size(s.root / "real/target.bak"), 0u);
  EXPECT_TRUE(files.removeFile("T:\\deep\\..\\real\\target.bak"));
  EXPECT_FALSE(fs::exists(s.root / "real/target.bak"));
  EXPECT_TRUE(fs::is_directory(s.root / "real"));
}

TEST(PosixFileSystemTest, CutKeepsTheStartAndRenameReplaces) {
  Scratch s;
  fs::create_directories(s.root / "历史");
  s.write("历史/Bakwyn.log", "line 1\nline 2 half");
  s.write("历史/Bakwyn.1.log", "older");
  ASSERT_TRUE(s.files.truncateFile("T:\\历史\\Bakwyn.log", 7));
  EXPECT_EQ(ReadAll(s.root / "历史/Bakwyn.log"), "line 1\n");
  ASSERT_TRUE(s.files.replaceFile("T:\\历史\\Bakwyn.log", "T:\\历史\\Bakwyn.1.log"));
  EXPECT_EQ(ReadAll(s.root / "历史/Bakwyn.1.log"), "line 1\n");
  EXPECT_FALSE(fs::exists(s.root / "历史/Bakwyn.log"));
  const FileResult missing = s.files.truncateFile("T:\\历史\\Bakwyn.log", 0);
  EXPECT_FALSE(missing);
  EXPECT_EQ(missing.reason, "No such file or directory");
  EXPECT_FALSE(s.files.truncateFile("T:\\missing\\Bakwyn.log", 0));
}

std::string ReadThrough(FileReader& reader, std::size_t piece) {
  std::string back, buffer(piece, '\0');
  for (std::size_t got = 1; got > 0;) {
    const FileResult read = reader.read(buffer.data(), buffer.size(), got);
    EXPECT_TRUE(read) << read.reason;
    if (!read) break;
    back.append(buffer.data(), got);
  }
  return back;
}

// The read-back of a copy, past the page cache (O_DIRECT, which reads whole
// aligned blocks): every byte of the file and no more, whatever the file's
// size and the caller's buffer.
TEST(PosixFileSystemTest, ReadingBackPastTheCacheGivesTheFilesBytes) {
  Scratch s;
  constexpr std::size_t kMb = 1024 * 1024;
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{4095}, std::size_t{4096}, kMb - 1, kMb,
                                 kMb + 1, 2 * kMb + 4097}) {
    std::string content(size, '\0');
    for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>(i * 7 + i / 4096);
    s.write("copy.bak", content);
    for (const std::size_t piece : {std::size_t{1000}, kMb, 3 * kMb}) {
      SCOPED_TRACE(std::to_string(size) + " bytes read " + std::to_string(piece) + " at a time");
      Opened<FileReader> reader = s.files.openUncached("T:\\copy.bak");
      ASSERT_TRUE(reader) << reader.reason;
      EXPECT_TRUE(ReadThrough(*reader.file, piece) == content);
    }
  }
  EXPECT_EQ(s.files.openUncached("T:\\missing.bak").reason, "No such file or directory");
  fs::create_directory(s.root / "folder.bak");
  EXPECT_EQ(s.files.openUncached("T:\\folder.bak").reason, "Is a directory");

  // A file system that refuses O_DIRECT (procfs here) is read through the
  // cache, after asking it to let go of the file.
  const std::string expected = ReadAll("/proc/version");
  ASSERT_FALSE(expected.empty());
  ASSERT_LT(::open("/proc/version", O_RDONLY | O_DIRECT), 0) << "procfs takes O_DIRECT here: pick another";
  Opened<FileReader> proc = s.files.openUncached("/proc/version");
  ASSERT_TRUE(proc) << proc.reason;
  EXPECT_EQ(ReadThrough(*proc.file, 7), expected);
}

}  // namespace
}  // namespace bakwyn
