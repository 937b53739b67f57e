// The Windows file system behind the engine, as the cleanup and the backup job
// rely on it: run under Wine (or on Windows).
#include "engine/WindowsFileSystem.h"

#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/engine/TestDirectory.h"
#include "tests/support/WineUnix.h"

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

// What the restore test asks before it restores beside the backups: the
// figure of the volume, checked against the one the Unix side of Wine reads
// for the same folder (df, a moment apart: others on this machine write
// meanwhile).
TEST(WindowsFileSystemTest, AvailableBytesOfTheVolumeOfAFolder) {
  TestDirectory dir;
  WindowsFileSystem files;
  const std::string folder = dir.windowsRoot() + "数据库 备份\\";
  ASSERT_TRUE(files.createDirectories(folder));
  dir.write(dir.windowsRoot() + "file.bak");
  const std::optional<std::uint64_t> available = files.availableBytes(folder);
  ASSERT_TRUE(available.has_value());
  EXPECT_GT(*available, 0u);
  const std::optional<std::uint64_t> withoutSeparator = files.availableBytes(folder.substr(0, folder.size() - 1));
  ASSERT_TRUE(withoutSeparator.has_value());
  const std::uint64_t slack = 256ULL << 20;
  EXPECT_LE(*withoutSeparator, *available + slack);
  EXPECT_GE(*withoutSeparator + slack, *available);

  const std::filesystem::path out = dir.local(dir.windowsRoot() + "df.txt");
  if (!testing::UnixPath(out.wstring()).empty()) {
    ASSERT_TRUE(testing::RunUnix(L"df -B1 --output=avail " + testing::UnixQuoted(dir.local(folder).wstring()) +
                                 L" > " + testing::UnixQuoted(out.wstring())));
    std::ifstream in(out);
    std::string header;
    std::uint64_t unixAvailable = 0;
    ASSERT_TRUE(in >> header >> unixAvailable);
    EXPECT_LE(*available, unixAvailable + slack);
    EXPECT_GE(*available + slack, unixAvailable);
  }

  struct Row {
    const char* name;
    std::string dir;
  };
  const Row nothing[] = {{"Missing", dir.windowsRoot() + "missing\\"},
                         {"AFile", dir.windowsRoot() + "file.bak"},
                         {"Empty", ""}};
  for (const Row& row : nothing) EXPECT_EQ(files.availableBytes(row.dir), std::nullopt) << row.name;
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

using testing::RunUnix;
using testing::UnixPath;
using testing::UnixQuoted;

bool Exists(const std::filesystem::path& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// `link` is a Unix symbolic link to `target` while it lives; false when that
// cannot be made here (not Wine). Removed as a link, never through it (the
// scratch directory's removal would follow it).
class UnixSymlink {
 public:
  UnixSymlink(const std::filesystem::path& target, const std::filesystem::path& link) : link_(link) {
    if (UnixPath(target.wstring()).empty() || UnixPath(link.wstring()).empty()) return;
    linked_ = true;
    if (!RunUnix(L"ln -s " + UnixQuoted(target.wstring()) + L" " + UnixQuoted(link.wstring()))) return;
    for (int i = 0; i < 100 && !made_; ++i, Sleep(50)) made_ = Exists(link_);
  }
  ~UnixSymlink() {
    if (linked_) RunUnix(L"rm -f " + UnixQuoted(link_.wstring()));
  }
  explicit operator bool() const { return made_; }

 private:
  std::filesystem::path link_;
  bool linked_ = false;
  bool made_ = false;
};

// `link` becomes a junction to the folder `target`, as any user may make one
// in a folder they can write (Windows asks no privilege for it). Wine 8 has
// none: its FSCTL_SET_REPARSE_POINT fails with ERROR_NOT_SUPPORTED, and the
// empty folder is removed again.
bool MakeJunction(const std::filesystem::path& target, const std::filesystem::path& link) {
  struct MountPointData {  // REPARSE_DATA_BUFFER for IO_REPARSE_TAG_MOUNT_POINT
    ULONG tag;
    USHORT dataLength, reserved, substituteOffset, substituteLength, printOffset, printLength;
    WCHAR paths[1024];
  } data{};
  const std::wstring print = std::filesystem::absolute(target).wstring();
  const std::wstring substitute = L"\\??\\" + print;
  if (substitute.size() + print.size() + 2 > std::size(data.paths)) return false;
  data.tag = IO_REPARSE_TAG_MOUNT_POINT;
  data.substituteLength = static_cast<USHORT>(substitute.size() * sizeof(WCHAR));
  data.printOffset = static_cast<USHORT>((substitute.size() + 1) * sizeof(WCHAR));
  data.printLength = static_cast<USHORT>(print.size() * sizeof(WCHAR));
  std::copy(substitute.begin(), substitute.end(), data.paths);
  std::copy(print.begin(), print.end(), data.paths + substitute.size() + 1);
  data.dataLength = static_cast<USHORT>(4 * sizeof(USHORT) + (substitute.size() + print.size() + 2) * sizeof(WCHAR));
  if (!CreateDirectoryW(link.c_str(), nullptr)) return false;
  const HANDLE folder = CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  DWORD returned = 0;
  const bool made = folder != INVALID_HANDLE_VALUE &&
                    DeviceIoControl(folder, FSCTL_SET_REPARSE_POINT, &data, 8 + data.dataLength, nullptr, 0, &returned,
                                    nullptr);
  if (folder != INVALID_HANDLE_VALUE) CloseHandle(folder);
  if (!made) RemoveDirectoryW(link.c_str());
  return made;
}

// A link from `link` to `target` while it lives, of the kind the platform
// lets a test make: a junction to a folder where the system has them; else
// (Wine) a Unix symbolic link, which Wine shows as a reparse point (a folder
// link) or as the file it leads to (a file link). A Windows symbolic link to
// a file needs a privilege; Wine's CreateSymbolicLinkW says it made one and
// makes nothing.
class Link {
 public:
  Link(const std::filesystem::path& target, const std::filesystem::path& link) : link_(link) {
    if (std::filesystem::is_directory(target) && MakeJunction(target, link)) {
      kind_ = "junction";
    } else if (!UnixPath(target.wstring()).empty()) {
      unix_.emplace(target, link);
      if (*unix_) kind_ = "Unix symbolic link";
    }
  }
  ~Link() {
    if (kind_ == std::string("junction")) RemoveDirectoryW(link_.c_str());  // the junction, not its target
  }
  explicit operator bool() const { return kind_ != nullptr; }
  const char* kind() const { return kind_; }

 private:
  std::filesystem::path link_;
  std::optional<UnixSymlink> unix_;
  const char* kind_ = nullptr;
};

// As the system account the cleanup deletes, and the copies and the history
// rename, in folders others may write: a link there must never send a
// deletion or a rename elsewhere.
TEST(WindowsFileSystemTest, DeletingAndRenamingNeverFollowALink) {
  TestDirectory dir;
  WindowsFileSystem files;
  const std::string root = dir.windowsRoot(), real = root + "real\\", linked = root + "linked\\";
  ASSERT_TRUE(files.createDirectories(real));
  dir.write(real + "target.bak", "somebody else's file");
  dir.write(real + "other.tmp", "x");
  const Link folderLink(dir.local(real + "x").parent_path(), dir.local(root + "linked"));
  const Link fileLink(dir.local(real + "target.bak"), dir.local(root + "file link.bak"));
  ASSERT_TRUE(folderLink);
  ASSERT_TRUE(fileLink);
  SCOPED_TRACE(std::string("folder link: ") + folderLink.kind() + ", file link: " + fileLink.kind());

  const struct {
    const char* name;
    std::function<FileResult()> act;
  } refused[] = {
      {"delete through a linked folder", [&] { return files.removeFile(linked + "target.bak"); }},
      {"delete a link to a file", [&] { return files.removeFile(root + "file link.bak"); }},
      {"rename into a linked folder", [&] { return files.replaceFile(real + "other.tmp", linked + "target.bak"); }},
      {"rename out of a linked folder", [&] { return files.replaceFile(linked + "target.bak", real + "moved.bak"); }},
      {"rename a link to a file", [&] { return files.replaceFile(root + "file link.bak", real + "moved.bak"); }},
      {"rename onto a link to a file", [&] { return files.replaceFile(real + "other.tmp", root + "file link.bak"); }},
      {"cut through a linked folder", [&] { return files.truncateFile(linked + "target.bak", 0); }},
  };
  for (const auto& row : refused) {
    SCOPED_TRACE(row.name);
    const FileResult result = row.act();
    EXPECT_FALSE(result);
    EXPECT_EQ(result.reason.rfind("路径经过链接(重解析点),为安全起见不在其中删除或改名 (", 0), 0u) << result.reason;
    std::ifstream in(dir.local(real + "target.bak"), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "somebody else's file");
    EXPECT_TRUE(std::filesystem::exists(dir.local(real + "other.tmp")));
    EXPECT_FALSE(std::filesystem::exists(dir.local(real + "moved.bak")));
    EXPECT_TRUE(Exists(dir.local(root + "file link.bak")));
  }
  // Where the link leads is told, so that the user sees which folder to mend
  // (in the letter case the disk has it).
  const std::wstring told = testing::FromUtf8(files.removeFile(linked + "target.bak").reason).wstring();
  const std::wstring meant =
      testing::FromUtf8("路径经过链接(重解析点),为安全起见不在其中删除或改名 (实际位置: " + real + "target.bak)").wstring();
  EXPECT_EQ(CompareStringOrdinal(told.c_str(), -1, meant.c_str(), -1, TRUE), CSTR_EQUAL) << testing::ToUtf8(told);

  // The same operations where no link leads: a rename into another folder,
  // one that replaces a file, a cut, a deletion.
  EXPECT_TRUE(files.replaceFile(real + "other.tmp", root + "moved.bak"));
  EXPECT_TRUE(files.replaceFile(root + "moved.bak", real + "target.bak"));
  std::ifstream in(dir.local(real + "target.bak"), std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "x");
  in.close();
  EXPECT_TRUE(files.truncateFile(real + "target.bak", 0));
  EXPECT_EQ(files.fileSize(real + "target.bak"), 0u);
  EXPECT_TRUE(files.removeFile(real + "target.bak"));
  EXPECT_FALSE(std::filesystem::exists(dir.local(real + "target.bak")));
}

// The service creates the second folder's subfolders and the temporary
// copies, and appends to the history, in folders others may write: a link
// placed on the way or under the name (a junction where this computer's
// folder should be, a link under the temporary copy's name, a hard link
// under the history's name while it was missing) must never lead a creation
// or a write elsewhere.
TEST(WindowsFileSystemTest, CreatingAndWritingNeverFollowALink) {
  TestDirectory dir;
  WindowsFileSystem files;
  const std::string root = dir.windowsRoot(), real = root + "real\\", linked = root + "linked\\";
  ASSERT_TRUE(files.createDirectories(real));
  dir.write(real + "target.bak", "somebody else's file");
  const Link folderLink(dir.local(real + "x").parent_path(), dir.local(root + "linked"));
  const Link fileLink(dir.local(real + "target.bak"), dir.local(root + "file link.bak"));
  ASSERT_TRUE(folderLink);
  ASSERT_TRUE(fileLink);
  SCOPED_TRACE(std::string("folder link: ") + folderLink.kind() + ", file link: " + fileLink.kind());
  const bool hardLinked = RunUnix(L"ln " + UnixQuoted(dir.local(real + "target.bak").wstring()) + L" " +
                                  UnixQuoted(dir.local(root + "hard.log").wstring())) &&
                          Exists(dir.local(root + "hard.log"));

  const auto created = [&](const std::string& path) {
    Opened<FileWriter> writer = files.createForWriting(path);
    if (!writer) return FileResult{false, writer.reason};
    writer.file->write("x", 1);
    return FileResult{true, {}};
  };
  const struct {
    const char* name;
    std::function<FileResult()> act;
    const char* reason;  // how the refusal begins
  } refused[] = {
      {"folders made through a linked folder", [&] { return files.makeDirectories(linked + "OFFICE1\\db\\"); },
       "路径经过链接(重解析点),为安全起见不在其中写入 ("},
      {"a file created in a linked folder", [&] { return created(linked + "new.bakwyn-copy"); },
       "路径经过链接(重解析点),为安全起见不在其中写入 ("},
      {"a file created over a link to a file", [&] { return created(root + "file link.bak"); },
       "路径经过链接(重解析点),为安全起见不在其中删除或改名 ("},
      {"an append through a linked folder", [&] { return files.appendDurably(linked + "Bakwyn.log", "line\r\n"); },
       "路径经过链接(重解析点),为安全起见不在其中写入 ("},
      {"an append to a link to a file", [&] { return files.appendDurably(root + "file link.bak", "line\r\n"); },
       "路径经过链接(重解析点),为安全起见不在其中写入 ("},
  };
  for (const auto& row : refused) {
    SCOPED_TRACE(row.name);
    const FileResult result = row.act();
    EXPECT_FALSE(result);
    EXPECT_EQ(result.reason.rfind(row.reason, 0), 0u) << result.reason;
    std::ifstream in(dir.local(real + "target.bak"), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "somebody else's file");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.local(real + "x").parent_path()),
                            std::filesystem::directory_iterator()),
              1);
  }
  if (hardLinked) {
    // A second name of somebody else's file: neither appended to nor cut.
    EXPECT_EQ(files.appendDurably(root + "hard.log", "line\r\n").reason, "文件还有其他名称(硬链接),为安全起见不写入");
    EXPECT_EQ(files.truncateFile(root + "hard.log", 0).reason, "文件还有其他名称(硬链接),为安全起见不写入");
    std::ifstream in(dir.local(real + "target.bak"), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "somebody else's file");
  } else {
    ADD_FAILURE() << "no hard link could be made here";
  }

  // Where no link leads: the folders are made, a file is created new and
  // replaced, a history is created and appended to.
  EXPECT_TRUE(files.makeDirectories(real + "OFFICE1\\db\\"));
  EXPECT_TRUE(std::filesystem::is_directory(dir.local(real + "OFFICE1\\db\\x").parent_path()));
  EXPECT_TRUE(created(real + "OFFICE1\\db\\copy.tmp"));
  EXPECT_TRUE(created(real + "OFFICE1\\db\\copy.tmp"));
  EXPECT_EQ(files.fileSize(real + "OFFICE1\\db\\copy.tmp"), 1u);
  EXPECT_TRUE(files.appendDurably(real + "Bakwyn.log", "one\r\n"));
  EXPECT_TRUE(files.appendDurably(real + "Bakwyn.log", "two\r\n"));
  std::ifstream in(dir.local(real + "Bakwyn.log"), std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "one\r\ntwo\r\n");
}

