#pragma once
// The file operations the backup job and the cleanup need, behind one seam.
// Paths are Windows paths in UTF-8 ("D:\dir\file.bak"). Nothing here throws:
// each operation reports whether it worked, and a deletion also why not, for
// the one failure the engine logs.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/Clock.h"

namespace bakwyn {

// The outcome of an operation whose failure is worth telling the user.
struct FileResult {
  bool ok = false;
  std::string reason;  // why it failed, in the system's words (UTF-8); empty when ok
  explicit operator bool() const noexcept { return ok; }
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Creates `dir` and every missing parent. True when the directory exists afterwards.
  virtual bool createDirectories(const std::string& dir) = 0;
  // Names of every entry in `dir` (files, directories, hidden and system ones),
  // without "." and "..". Empty when the directory cannot be read.
  virtual std::vector<std::string> listDirectory(const std::string& dir) = 0;
  // Opens `path` for reading and returns its last-modification time as local
  // date and time. Nothing when it cannot be opened: a directory, a file
  // another program holds open for writing, no read permission.
  virtual std::optional<LocalDateTime> readModifiedTime(const std::string& path) = 0;
  // Deletes the file `path` (never a directory). Succeeds when it is gone;
  // otherwise says why it is still there.
  virtual FileResult removeFile(const std::string& path) = 0;

  // For the history file. The size of the file `path`, or nothing when there is none.
  virtual std::optional<std::uint64_t> fileSize(const std::string& path) = 0;
  // Appends `bytes` to `path` (created when missing) in one write and flushes it
  // to the disk before returning: a crash or a power loss afterwards loses
  // nothing of it, and one during the write loses at most these bytes.
  virtual FileResult appendDurably(const std::string& path, const std::string& bytes) = 0;
  // Renames the file `from` to `to`, replacing a file `to`.
  virtual FileResult replaceFile(const std::string& from, const std::string& to) = 0;
};

}  // namespace bakwyn
