#pragma once
// The file operations the backup job and the cleanup need, behind one seam.
// Paths are Windows paths in UTF-8 ("D:\dir\file.bak"). Nothing here throws:
// each operation reports whether it worked, and a deletion also why not, for
// the one failure the engine logs.
#include <cstddef>
#include <cstdint>
#include <memory>
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

// A file open for reading from its start, one piece after another.
class FileReader {
 public:
  virtual ~FileReader() = default;
  // Reads up to `size` bytes into `buffer` and sets `got` to how many it read:
  // 0 only at the end of the file.
  virtual FileResult read(char* buffer, std::size_t size, std::size_t& got) = 0;
};

// A new file being written from its start. Dropped without finish(), it is
// closed and left as far as it was written: the caller removes it.
class FileWriter {
 public:
  virtual ~FileWriter() = default;
  // Writes all of `size` bytes at the end of what was written so far.
  virtual FileResult write(const char* data, std::size_t size) = 0;
  // Gives the file the last-modification time `modified` (local date and
  // time), flushes it to the disk and closes it. Nothing may follow.
  virtual FileResult finish(const LocalDateTime& modified) = 0;
};

// An opened file, or why it could not be opened (in the system's words).
template <typename File>
struct Opened {
  std::unique_ptr<File> file;
  std::string reason;
  explicit operator bool() const noexcept { return file != nullptr; }
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Creates `dir` and every missing parent. True when the directory exists afterwards.
  virtual bool createDirectories(const std::string& dir) = 0;
  // As createDirectories, saying why the directory is not there when it failed.
  virtual FileResult makeDirectories(const std::string& dir) {
    if (createDirectories(dir)) return {true, {}};
    return {false, "无法创建目录"};
  }
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

  // The size and last-modification time of the file `path`, read without
  // opening it (a program writing it must not be disturbed): two readings
  // that differ tell that the file was written meanwhile. Nothing when there
  // is no such file.
  struct Stamp {
    std::uint64_t size = 0;
    LocalDateTime modified;
    bool operator==(const Stamp& o) const {
      return size == o.size && CalendarMilliseconds(modified) == CalendarMilliseconds(o.modified);
    }
    bool operator!=(const Stamp& o) const { return !(*this == o); }
  };
  virtual std::optional<Stamp> stamp(const std::string& path) {
    const std::optional<std::uint64_t> size = fileSize(path);
    const std::optional<LocalDateTime> modified = size ? readModifiedTime(path) : std::nullopt;
    if (!modified) return std::nullopt;
    return Stamp{*size, *modified};
  }

  // The bytes this user may still write on the volume that holds the folder
  // `dir` (quotas and reserved blocks taken off), for deciding whether files of
  // a known size fit there. Nothing when the folder cannot be reached or the
  // system does not tell; a file system that cannot tell keeps this default.
  virtual std::optional<std::uint64_t> availableBytes(const std::string& dir) {
    (void)dir;
    return std::nullopt;
  }

  // Which volume holds `path`, as a text that is equal for two paths on one
  // volume, whichever drive letter, second letter or mounted folder reaches
  // them, and different for two volumes: for telling whether backups share a
  // disk with the database. `path` need not exist yet: the nearest existing
  // folder above it counts. A share (\\server\share\...) is a volume of its
  // own, never equal to a local one. Nothing when the volume cannot be told;
  // a file system that cannot tell keeps this default.
  virtual std::optional<std::string> volumeOf(const std::string& path) {
    (void)path;
    return std::nullopt;
  }

  // For the history file. The size of the file `path`, or nothing when there is none.
  virtual std::optional<std::uint64_t> fileSize(const std::string& path) = 0;
  // Appends `bytes` to `path` (created when missing) in one write and flushes it
  // to the disk before returning: a crash or a power loss afterwards loses
  // nothing of it, and one during the write loses at most these bytes.
  virtual FileResult appendDurably(const std::string& path, const std::string& bytes) = 0;
  // Up to `maxBytes` of the file `path` from byte `offset` on, read while
  // others go on appending to it (a window following a history that another
  // process writes must never make that process's writes fail). Fewer bytes at
  // the end of the file; nothing when it cannot be opened.
  virtual std::optional<std::string> readShared(const std::string& path, std::uint64_t offset,
                                                std::size_t maxBytes) = 0;
  // Renames the file `from` to `to`, replacing a file `to`.
  virtual FileResult replaceFile(const std::string& from, const std::string& to) = 0;
  // Cuts the file `path` back to its first `size` bytes: a history line whose
  // write failed half-way is taken out again, so the file holds whole lines only.
  // Shared with others appending to the file, and, like a deletion or a
  // rename there, never through a link.
  virtual FileResult truncateFile(const std::string& path, std::uint64_t size) {
    (void)path;
    (void)size;
    return {false, "not supported"};
  }

  // For copying backups elsewhere, piece by piece, so that a file of any size
  // passes through one buffer of the caller's. Opens the file `path` for
  // reading; others may go on reading it, or delete it, but not write to it
  // while it is open, so what is read is one consistent file.
  virtual Opened<FileReader> openForReading(const std::string& path) = 0;
  // As openForReading, but every byte comes from the disk or the share, not
  // from the system's cache of the file: for reading back a copy just written
  // and closed, which the cache would otherwise answer from what was written.
  // Where the file system refuses to read past its cache, the file is read
  // with normal reads after all (each implementation says what it does first).
  virtual Opened<FileReader> openUncached(const std::string& path) { return openForReading(path); }
  // Creates the file `path`, replacing a file of that name, for writing; no
  // one else may open it until it is closed.
  virtual Opened<FileWriter> createForWriting(const std::string& path) = 0;
};

}  // namespace bakwyn
