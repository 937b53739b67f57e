#include "engine/PosixFileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <ctime>
#include <string_view>
#include <system_error>
#include <utility>

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

}  // namespace

PosixFileSystem::PosixFileSystem(std::map<char, std::filesystem::path> drives) {
  for (auto& [letter, root] : drives) {
    drives_[static_cast<char>(std::toupper(static_cast<unsigned char>(letter)))] = std::move(root);
  }
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
  const auto local = map(path);
  if (!local) return {false, std::generic_category().message(ENOENT)};
  if (::unlink(local->c_str()) == 0) return {true, {}};
  const int error = errno;
  return {false, std::generic_category().message(error)};
}

std::optional<std::uint64_t> PosixFileSystem::fileSize(const std::string& path) {
  const auto local = map(path);
  struct stat st {};
  if (!local || ::stat(local->c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
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
  const auto local = map(path);
  if (!local) return {false, std::generic_category().message(ENOENT)};
  if (::truncate(local->c_str(), static_cast<off_t>(size)) != 0) return {false, std::generic_category().message(errno)};
  return {true, {}};
}

FileResult PosixFileSystem::replaceFile(const std::string& from, const std::string& to) {
  const auto source = map(from);
  const auto target = map(to);
  if (!source || !target) return {false, std::generic_category().message(ENOENT)};
  if (::rename(source->c_str(), target->c_str()) != 0) return {false, std::generic_category().message(errno)};
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

Opened<FileWriter> PosixFileSystem::createForWriting(const std::string& path) {
  const auto local = map(path);
  if (!local) return {nullptr, Reason(ENOENT)};
  const int fd = ::open(local->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return {nullptr, Reason(errno)};
  return {std::make_unique<PosixWriter>(fd), {}};
}

}  // namespace bakwyn
