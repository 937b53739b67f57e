#pragma once
// FileSystem on Windows, through the wide (W) API. Deleting, renaming and
// cutting a file never follow a link (a symbolic link, a junction, a mount
// point) on the way to it: the service does them as the system account, in
// folders that others may be able to write.
#include "engine/FileSystem.h"

namespace bakwyn {

class WindowsFileSystem final : public FileSystem {
 public:
  bool createDirectories(const std::string& dir) override;
  FileResult makeDirectories(const std::string& dir) override;
  std::vector<std::string> listDirectory(const std::string& dir) override;
  std::optional<LocalDateTime> readModifiedTime(const std::string& path) override;
  FileResult removeFile(const std::string& path) override;
  std::optional<std::uint64_t> fileSize(const std::string& path) override;
  std::optional<std::uint64_t> availableBytes(const std::string& dir) override;
  std::optional<std::string> volumeOf(const std::string& path) override;
  FileResult appendDurably(const std::string& path, const std::string& bytes) override;
  std::optional<std::string> readShared(const std::string& path, std::uint64_t offset, std::size_t maxBytes) override;
  FileResult replaceFile(const std::string& from, const std::string& to) override;
  FileResult truncateFile(const std::string& path, std::uint64_t size) override;
  std::optional<Stamp> stamp(const std::string& path) override;
  Opened<FileReader> openForReading(const std::string& path) override;
  Opened<FileReader> openUncached(const std::string& path) override;
  Opened<FileWriter> createForWriting(const std::string& path) override;
};

}  // namespace bakwyn
