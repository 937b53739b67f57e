// The copies to a second folder on the platform's real file system: the
// streams the copy goes through, and whole passes between real folders. Built
// natively against the POSIX stand-in and, for Windows, against the Win32 file
// system under Wine, where the second folder is on another drive letter.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>

#include "tests/support/WineUnix.h"
#endif

#include "engine/Replica.h"
#include "tests/engine/TestDirectory.h"
#include "tests/support/ForwardingFiles.h"

namespace bakwyn {
namespace {

namespace fs = std::filesystem;
using testing::TestDirectory;

std::string ReadAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// True when the two files hold the same bytes, compared a megabyte at a time.
bool SameBytes(const fs::path& a, const fs::path& b) {
  std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
  std::vector<char> p(1 << 20), q(1 << 20);
  for (;;) {
    x.read(p.data(), static_cast<std::streamsize>(p.size()));
    y.read(q.data(), static_cast<std::streamsize>(q.size()));
    if (x.gcount() != y.gcount() || !std::equal(p.begin(), p.begin() + x.gcount(), q.begin())) return false;
    if (x.gcount() == 0) return x.eof() && y.eof();
  }
}

const LocalDateTime kWritten{2026, 12, 9, 2, 0, 31, 250};

TEST(ReplicaFileSystemTest, WrittenFileReadsBackWithItsDate) {
  TestDirectory dir;
  FileSystem& files = dir.files();
  const std::string path = dir.windowsRoot() + "O'Neil;[x] 数据 \xF0\x9D\x84\x9E.bak";
  {
    Opened<FileWriter> writer = files.createForWriting(path);
    ASSERT_TRUE(writer) << writer.reason;
    EXPECT_TRUE(writer.file->write("first ", 6));
    EXPECT_TRUE(writer.file->write("", 0));
    EXPECT_TRUE(writer.file->write("second", 6));
    const FileResult finished = writer.file->finish(kWritten);
    EXPECT_TRUE(finished) << finished.reason;
  }
  EXPECT_EQ(files.readModifiedTime(path), kWritten);
  Opened<FileReader> reader = files.openForReading(path);
  ASSERT_TRUE(reader) << reader.reason;
  char buffer[5];
  std::string back;
  for (;;) {
    std::size_t got = 99;
    ASSERT_TRUE(reader.file->read(buffer, sizeof buffer, got));
    ASSERT_LE(got, sizeof buffer);
    if (got == 0) break;
    back.append(buffer, got);
  }
  EXPECT_EQ(back, "first second");
#ifdef _WIN32
  // The server may write to a backup while it is copied (the next backup of
  // the same minute appends to it): a writer that shares only reading gets in.
  // The copy finds the change by the file's size and date.
  const HANDLE writer = CreateFileW(dir.local(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(writer, INVALID_HANDLE_VALUE) << "a copy under way keeps the server from writing";
  if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
#endif
  reader.file.reset();

  // Writing replaces a file of the same name from its start.
  {
    Opened<FileWriter> again = files.createForWriting(path);
    ASSERT_TRUE(again);
    EXPECT_TRUE(again.file->write("x", 1));
    EXPECT_TRUE(again.file->finish(kWritten));
  }
  EXPECT_EQ(ReadAll(dir.local(path)), "x");
}

TEST(ReplicaFileSystemTest, BackupBeingCopiedCanStillBeDeleted) {
  // The backup folder's cleanup runs on its own schedule: a backup being
  // copied when it expires is deleted all the same, and the copy reads on.
  TestDirectory dir;
  FileSystem& files = dir.files();
  const std::string path = dir.windowsRoot() + "old.bak";
  dir.write(path, "twelve bytes");
  Opened<FileReader> reader = files.openForReading(path);
  ASSERT_TRUE(reader);
  const FileResult removed = files.removeFile(path);
  EXPECT_TRUE(removed) << removed.reason;
  char buffer[64];
  std::size_t got = 0;
  EXPECT_TRUE(reader.file->read(buffer, sizeof buffer, got));
  EXPECT_EQ(std::string(buffer, got), "twelve bytes");
  reader.file.reset();
  EXPECT_FALSE(fs::exists(dir.local(path)));
}

TEST(ReplicaFileSystemTest, WhatCannotBeOpenedSaysWhy) {
  TestDirectory dir;
  FileSystem& files = dir.files();
  fs::create_directory(dir.local(dir.windowsRoot() + "folder.bak"));
  dir.write(dir.windowsRoot() + "file");
  struct Row {
    const char* name;
    bool forWriting;
    std::string path;
  } const rows[] = {
      {"missing file", false, dir.windowsRoot() + "missing.bak"},
      {"a directory", false, dir.windowsRoot() + "folder.bak"},
      {"missing folder", true, dir.windowsRoot() + "missing\\x.bak"},
      {"a file as the folder", true, dir.windowsRoot() + "file\\x.bak"},
      {"a directory under the name", true, dir.windowsRoot() + "folder.bak"},
  };
  for (const Row& row : rows) {
    const std::string reason =
        row.forWriting ? files.createForWriting(row.path).reason : files.openForReading(row.path).reason;
    // The system's own text, on one line.
    EXPECT_FALSE(reason.empty()) << row.name;
    EXPECT_EQ(reason.find_first_of("\r\n"), std::string::npos) << row.name << ": " << reason;
    EXPECT_EQ(reason.rfind("error ", 0), std::string::npos) << row.name << ": " << reason;
  }
}

// A backup folder and a second folder on the real file system.
struct Folders {
  TestDirectory dir;
  std::string backupDir = dir.windowsRoot() + "备份\\";
  std::string replicaDir;
  // `replica`: the second folder; empty for one beside the backup folder.
  explicit Folders(const std::string& replica = {})
      : replicaDir(replica.empty() ? dir.windowsRoot() + "副本\\二\\" : replica) {
    EXPECT_TRUE(dir.files().createDirectories(backupDir));
  }
  FileSystem& files() { return dir.files(); }
  // The local path of a path in either folder.
  fs::path local(const std::string& path) const {
    if (path.rfind(dir.windowsRoot(), 0) == 0) return dir.local(path);
    return testing::FromUtf8(path);  // on Windows, a folder on another drive
  }
  // The file `name` in the backup folder: `size` bytes (a header, zeros, a
  // mark at the end), dated `t` as the server's backup would be.
  std::string backup(const std::string& name, std::uint64_t size, const LocalDateTime& t) {
    const std::string path = backupDir + name;
    Opened<FileWriter> writer = files().createForWriting(path);
    EXPECT_TRUE(writer) << writer.reason;
    std::string piece = "TAPE header of " + name;
    piece.resize(std::min<std::uint64_t>(size, 1 << 20), '\0');
    for (std::uint64_t left = size; left > 0;) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, piece.size()));
      if (left == n && n >= 4) piece.replace(n - 4, 4, "MARK");
      EXPECT_TRUE(writer.file->write(piece.data(), n));
      left -= n;
      piece.assign(piece.size(), static_cast<char>(left % 251));
    }
    EXPECT_TRUE(writer.file->finish(t));
    return path;
  }
  ReplicaRequest request(const std::string& newBackup) const {
    return {backupDir, replicaDir, newBackup, true, 3, "OFFICE1", "商店"};
  }
  // Where the copies of this computer's database go.
  std::string copyDir() const { return replicaDir + "OFFICE1\\商店\\"; }
};

std::vector<std::string> Sorted(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  return names;
}

void ExpectCopyOfBackup(Folders& f, const std::string& name) {
  const std::string copy = f.copyDir() + name;
  EXPECT_EQ(fs::file_size(f.local(copy)), fs::file_size(f.local(f.backupDir + name))) << name;
  EXPECT_TRUE(SameBytes(f.local(f.backupDir + name), f.local(copy))) << name;
  EXPECT_EQ(f.files().readModifiedTime(copy), f.files().readModifiedTime(f.backupDir + name)) << name;
}

void RunPassesBetweenRealFolders(Folders& f) {
  FileSystem& files = f.files();
  const LocalDateTime now{2026, 12, 10, 2, 1, 0, 0};
  const std::string large = "2026年12月10日02时00分.bak";
  const std::string earlier = "2026年12月09日02时00分.bak";
  f.backup(earlier, 3 * kReplicaChunkSize + 17, {2026, 12, 9, 2, 0, 40, 0});
  f.backup(large, 50ull * 1024 * 1024 + 3, {2026, 12, 10, 2, 0, 40, 0});
  // What a copy cut off by a power loss left behind.
  ASSERT_TRUE(files.createDirectories(f.copyDir()));
  {
    Opened<FileWriter> left = files.createForWriting(f.copyDir() + earlier + std::string(kReplicaTempSuffix));
    ASSERT_TRUE(left);
    ASSERT_TRUE(left.file->write("half", 4));
  }

  const ReplicaReport report = ReplicateBackups(files, f.request(f.backupDir + large), now);

  EXPECT_EQ(report.lines, (std::vector<std::string>{"备份已复制到: " + f.copyDir() + large,
                                                    "备份已复制到: " + f.copyDir() + earlier}));
  EXPECT_TRUE(report.complete);
  ExpectCopyOfBackup(f, large);
  ExpectCopyOfBackup(f, earlier);
  EXPECT_EQ(Sorted(files.listDirectory(f.copyDir())), Sorted({large, earlier}));
}

TEST(ReplicaFileSystemTest, PassCopiesBetweenRealFoldersAndRemovesWhatACutOffCopyLeft) {
  Folders f;
  RunPassesBetweenRealFolders(f);
}

// Names that would lead out of the second folder as they are: made into one
// folder name each, on the real file system, so that neither the copy nor the
// cleanup reaches what lies where they would have led.
TEST(ReplicaFileSystemTest, HostileNamesNeverLeadOutOfTheSecondFolder) {
  const struct {
    const char* computer;
    const char* database;
    const char* escape;  // where the names as they are would lead, below the scratch directory
    const char* folder;  // where the copies go instead, below the second folder
  } rows[] = {
      {"OFFICE1", "..\\..\\逃", "副本\\逃\\", "OFFICE1\\.._.._逃\\"},
      {"..", "..", "", "__\\__\\"},
      {"OFFICE1", "../../逃", "副本\\逃\\", "OFFICE1\\.._.._逃\\"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.computer) + " " + row.database);
    Folders f;
    const std::string escape = f.dir.windowsRoot() + row.escape;
    ASSERT_TRUE(f.files().createDirectories(escape));
    // An expired backup and a newer one where the names would lead: a cleanup
    // there would delete the first.
    for (const auto& [name, t] : {std::pair{"2026年11月01日02时00分.bak", LocalDateTime{2026, 11, 1, 2, 0, 0, 0}},
                                  std::pair{"2026年11月02日02时00分.bak", LocalDateTime{2026, 11, 2, 2, 0, 0, 0}}}) {
      Opened<FileWriter> writer = f.files().createForWriting(escape + name);
      ASSERT_TRUE(writer);
      ASSERT_TRUE(writer.file->write("not ours", 8));
      ASSERT_TRUE(writer.file->finish(t));
    }
    const std::string name = "2026年12月10日02时00分.bak";
    const std::string backup = f.backup(name, 1000, {2026, 12, 10, 2, 0, 40, 0});
    ReplicaRequest request = f.request(backup);
    request.computer = row.computer;
    request.database = row.database;

    const ReplicaReport report = ReplicateBackups(f.files(), request, {2026, 12, 10, 2, 1, 0, 0});

    const std::string copies = f.replicaDir + row.folder;
    EXPECT_EQ(ReplicaFolder(request), copies);
    EXPECT_EQ(report.lines, std::vector<std::string>{"备份已复制到: " + copies + name});
    EXPECT_TRUE(SameBytes(f.local(backup), f.local(copies + name)));
    EXPECT_TRUE(fs::exists(f.local(escape + "2026年11月01日02时00分.bak")));
    EXPECT_TRUE(fs::exists(f.local(escape + "2026年11月02日02时00分.bak")));
    EXPECT_FALSE(fs::exists(f.local(escape + name)));
  }
}

