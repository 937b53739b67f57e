#pragma once
// FileSystem on Windows, through the wide (W) API.
#include "engine/FileSystem.h"

namespace bakwyn {

class WindowsFileSystem final : public FileSystem {
 public:
  bool createDirectories(const std::string& dir) override;
  std::vector<std::string> listDirectory(const std::string& dir) override;
  std::optional<LocalDateTime> readModifiedTime(const std::string& path) override;
  FileResult removeFile(const std::string& path) override;
  std::optional<std::uint64_t> fileSize(const std::string& path) override;
  FileResult appendDurably(const std::string& path, const std::string& bytes) override;
  std::optional<std::string> readShared(const std::string& path, std::uint64_t offset, std::size_t maxBytes) override;
  FileResult replaceFile(const std::string& from, const std::string& to) override;
  Opened<FileReader> openForReading(const std::string& path) override;
  Opened<FileWriter> createForWriting(const std::string& path) override;
};

}  // namespace bakwyn
