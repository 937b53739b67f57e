#include "engine/PosixFileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace bakwyn {
namespace {

std::string Reason(int error) { return std::generic_category().message(error); }

class PosixReader final : public FileReader {
 public:
  explicit PosixReader(int fd) : fd_(fd) {}
  ~PosixReader() override { ::close(fd_); }
  FileResult read(char* buffer, std::size_t size, std::size_t& got) override {
    got = 0;
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, size);
      if (n >= 0) {
        got = static_cast<std::size_t>(n);
        return {true, {}};
      }
      if (errno != EINTR) return {false, Reason(errno)};
    }
  }

 private:
  int fd_;
};

struct FreeDeleter {
  void operator()(char* memory) const { std::free(memory); }
};

// Reads a file opened with O_DIRECT, past the page cache. Such reads must
// start at a block boundary, into memory aligned to a block, and ask for whole
// blocks; the caller's buffer is none of these, so the reader fills one of its
// own and hands it out piece by piece. The file's last block comes back with
// the file's real bytes only. A file system that turns the first read down
// (EINVAL: it takes O_DIRECT at the open but wants another alignment) is read
// through the cache from there on, after dropping what the cache holds.
class DirectReader final : public FileReader {
 public:
  static constexpr std::size_t kAlign = 4096;  // a multiple of every logical block size in use
  static constexpr std::size_t kSize = 1u << 20;
  explicit DirectReader(int fd) : fd_(fd) {
    void* memory = nullptr;
    if (::posix_memalign(&memory, kAlign, kSize) == 0) buffer_.reset(static_cast<char*>(memory));
  }
  ~DirectReader() override { ::close(fd_); }
  DirectReader(const DirectReader&) = delete;
  DirectReader& operator=(const DirectReader&) = delete;
  bool ready() const { return buffer_ != nullptr; }

  FileResult read(char* buffer, std::size_t size, std::size_t& got) override {
    got = 0;
    if (at_ == held_ && !ended_) {
      ssize_t n;
      while ((n = ::pread(fd_, buffer_.get(), kSize, static_cast<off_t>(offset_))) < 0 && errno == EINTR) {
      }
      if (n < 0 && errno == EINVAL && direct_) {
        direct_ = false;
        const int flags = ::fcntl(fd_, F_GETFL);
        if (flags == -1 || ::fcntl(fd_, F_SETFL, flags & ~O_DIRECT) == -1) return {false, Reason(EINVAL)};
        ::fsync(fd_);
        ::posix_fadvise(fd_, 0, 0, POSIX_FADV_DONTNEED);
        return read(buffer, size, got);
      }
      if (n < 0) return {false, Reason(errno)};
      at_ = 0;
      held_ = static_cast<std::size_t>(n);
      offset_ += held_;
      // Fewer bytes than asked for: the end of the file. The next read would
      // start inside a block, which O_DIRECT turns down rather than report
      // the end again.
      ended_ = held_ < kSize;
    }
    got = std::min(size, held_ - at_);
    std::copy(buffer_.get() + at_, buffer_.get() + at_ + got, buffer);
    at_ += got;
    return {true, {}};
  }

 private:
  int fd_;
  std::unique_ptr<char, FreeDeleter> buffer_;
  std::uint64_t offset_ = 0;       // where the next read of the file starts
  std::size_t at_ = 0, held_ = 0;  // what of buffer_ was handed out, and what it holds
  bool ended_ = false;
  bool direct_ = true;
};

class PosixWriter final : public FileWriter {
 public:
  explicit PosixWriter(int fd) : fd_(fd) {}
  ~PosixWriter() override {
    if (fd_ >= 0) ::close(fd_);
  }
  FileResult write(const char* data, std::size_t size) override {
    while (size > 0) {
      const ssize_t n = ::write(fd_, data, size);
      if (n < 0) {
        if (errno == EINTR) continue;
        return {false, Reason(errno)};
      }
      data += n;
      size -= static_cast<std::size_t>(n);
    }
    return {true, {}};
  }
  FileResult finish(const LocalDateTime& modified) override {
    tm local{};
    local.tm_year = modified.year - 1900;
    local.tm_mon = modified.month - 1;
    local.tm_mday = modified.day;
    local.tm_hour = modified.hour;
    local.tm_min = modified.minute;
    local.tm_sec = modified.second;
    local.tm_isdst = -1;  // the offset of that date, as the Windows side does
    const time_t seconds = ::mktime(&local);
    const timespec times[2] = {{0, UTIME_OMIT}, {seconds, static_cast<long>(modified.millisecond) * 1000000L}};
    int error = seconds == static_cast<time_t>(-1) ? EINVAL : 0;
    if (!error && ::futimens(fd_, times) != 0) error = errno;
    if (!error && ::fsync(fd_) != 0) error = errno;
    // close reports what a network file system could not write back.
    if (::close(std::exchange(fd_, -1)) != 0 && !error) error = errno;
    if (error) return {false, Reason(error)};
    return {true, {}};
  }