TEST(WindowsFileSystemTest, RenameReplacesAndCutKeepsTheStart) {
  TestDirectory dir;
  WindowsFileSystem files;
  const std::string a = dir.windowsRoot() + "历史.log", b = dir.windowsRoot() + "历史.1.log";
  dir.write(a, "line 1\r\nline 2 half");
  dir.write(b, "older");
  {
    // Shared as the history's appends are: another writer of the history
    // holds it open meanwhile.
    const HANDLE appending = CreateFileW(dir.local(a).c_str(), FILE_APPEND_DATA,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(appending, INVALID_HANDLE_VALUE);
    const FileResult cut = files.truncateFile(a, 8);
    CloseHandle(appending);
    ASSERT_TRUE(cut) << cut.reason;
  }
  EXPECT_EQ(files.fileSize(a), 8u);
  ASSERT_TRUE(files.replaceFile(a, b));
  EXPECT_FALSE(std::filesystem::exists(dir.local(a)));
  EXPECT_EQ(files.readShared(b, 0, 100), std::string("line 1\r\n"));
  EXPECT_FALSE(files.truncateFile(a, 0)) << "no such file";
}

// The copies' checks: the reader lets the server go on writing, its size and
// date are read without opening it, and the read-back past the cache gives the
// file's bytes exactly, whatever the caller's buffer.
TEST(WindowsFileSystemTest, ReadingForCopiesAndReadingBackPastTheCache) {
  TestDirectory dir;
  WindowsFileSystem files;
  const std::string file = dir.windowsRoot() + "副本.bak";
  constexpr size_t kMb = 1024 * 1024;
  std::string content;
  for (const size_t size : {size_t{0}, size_t{1}, size_t{511}, size_t{4096}, kMb - 1, kMb, kMb + 1, 2 * kMb + 123}) {
    content.assign(size, '\0');
    for (size_t i = 0; i < size; ++i) content[i] = static_cast<char>(i * 7 + i / 4096);
    dir.write(file, content);
    for (const size_t piece : {size_t{1000}, kMb, 5 * kMb}) {
      SCOPED_TRACE(std::to_string(size) + " bytes read " + std::to_string(piece) + " at a time");
      Opened<FileReader> reader = files.openUncached(file);
      ASSERT_TRUE(reader) << reader.reason;
      std::string back, buffer(piece, '\0');
      for (size_t got = 1; got > 0;) {
        ASSERT_TRUE(reader.file->read(buffer.data(), buffer.size(), got));
        back.append(buffer.data(), got);
      }
      EXPECT_TRUE(back == content) << back.size();
    }
  }
  EXPECT_FALSE(files.openUncached(dir.windowsRoot() + "missing.bak").reason.empty());

  const std::optional<FileSystem::Stamp> before = files.stamp(file);
  ASSERT_TRUE(before);
  EXPECT_EQ(before->size, content.size());
  EXPECT_EQ(before->modified, files.readModifiedTime(file));
  Opened<FileReader> reading = files.openForReading(file);
  ASSERT_TRUE(reading);
  // The server appends the next backup of the same minute meanwhile, even
  // opening the file as a writer that shares only reading.
  const HANDLE writer = CreateFileW(dir.local(file).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE) << "a copy in progress must not make the server's write fail";
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(writer, "set 2", 5, &written, nullptr));
  CloseHandle(writer);
  const std::optional<FileSystem::Stamp> after = files.stamp(file);
  ASSERT_TRUE(after);
  EXPECT_NE(*after, *before) << "the change shows";
  EXPECT_EQ(after->size, content.size() + 5);
}

