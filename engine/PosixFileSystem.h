#pragma once
// FileSystem on a POSIX system, for running the engine natively. Windows paths
// are mapped onto directories of this system: "T:\dir\x.bak" with T mapped to
// /tmp/t becomes /tmp/t/dir/x.bak. Paths starting with "/" are used as they
// are; any other path fails every operation.
//
// As on Windows, deleting, renaming and cutting a file never follow a symbolic
// link: not the file's own name, nor any folder between the drive's directory
// (which is trusted, links and all) and the file; "/" is the directory of a
// path starting with "/".
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "engine/FileSystem.h"

namespace bakwyn {

class PosixFileSystem final : public FileSystem {
 public:
  // Drive letters in either case; each maps to an existing directory.
  explicit PosixFileSystem(std::map<char, std::filesystem::path> drives);

  bool createDirectories(const std::string& dir) override;
  std::vector<std::string> listDirectory(const std::string& dir) override;
  std::optional<LocalDateTime> readModifiedTime(const std::string& path) override;
  FileResult removeFile(const std::string& path) override;
  std::optional<std::uint64_t> fileSize(const std::string& path) override;
  std::optional<std::uint64_t> availableBytes(const std::string& dir) override;
  // The device of the nearest existing folder (st_dev), links followed: the
  // file system that files written below it land on.
  std::optional<std::string> volumeOf(const std::string& path) override;
  FileResult appendDurably(const std::string& path, const std::string& bytes) override;
  std::optional<std::string> readShared(const std::string& path, std::uint64_t offset, std::size_t maxBytes) override;
  FileResult replaceFile(const std::string& from, const std::string& to) override;
  FileResult truncateFile(const std::string& path, std::uint64_t size) override;
  Opened<FileReader> openForReading(const std::string& path) override;
  Opened<FileReader> openUncached(const std::string& path) override;
  Opened<FileWriter> createForWriting(const std::string& path) override;

  // The local path a Windows path stands for; nothing for an unmapped drive.
  std::optional<std::filesystem::path> map(const std::string& windowsPath) const;

 private:
  // The directory a Windows path's drive maps to, and the rest of the path
  // below it (a view into `windowsPath`, possibly empty); nothing for an
  // unmapped drive.
  std::optional<std::pair<const std::filesystem::path*, std::string_view>> split(const std::string& windowsPath) const;

  std::map<char, std::filesystem::path> drives_;
};

}  // namespace bakwyn
