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
};

}  // namespace bakwyn