// A second drive letter for the folder `target` while it lives, as subst
// makes one on Windows (DefineDosDeviceW). Wine keeps a letter made that way
// to itself: files are not found through it. There the letter is given to
// Wine's mount manager the way its winecfg does (IOCTL_MOUNTMGR_DEFINE_UNIX_DRIVE
// with Wine 8's struct mountmgr_unix_drive), and taken back at the end.
class SecondLetter {
 public:
  SecondLetter(wchar_t letter, const std::filesystem::path& target) : letter_(letter) {
    const std::string unix = UnixPath(target.wstring());
    wine_ = !unix.empty();
    defined_ = wine_ ? Mount(unix.c_str()) : DefineDosDeviceW(0, Name().c_str(), target.c_str()) != FALSE;
    // Each Wine process names files after a list of its drives that it
    // reads again only once a second old: the new letter is in it after that.
    if (wine_) Sleep(1100);
  }
  ~SecondLetter() {
    if (!defined_) return;
    if (wine_) {
      Mount(nullptr);
    } else {
      DefineDosDeviceW(DDD_REMOVE_DEFINITION, Name().c_str(), nullptr);
    }
  }
  SecondLetter(const SecondLetter&) = delete;
  SecondLetter& operator=(const SecondLetter&) = delete;
  explicit operator bool() const { return defined_; }