// The real file system of the platform, but a backup grows (the server
// appends the next backup of the same minute to it) just after the copy has
// read its first piece, as many times as asked.
class AppendingFiles final : public testing::ForwardingFiles {
 public:
  AppendingFiles(FileSystem& inner, std::string backup, fs::path local, int appends)
      : ForwardingFiles(inner), backup_(std::move(backup)), local_(std::move(local)), appends_(appends) {}
  int appended = 0;

  Opened<FileReader> openForReading(const std::string& path) override {
    Opened<FileReader> opened = inner_.openForReading(path);
    if (opened && path == backup_ && appended < appends_) {
      opened.file = std::make_unique<Growing>(std::move(opened.file), *this);
    }
    return opened;
  }

 private:
  class Growing final : public FileReader {
   public:
    Growing(std::unique_ptr<FileReader> inner, AppendingFiles& files) : inner_(std::move(inner)), files_(files) {}
    FileResult read(char* buffer, std::size_t size, std::size_t& got) override {
      FileResult read = inner_->read(buffer, size, got);
      if (!grown_) {
        grown_ = true;
        // Through the C library, as another program writes it, while the copy holds the backup open.
        std::ofstream out(files_.local_, std::ios::binary | std::ios::app);
        out << "backup set " << ++files_.appended + 1;
        EXPECT_TRUE(out.flush()) << "a copy under way keeps the server from writing";
      }
      return read;
    }