 private:
  int fd_;
};

constexpr char kThroughLink[] = "路径经过链接(符号链接),为安全起见不在其中删除或改名";

std::string ItIsALink() { return std::string(kThroughLink) + " (它本身是链接: " + Reason(ELOOP) + ")"; }

// Where a deletion, a rename or a cut acts: a folder, held open, and a name in
// it. A file whose folder is the drive's own directory is named by its whole
// path (that directory is trusted, and the cleanup of a large backup folder
// then costs no more than one call more per file).
struct Place {
  int dir = AT_FDCWD;  // owned unless AT_FDCWD
  std::string name;    // in dir
  Place() = default;
  Place(const Place&) = delete;
  Place& operator=(const Place&) = delete;
  ~Place() {
    if (dir != AT_FDCWD) ::close(dir);
  }
};

// Reaches `rest` below the trusted directory `root`. Every folder in between
// is opened by its name in the one before, with O_NOFOLLOW: a symbolic link
// anywhere on the way is refused, and the folder reached is the one checked,
// whatever is renamed or linked meanwhile (realpath on the path, then using
// the path, would leave that moment open). ".." and "." are resolved by name
// first, as Windows does with a path. In the rest of a Windows path either
// separator divides the names; in a path starting with "/", only "/" does.
FileResult Reach(const std::filesystem::path& root, std::string_view rest, bool windows, Place& place) {
  const auto separator = [windows](char c) { return c == '/' || (windows && c == '\\'); };
  while (!rest.empty() && separator(rest.front())) rest.remove_prefix(1);
  if (rest.empty()) return {false, Reason(EISDIR)};
  // A name right in the drive's directory, as every backup of a backup folder
  // at the top of a drive is: no folder to pass through.
  if (std::none_of(rest.begin(), rest.end(), separator) && rest != "." && rest != "..") {
    place.name.reserve(root.native().size() + 1 + rest.size());
    place.name.append(root.native()).append("/").append(rest);
    return {true, {}};
  }
  std::vector<std::string> parts;
  for (size_t begin = 0; begin <= rest.size();) {
    const size_t end = std::min<size_t>(std::find_if(rest.begin() + begin, rest.end(), separator) - rest.begin(),
                                        rest.size());
    const std::string_view part = rest.substr(begin, end - begin);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.emplace_back(part);
    }
    begin = end + 1;
  }
  if (parts.empty()) return {false, Reason(EISDIR)};
  if (parts.size() == 1) {
    place.name = (root / parts[0]).string();
    return {true, {}};
  }
#ifdef O_PATH
  constexpr int kFolder = O_PATH | O_DIRECTORY | O_CLOEXEC;  // no right needed but to pass through
#else
  constexpr int kFolder = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
  place.dir = ::open(root.c_str(), kFolder);
  if (place.dir < 0) {
    place.dir = AT_FDCWD;
    return {false, Reason(errno)};
  }
  std::filesystem::path shown = root;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    shown /= parts[i];
    const int next = ::openat(place.dir, parts[i].c_str(), kFolder | O_NOFOLLOW);
    if (next < 0) {
      const int error = errno;
      struct stat st {};
      // A link fails as ELOOP, or with O_PATH as ENOTDIR (it is no folder).
      if ((error == ELOOP || error == ENOTDIR) && ::fstatat(place.dir, parts[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISLNK(st.st_mode)) {
        return {false, std::string(kThroughLink) + " (" + shown.string() + ": " + Reason(ELOOP) + ")"};
      }
      return {false, Reason(error)};
    }
    ::close(place.dir);
    place.dir = next;
  }
  place.name = parts.back();
  return {true, {}};
}