 private:
  std::wstring Name() const { return std::wstring(1, letter_) + L":"; }
  // Maps the letter to the Unix folder `unix`, or removes it for none.
  bool Mount(const char* unix) const {
    struct UnixDrive {
      ULONG size, type, fsType;
      DWORD serial;
      ULONGLONG unixDevice;
      WCHAR letter;
      USHORT mountPointOffset, deviceOffset, labelOffset;
    };
    const std::string folder = unix ? unix : "";
    std::vector<char> bytes(sizeof(UnixDrive) + (unix ? folder.size() + 1 : 0));
    auto* drive = reinterpret_cast<UnixDrive*>(bytes.data());
    drive->size = static_cast<ULONG>(bytes.size());
    drive->type = unix ? DRIVE_FIXED : DRIVE_NO_ROOT_DIR;
    drive->letter = static_cast<WCHAR>(std::towlower(letter_));
    if (unix) {
      drive->mountPointOffset = sizeof(UnixDrive);
      std::copy(folder.begin(), folder.end(), bytes.begin() + sizeof(UnixDrive));
    }
    const HANDLE manager = CreateFileW(L"\\\\.\\MountPointManager", GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (manager == INVALID_HANDLE_VALUE) return false;
    DWORD returned = 0;
    const BOOL done = DeviceIoControl(manager, CTL_CODE('m', 32, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS),
                                      bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, 0, &returned, nullptr);
    CloseHandle(manager);
    return done != FALSE;
  }

  wchar_t letter_;
  bool wine_ = false;
  bool defined_ = false;
};

// Which volume a path is on, against the drives of the test prefix: T: and D:
// are two disks there, and C: the system's.
TEST(WindowsFileSystemTest, VolumeOfAPathWhateverLeadsToIt) {
  namespace fs = std::filesystem;
  ASSERT_TRUE(fs::is_directory(L"T:\\")) << "the test prefix maps T:";
  ASSERT_TRUE(fs::is_directory(L"D:\\")) << "the test prefix maps D:";
  const std::wstring name = L"volume-" + std::to_wstring(GetCurrentProcessId());
  const fs::path onT = fs::path(L"T:\\") / name;
  const fs::path onD = fs::path(L"D:\\") / name;
  fs::create_directories(onT / L"备份");
  fs::create_directories(onD);
  struct Removed {
    std::vector<fs::path> folders;
    ~Removed() {
      std::error_code ec;
      for (const fs::path& f : folders) fs::remove_all(f, ec);
    }
  } removed{{onT, onD}};
  TestDirectory onC;
  WindowsFileSystem files;
  const std::string t = testing::ToUtf8(onT) + "\\";
  std::ofstream(onT / L"备份" / L"shop.mdf") << "data";

  // A folder of T: that leads onto D:'s disk, as a folder where another
  // volume is mounted does (a Unix link under Wine: Windows has no such link
  // to make without rights); and K:, a second letter of the folder on T:.
  // Both first: Wine names the disk of T:'s folder after the first letter
  // that reaches it, K: from now on, through either letter.
  const UnixSymlink mounted(onD, onT / L"mounted");
  const SecondLetter k(L'K', onT);
  ASSERT_TRUE(k) << "K: could not be made";
  ASSERT_TRUE(mounted || UnixPath(L"C:\\").empty()) << "under Wine the link is made";

  const std::optional<std::string> tVolume = files.volumeOf(t + "备份\\");
  const std::optional<std::string> dVolume = files.volumeOf(testing::ToUtf8(onD) + "\\");
  const std::optional<std::string> cVolume = files.volumeOf(onC.windowsRoot());
  ASSERT_TRUE(tVolume && dVolume && cVolume);
  EXPECT_NE(*tVolume, *dVolume);
  EXPECT_NE(*tVolume, *cVolume);
  EXPECT_NE(*dVolume, *cVolume);
  // The mount manager's name of the volume, not a letter's.
  EXPECT_EQ(tVolume->rfind("\\\\?\\VOLUME{", 0), 0u) << *tVolume;
  struct Row {
    const char* name;
    std::string path;
    std::optional<std::string> volume;
  };
  std::vector<Row> rows = {
      {"AFile", t + "备份\\shop.mdf", tVolume},
      {"AFolderNotMadeYet", t + "备份\\2026\\每日\\", tVolume},
      {"UpAndDownByName", t + "missing\\..\\备份\\.\\", tVolume},
      {"AnyLetterCase", "t" + t.substr(1) + "备份\\", tVolume},
      {"LongPathForm", "\\\\?\\" + t + "备份\\", tVolume},
      {"ASecondLetter", "K:\\备份\\shop.mdf", tVolume},
      {"ASecondLetterFolderNotMadeYet", "k:\\新目录\\", tVolume},
      {"ADriveNotThere", "Q:\\备份\\", std::nullopt},
      {"Empty", "", std::nullopt},
  };
  if (mounted) rows.push_back({"AFolderLeadingOntoAnotherDisk", t + "mounted\\备份\\", dVolume});
  for (const Row& row : rows) EXPECT_EQ(files.volumeOf(row.path), row.volume) << row.name;

  // A share is a volume of its own whether it can be reached or not (none
  // can under Wine), by its server and share name in any letter case.
  const std::optional<std::string> share = files.volumeOf("\\\\server\\share\\备份\\");
  EXPECT_EQ(share, "\\\\SERVER\\SHARE\\");
  for (const char* same : {"\\\\Server\\Share", "\\\\server\\share\\other\\deeper\\", "//server/share/x",
                           "\\\\?\\UNC\\server\\share\\x\\"}) {
    EXPECT_EQ(files.volumeOf(same), share) << same;
  }
  for (const char* other : {"\\\\server\\other\\", "\\\\other\\share\\"}) {
    const std::optional<std::string> volume = files.volumeOf(other);
    ASSERT_TRUE(volume) << other;
    EXPECT_NE(*volume, *share) << other;
    EXPECT_NE(*volume, *tVolume) << other;
  }
}

}  // namespace
}  // namespace bakwyn