   private:
    std::unique_ptr<FileReader> inner_;
    AppendingFiles& files_;
    bool grown_ = false;
  };

  std::string backup_;
  fs::path local_;
  int appends_;
};

// A backup written to while it is copied is copied again, so that the copy
// called verified is the backup as it now is; one that never stops changing
// is told as a failure, and no copy takes its name.
TEST(ReplicaFileSystemTest, BackupThatGrowsWhileCopiedIsCopiedAgainAsItNowIs) {
  for (const int appends : {1, kReplicaCopyAttempts}) {
    SCOPED_TRACE(std::to_string(appends) + " appends");
    Folders f;
    const std::string name = "2026年12月10日02时00分.bak";
    const std::string backup = f.backup(name, 2 * kReplicaChunkSize + 5, {2026, 12, 10, 2, 0, 40, 0});
    AppendingFiles files(f.files(), backup, f.local(backup), appends);

    const ReplicaReport report = ReplicateBackups(files, f.request(backup), {2026, 12, 10, 2, 1, 0, 0});

    EXPECT_EQ(files.appended, appends);
    if (appends < kReplicaCopyAttempts) {
      EXPECT_EQ(report.lines, std::vector<std::string>{"备份已复制到: " + f.copyDir() + name});
      EXPECT_TRUE(report.complete);
      EXPECT_EQ(fs::file_size(f.local(f.copyDir() + name)), 2 * kReplicaChunkSize + 5 + 12);
      EXPECT_TRUE(SameBytes(f.local(backup), f.local(f.copyDir() + name)));
    } else {
      ASSERT_EQ(report.lines.size(), 1u);
      EXPECT_EQ(report.lines[0].rfind("备份复制失败: " + backup + " -> " + f.copyDir() +
                                          " (原文件在复制时一直有改动,复制了 3 次: ",
                                      0),
                0u)
          << report.lines[0];
      EXPECT_FALSE(report.complete);
      EXPECT_EQ(f.files().listDirectory(f.copyDir()), std::vector<std::string>{}) << "nothing left in the folder";
    }
  }
}