// Fails when the name `place` ends with is a symbolic link, or is not there.
FileResult NoLinkNamed(const Place& place) {
  struct stat st {};
  if (::fstatat(place.dir, place.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return {false, Reason(errno)};
  if (S_ISLNK(st.st_mode)) return {false, ItIsALink()};
  return {true, {}};
}

}  // namespace

PosixFileSystem::PosixFileSystem(std::map<char, std::filesystem::path> drives) {
  for (auto& [letter, root] : drives) {
    drives_[static_cast<char>(std::toupper(static_cast<unsigned char>(letter)))] = std::move(root);
  }
}

std::optional<std::pair<const std::filesystem::path*, std::string_view>> PosixFileSystem::split(
    const std::string& windowsPath) const {
  static const std::filesystem::path kTop("/");
  if (!windowsPath.empty() && windowsPath[0] == '/') return std::make_pair(&kTop, std::string_view(windowsPath));
  if (windowsPath.size() < 2 || windowsPath[1] != ':') return std::nullopt;
  const auto drive = drives_.find(static_cast<char>(std::toupper(static_cast<unsigned char>(windowsPath[0]))));
  if (drive == drives_.end()) return std::nullopt;
  return std::make_pair(&drive->second, std::string_view(windowsPath).substr(2));
}

std::optional<std::filesystem::path> PosixFileSystem::map(const std::string& windowsPath) const {
  if (!windowsPath.empty() && windowsPath[0] == '/') return std::filesystem::path(windowsPath);
  if (windowsPath.size() < 2 || windowsPath[1] != ':') return std::nullopt;
  const auto drive = drives_.find(static_cast<char>(std::toupper(static_cast<unsigned char>(windowsPath[0]))));
  if (drive == drives_.end()) return std::nullopt;
  std::string rest = windowsPath.substr(2);
  for (char& c : rest) {
    if (c == '\\') c = '/';
  }
  while (!rest.empty() && rest[0] == '/') rest.erase(0, 1);
  return drive->second / rest;
}

bool PosixFileSystem::createDirectories(const std::string& dir) {
  const auto local = map(dir);
  if (!local) return false;
  std::error_code ec;
  std::filesystem::create_directories(*local, ec);
  return std::filesystem::is_directory(*local, ec);
}

std::vector<std::string> PosixFileSystem::listDirectory(const std::string& dir) {
  std::vector<std::string> names;
  const auto local = map(dir);
  if (!local) return names;
  // readdir directly: the names are all that is needed, without a path object each.
  DIR* d = ::opendir(local->c_str());
  if (!d) return names;
  while (const dirent* entry = ::readdir(d)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  ::closedir(d);
  return names;
}

std::optional<LocalDateTime> PosixFileSystem::readModifiedTime(const std::string& path) {
  const auto local = map(path);
  if (!local) return std::nullopt;
  const int fd = ::open(local->c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  const bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);  // a directory opens here, not on Windows
  ::close(fd);
  if (!ok) return std::nullopt;
  tm t{};
  if (!localtime_r(&st.st_mtim.tv_sec, &t)) return std::nullopt;
  return LocalDateTime{t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                       static_cast<int>(st.st_mtim.tv_nsec / 1000000)};
}

FileResult PosixFileSystem::removeFile(const std::string& path) {
  const auto parts = split(path);
  if (!parts) return {false, Reason(ENOENT)};
  Place place;
  if (FileResult reached = Reach(*parts->first, parts->second, path[0] != '/', place); !reached) return reached;
  if (FileResult plain = NoLinkNamed(place); !plain) return plain;
  // unlinkat never follows the name itself; a directory fails as EISDIR.
  if (::unlinkat(place.dir, place.name.c_str(), 0) != 0) return {false, Reason(errno)};
  return {true, {}};
}

std::optional<std::uint64_t> PosixFileSystem::fileSize(const std::string& path) {
  const auto local = map(path);
  struct stat st {};
  if (!local || ::stat(local->c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

std::optional<std::uint64_t> PosixFileSystem::availableBytes(const std::string& dir) {
  const auto local = map(dir);
  struct stat st {};
  if (!local || ::stat(local->c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
  // f_bavail leaves out the blocks reserved for the superuser, as the
  // Windows figure leaves out what this user's quota does not allow.
  struct statvfs volume {};
  if (::statvfs(local->c_str(), &volume) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(volume.f_bavail) * volume.f_frsize;
}

std::optional<std::string> PosixFileSystem::volumeOf(const std::string& path) {
  const auto parts = split(path);
  if (!parts) return std::nullopt;
  // The names below the drive's directory, ".." and "." resolved by name
  // first, as Windows does with a path: never above the drive's directory.
  const bool windows = path[0] != '/';
  const auto separator = [windows](char c) { return c == '/' || (windows && c == '\\'); };
  std::vector<std::string_view> names;
  const std::string_view rest = parts->second;
  for (size_t begin = 0; begin < rest.size();) {
    const size_t end = static_cast<size_t>(std::find_if(rest.begin() + begin, rest.end(), separator) - rest.begin());
    const std::string_view name = rest.substr(begin, end - begin);
    if (name == "..") {
      if (!names.empty()) names.pop_back();
    } else if (!name.empty() && name != ".") {
      names.push_back(name);
    }
    begin = end + 1;
  }
  // The nearest of them that exists, the drive's directory last: a folder
  // not made yet lands where the folder above it is.
  for (size_t count = names.size() + 1; count-- > 0;) {
    std::filesystem::path at = *parts->first;
    for (size_t i = 0; i < count; ++i) at /= std::filesystem::path(std::string(names[i]));
    struct stat st {};
    if (::stat(at.c_str(), &st) == 0) return "dev " + std::to_string(static_cast<std::uint64_t>(st.st_dev));
  }
  return std::nullopt;
}

std::optional<std::string> PosixFileSystem::readShared(const std::string& path, std::uint64_t offset,
                                                       std::size_t maxBytes) {
  const auto local = map(path);
  if (!local) return std::nullopt;
  const int fd = ::open(local->c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string bytes(maxBytes, '\0');
  size_t got = 0;
  while (got < maxBytes) {
    const ssize_t n = ::pread(fd, bytes.data() + got, maxBytes - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  bytes.resize(got);
  return bytes;
}

FileResult PosixFileSystem::appendDurably(const std::string& path, const std::string& bytes) {
  const auto local = map(path);
  if (!local) return {false, std::generic_category().message(ENOENT)};
  const int fd = ::open(local->c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return {false, std::generic_category().message(errno)};
  const ssize_t written = ::write(fd, bytes.data(), bytes.size());
  int error = written == static_cast<ssize_t>(bytes.size()) ? 0 : (written < 0 ? errno : EIO);
  if (!error && ::fsync(fd) != 0) error = errno;
  ::close(fd);
  if (error) return {false, std::generic_category().message(error)};
  return {true, {}};
}

FileResult PosixFileSystem::truncateFile(const std::string& path, std::uint64_t size) {
  const auto parts = split(path);
  if (!parts) return {false, Reason(ENOENT)};
  Place place;
  if (FileResult reached = Reach(*parts->first, parts->second, path[0] != '/', place); !reached) return reached;
  const int fd = ::openat(place.dir, place.name.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ELOOP) return {false, ItIsALink()};
    return {false, Reason(errno)};
  }
  int error = ::ftruncate(fd, static_cast<off_t>(size)) == 0 ? 0 : errno;
  if (!error && ::fsync(fd) != 0) error = errno;
  ::close(fd);
  if (error) return {false, Reason(error)};
  return {true, {}};
}

FileResult PosixFileSystem::replaceFile(const std::string& from, const std::string& to) {
  const auto source = split(from);
  const auto target = split(to);
  if (!source || !target) return {false, Reason(ENOENT)};
  Place a, b;
  if (FileResult reached = Reach(*source->first, source->second, from[0] != '/', a); !reached) return reached;
  if (FileResult reached = Reach(*target->first, target->second, to[0] != '/', b); !reached) return reached;
  if (FileResult plain = NoLinkNamed(a); !plain) return plain;
  // A file under the target's name is replaced; a link there is refused, as
  // on the way to it.
  if (struct stat st {}; ::fstatat(b.dir, b.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
    return {false, ItIsALink()};
  }
  if (::renameat(a.dir, a.name.c_str(), b.dir, b.name.c_str()) != 0) return {false, Reason(errno)};
  return {true, {}};
}

}  // namespace bakwyn

namespace bakwyn {

Opened<FileReader> PosixFileSystem::openForReading(const std::string& path) {
  const auto local = map(path);
  if (!local) return {nullptr, Reason(ENOENT)};
  const int fd = ::open(local->c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {nullptr, Reason(errno)};
  struct stat st {};
  const bool stated = ::fstat(fd, &st) == 0;
  if (!stated || !S_ISREG(st.st_mode)) {
    // A directory opens here for reading, as it does not on Windows.
    const int error = !stated ? errno : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    ::close(fd);
    return {nullptr, Reason(error)};
  }
  return {std::make_unique<PosixReader>(fd), {}};
}

Opened<FileReader> PosixFileSystem::openUncached(const std::string& path) {
  const auto local = map(path);
  if (!local) return {nullptr, Reason(ENOENT)};
  int fd = ::open(local->c_str(), O_RDONLY | O_CLOEXEC | O_DIRECT);
  const bool direct = fd >= 0;
  // A file system without O_DIRECT (tmpfs; EINVAL) is read through the page
  // cache once the cache has let go of the file: fsync writes back what is
  // still only in memory, so that POSIX_FADV_DONTNEED can drop every page,
  // and the reads then come from the disk.
  if (!direct && errno == EINVAL) fd = ::open(local->c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {nullptr, Reason(errno)};
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    ::close(fd);
    return {nullptr, Reason(error)};
  }
  if (!direct) {
    ::fsync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    return {std::make_unique<PosixReader>(fd), {}};
  }
  auto reader = std::make_unique<DirectReader>(fd);
  if (!reader->ready()) return {nullptr, Reason(ENOMEM)};
  return {std::move(reader), {}};
}

Opened<FileWriter> PosixFileSystem::createForWriting(const std::string& path) {
  const auto local = map(path);
  if (!local) return {nullptr, Reason(ENOENT)};
  const int fd = ::open(local->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return {nullptr, Reason(errno)};
  return {std::make_unique<PosixWriter>(fd), {}};
}

}  // namespace bakwyn