TEST(ReplicaFileSystemTest, DirectoryUnderTheBackupsNameFailsWithTheSystemsReason) {
  Folders f;
  const std::string name = "2026年12月10日02时00分.bak";
  const std::string backup = f.backup(name, 1000, {2026, 12, 10, 2, 0, 40, 0});
  fs::create_directories(f.local(f.copyDir() + name));
  const ReplicaReport report = ReplicateBackups(f.files(), f.request(backup), {2026, 12, 10, 2, 1, 0, 0});
  ASSERT_EQ(report.lines.size(), 1u);
  const std::string prefix = "备份复制失败: " + backup + " -> " + f.copyDir() + " (";
  EXPECT_EQ(report.lines[0].rfind(prefix, 0), 0u) << report.lines[0];
  EXPECT_GT(report.lines[0].size(), prefix.size() + 1) << "with a reason";
  EXPECT_EQ(Sorted(f.files().listDirectory(f.copyDir())), std::vector<std::string>{name})
      << "the directory stays, the temporary file is gone";
}

#ifdef _WIN32
// The Wine prefix of the tests maps T: to a folder of the build tree, so the
// second folder is on another drive letter than the temporary folder.
struct DriveT {
  fs::path root = fs::path(L"T:\\") / ("replica-" + std::to_string(GetCurrentProcessId()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
  std::string windows = testing::ToUtf8(root) + "\\";
  DriveT() { fs::remove_all(root); }
  ~DriveT() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
};

TEST(ReplicaWindowsTest, CopiesToAnotherDriveLetter) {
  ASSERT_TRUE(fs::is_directory(L"T:\\")) << "the test prefix maps T:";
  DriveT t;
  Folders f(t.windows + "副本\\");
  ASSERT_NE(f.backupDir.substr(0, 2), f.replicaDir.substr(0, 2));
  RunPassesBetweenRealFolders(f);
}

// The system's text for `code`, as the file system reports it.
std::string SystemText(DWORD code) {
  wchar_t text[256];
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text, 256, nullptr);
  std::wstring reason(text, length);
  while (!reason.empty() && (reason.back() == L'\n' || reason.back() == L'\r' || reason.back() == L' ')) {
    reason.pop_back();
  }
  return testing::ToUtf8(fs::path(reason));
}

TEST(ReplicaWindowsTest, FolderThatRefusesNewFilesFailsWithTheSystemsReason) {
  // A folder in which the system creates no file, whoever asks: under Wine a
  // Unix folder made immutable (the tests run as root, for whom no permission
  // bit and no read-only attribute refuses anything); on Windows a folder whose
  // ACL allows only reading behaves the same way. (A mount point such as /sys
  // would not do: Wine shows it as a reparse point, which the copies refuse
  // for being one.)
  Folders f;
  const std::string refusing = f.dir.windowsRoot() + "只读\\";
  ASSERT_TRUE(f.files().createDirectories(refusing));
  const std::wstring unix = testing::UnixQuoted(f.local(refusing).wstring());
  if (unix == L"''" || !testing::RunUnix(L"chattr +i " + unix)) GTEST_SKIP() << "no Unix side";
  struct Mutable {
    std::wstring unix;
    ~Mutable() { testing::RunUnix(L"chattr -i " + unix); }
  } restore{unix};
  if (CreateDirectoryW(f.local(refusing + "probe").c_str(), nullptr)) GTEST_SKIP() << "chattr +i takes no effect here";
  f.replicaDir = refusing;
  const std::string name = "2026年12月10日02时00分.bak";
  const std::string backup = f.backup(name, 1000, {2026, 12, 10, 2, 0, 40, 0});

  const ReplicaReport report = ReplicateBackups(f.files(), f.request(backup), {2026, 12, 10, 2, 1, 0, 0});

  EXPECT_EQ(report.lines, std::vector<std::string>{"备份复制失败: " + backup + " -> " + f.copyDir() + " (" +
                                                   SystemText(ERROR_ACCESS_DENIED) + ")"});
  EXPECT_FALSE(report.complete);
  EXPECT_TRUE(fs::is_empty(f.local(refusing)));
}
#endif

}  // namespace
}  // namespace bakwyn
