#pragma once
// A file system in memory for every test that needs one: files with their
// contents and dates in any number of folders, a record of every operation
// that changes something, and the faults the engine meets (a folder
// unreachable or read-only, a file held by another program, a disk that fills
// up, a write that damages data or drops it, a rename refused). Its
// operations may come from several threads at once (the worker's backup and
// the runtime's history); the fields are for a test's own thread while
// nothing else runs.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/FileSystem.h"

namespace bakwyn::testing {

inline constexpr char kNotFound[] = "The system cannot find the file specified.";
inline constexpr char kPathNotFound[] = "The system cannot find the path specified.";
inline constexpr char kInUse[] = "The process cannot access the file because it is being used by another process.";
inline constexpr char kDiskFull[] = "There is not enough space on the disk.";
inline constexpr char kAccessDenied[] = "Access is denied.";

// Byte `offset` of a generated file: no run of it repeats within a chunk.
inline char GeneratedByte(std::uint64_t offset) {
  return static_cast<char>((offset * 2654435761u) >> 13);
}

class MemoryFiles final : public FileSystem {
 public:
  struct File {
    std::string content;
    LocalDateTime modified{};
    bool locked = false;     // held open by another program without sharing
    bool directory = false;  // a folder that happens to have a file's name
    std::uint64_t generated = 0;  // >0: read-only content of this size made by GeneratedByte, not stored
    std::string undeletable{};    // non-empty: it opens, but deleting it fails for this reason
  };

  std::map<std::string, File> files;  // by full path
  std::set<std::string> folders;      // existing folders, each ending with "\"
  // Faults of folders and files.
  std::map<std::string, std::string> unreachable;  // folder -> the reason every access to it fails
  // Files, or folders ending with "\", that nothing may be created in,
  // written to or renamed in (no rights): kAccessDenied.
  std::set<std::string> readOnly;
  // Files another program holds open, which cannot be renamed or replaced.
  std::set<std::string> held;
  // Faults of the writes, counted over every file written.
  std::optional<std::uint64_t> spaceLeft;  // bytes that still fit; then kDiskFull
  std::optional<std::uint64_t> corruptAt;  // this byte of every written file is stored changed
  std::optional<std::uint64_t> dropFrom;   // bytes of a file from here on are silently not stored
  std::string renameRefused;                // non-empty: every rename fails so
  // What availableBytes() tells for every folder there is: the free bytes of
  // its volume, or nothing (the system does not tell).
  std::optional<std::uint64_t> available;
  // Which volume holds which folders: a folder's start ("D:\", a mounted
  // folder "C:\mnt\data\", a share "\\nas\b\") -> the volume's name.
  // volumeOf() gives the volume of the longest start of the path, in any
  // letter case; nothing where none is given.
  std::map<std::string, std::string> volumes;
  // The free bytes of a volume named in `volumes`: availableBytes() of a
  // folder there tells these instead of `available`.
  std::map<std::string, std::uint64_t> freeOnVolume;
  // Faults of the appends and cuts of a history file: every append fails
  // (full disk); an append writes only its first bytes and then fails, as on
  // a disk that fills up half-way; every cut fails.
  bool failAppend = false;
  std::optional<std::size_t> appendWritesOnly;
  bool failTruncate = false;
  // Observed: "mkdir D", "create P", "write P N", "finish P", "read P",
  // "uncached P", "rename A -> B", "remove P", "append P", "truncate P N".
  std::vector<std::string> trace;
  int listings = 0;
  std::size_t largestRead = 0;
  std::size_t largestWrite = 0;
  std::function<void()> afterEachOperation;

  static std::string FolderOf(const std::string& path) { return path.substr(0, path.rfind('\\') + 1); }

  void add(const std::string& path, std::string content, LocalDateTime modified) {
    const auto lock = hold();
    folders.insert(FolderOf(path));
    files[path] = File{std::move(content), modified};
  }
  // The content of the file `path`, an empty one made when there is none.
  std::string& text(const std::string& path) {
    const auto lock = hold();
    folders.insert(FolderOf(path));
    return files[path].content;
  }
  // Whole files, by path, added or replaced.
  void put(const std::map<std::string, std::string>& contents) {
    for (const auto& [path, content] : contents) text(path) = content;
  }
  // Every file's content, by path.
  std::map<std::string, std::string> contents() const {
    const auto lock = hold();
    std::map<std::string, std::string> out;
    for (const auto& [path, file] : files) out[path] = file.content;
    return out;
  }
  // What the trace holds after `op` + " ", in order: done("remove") is the
  // path of every removal tried.
  std::vector<std::string> done(std::string_view op) const {
    const auto lock = hold();
    std::vector<std::string> out;
    for (const std::string& entry : trace) {
      if (entry.size() > op.size() && entry.compare(0, op.size(), op) == 0 && entry[op.size()] == ' ')
        out.push_back(entry.substr(op.size() + 1));
    }
    return out;
  }

  bool createDirectories(const std::string& dir) override { return static_cast<bool>(makeDirectories(dir)); }
  FileResult makeDirectories(const std::string& dir) override {
    const auto lock = hold();
    record("mkdir " + dir);
    if (const auto it = unreachable.find(dir); it != unreachable.end()) return {false, it->second};
    folders.insert(dir);
    return {true, {}};
  }
  std::vector<std::string> listDirectory(const std::string& dir) override {
    const auto lock = hold();
    ++listings;
    std::vector<std::string> names;
    if (unreachable.count(dir) || !folders.count(dir)) return names;
    for (const auto& [path, file] : files) {
      if (FolderOf(path) == dir) names.push_back(path.substr(dir.size()));
    }
    return names;
  }
  std::optional<LocalDateTime> readModifiedTime(const std::string& path) override {
    const auto lock = hold();
    const File* file = find(path);
    if (!file || file->directory || file->locked) return std::nullopt;
    return file->modified;
  }
  FileResult removeFile(const std::string& path) override {
    const auto lock = hold();
    record("remove " + path);
    File* file = find(path);
    if (!file) return {false, kNotFound};
    if (file->directory) return {false, kAccessDenied};
    if (file->locked) return {false, kInUse};
    if (!file->undeletable.empty()) return {false, file->undeletable};
    files.erase(path);
    return {true, {}};
  }
  std::optional<std::uint64_t> fileSize(const std::string& path) override {
    const auto lock = hold();
    const File* file = find(path);
    if (!file || file->directory) return std::nullopt;
    return file->generated ? file->generated : file->content.size();
  }
  std::optional<std::uint64_t> availableBytes(const std::string& dir) override {
    const auto lock = hold();
    if (unreachable.count(dir) || !folders.count(dir)) return std::nullopt;
    if (const std::optional<std::string> volume = volumeOf(dir)) {
      if (const auto it = freeOnVolume.find(*volume); it != freeOnVolume.end()) return it->second;
    }
    return available;
  }
  std::optional<std::string> volumeOf(const std::string& path) override {
    const auto lock = hold();
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    const std::pair<const std::string, std::string>* best = nullptr;
    for (const auto& entry : volumes) {
      const std::string& start = entry.first;
      if (start.size() > path.size() || (best && best->first.size() >= start.size())) continue;
      if (std::equal(start.begin(), start.end(), path.begin(), [&](char a, char b) { return lower(a) == lower(b); }))
        best = &entry;
    }
    if (!best) return std::nullopt;
    return best->second;
  }
  FileResult appendDurably(const std::string& path, const std::string& bytes) override {
    const auto lock = hold();
    record("append " + path);
    if (failAppend) return {false, kDiskFull};
    if (refuses(path)) return {false, kAccessDenied};
    if (appendWritesOnly) {
      text(path) += bytes.substr(0, *appendWritesOnly);
      return {false, kDiskFull};
    }
    text(path) += bytes;
    return {true, {}};
  }
  std::optional<std::string> readShared(const std::string& path, std::uint64_t offset, std::size_t maxBytes) override {
    const auto lock = hold();
    const File* file = find(path);
    if (!file || file->directory) return std::nullopt;
    if (offset >= file->content.size()) return std::string();
    return file->content.substr(static_cast<size_t>(offset), maxBytes);
  }
  FileResult replaceFile(const std::string& from, const std::string& to) override {
    const auto lock = hold();
    record("rename " + from + " -> " + to);
    if (!renameRefused.empty()) return {false, renameRefused};
    if (refuses(from) || refuses(to)) return {false, kAccessDenied};
    if (held.count(from) || held.count(to)) return {false, kInUse};
    File* source = find(from);
    if (!source) return {false, kNotFound};
    if (const File* target = find(to); target && (target->locked || target->directory)) return {false, kAccessDenied};
    File moved = std::move(*source);
    files.erase(from);
    files[to] = std::move(moved);
    folders.insert(FolderOf(to));
    afterEach();
    return {true, {}};
  }
  FileResult truncateFile(const std::string& path, std::uint64_t size) override {
    const auto lock = hold();
    record("truncate " + path + " " + std::to_string(size));
    if (failTruncate || refuses(path)) return {false, kAccessDenied};
    File* file = find(path);
    if (!file) return {false, kNotFound};
    if (size > file->content.size()) return {false, "The parameter is incorrect."};
    file->content.resize(static_cast<size_t>(size));
    return {true, {}};
  }

  Opened<FileReader> openForReading(const std::string& path) override {
    const auto lock = hold();
    record("read " + path);
    if (const auto it = unreachable.find(FolderOf(path)); it != unreachable.end()) return {nullptr, it->second};
    const File* file = find(path);
    if (!file) return {nullptr, kNotFound};
    if (file->directory) return {nullptr, kAccessDenied};
    if (file->locked) return {nullptr, kInUse};
    return {std::make_unique<Reader>(*this, path), {}};
  }
  // The read-back of a copy, recorded apart: it must come from the disk.
  Opened<FileReader> openUncached(const std::string& path) override {
    const auto lock = hold();
    record("uncached " + path);
    if (const auto it = unreachable.find(FolderOf(path)); it != unreachable.end()) return {nullptr, it->second};
    const File* file = find(path);
    if (!file) return {nullptr, kNotFound};
    if (file->directory) return {nullptr, kAccessDenied};
    return {std::make_unique<Reader>(*this, path), {}};
  }
  Opened<FileWriter> createForWriting(const std::string& path) override {
    const auto lock = hold();
    record("create " + path);
    const std::string folder = FolderOf(path);
    if (const auto it = unreachable.find(folder); it != unreachable.end()) return {nullptr, it->second};
    if (refuses(path)) return {nullptr, kAccessDenied};
    if (!folders.count(folder)) return {nullptr, kPathNotFound};
    if (const File* old = find(path); old && (old->locked || old->directory)) return {nullptr, kAccessDenied};
    files[path] = File{};
    files[path].locked = true;  // until closed
    afterEach();
    return {std::make_unique<Writer>(*this, path), {}};
  }

 private:
  // A mutex that a copy of the files does not share.
  struct Guard {
    Guard() = default;
    Guard(const Guard&) {}
    Guard& operator=(const Guard&) { return *this; }
    std::recursive_mutex mutex;
  };
  std::unique_lock<std::recursive_mutex> hold() const { return std::unique_lock(guard_.mutex); }
  mutable Guard guard_;

  class Reader final : public FileReader {
   public:
    Reader(MemoryFiles& fs, std::string path) : fs_(fs), path_(std::move(path)) {}
    FileResult read(char* buffer, std::size_t size, std::size_t& got) override {
      const auto lock = fs_.hold();
      fs_.largestRead = std::max(fs_.largestRead, size);
      const File* file = fs_.find(path_);
      if (!file) return {false, kNotFound};
      const std::uint64_t total = file->generated ? file->generated : file->content.size();
      got = static_cast<std::size_t>(std::min<std::uint64_t>(size, total - std::min(total, at_)));
      for (std::size_t i = 0; i < got; ++i) {
        buffer[i] = file->generated ? GeneratedByte(at_ + i) : file->content[static_cast<std::size_t>(at_ + i)];
      }
      at_ += got;
      return {true, {}};
    }

   private:
    MemoryFiles& fs_;
    std::string path_;
    std::uint64_t at_ = 0;
  };

  class Writer final : public FileWriter {
   public:
    Writer(MemoryFiles& fs, std::string path) : fs_(fs), path_(std::move(path)) {}
    ~Writer() override {
      const auto lock = fs_.hold();
      if (File* file = fs_.find(path_)) file->locked = false;
    }
    FileResult write(const char* data, std::size_t size) override {
      const auto lock = fs_.hold();
      fs_.largestWrite = std::max(fs_.largestWrite, size);
      fs_.record("write " + path_ + " " + std::to_string(size));
      File* file = fs_.find(path_);
      if (!fs_.spaceLeft && !fs_.corruptAt && !fs_.dropFrom) {
        file->content.append(data, size);
        fs_.afterEach();
        return {true, {}};
      }
      for (std::size_t i = 0; i < size; ++i) {
        if (fs_.spaceLeft && *fs_.spaceLeft == 0) return {false, kDiskFull};
        if (fs_.spaceLeft) --*fs_.spaceLeft;
        const std::uint64_t offset = file->content.size();
        if (fs_.dropFrom && offset + dropped_ >= *fs_.dropFrom) {
          ++dropped_;
          continue;
        }
        file->content += fs_.corruptAt == offset ? static_cast<char>(data[i] ^ 0x20) : data[i];
      }
      fs_.afterEach();
      return {true, {}};
    }
    FileResult finish(const LocalDateTime& modified) override {
      const auto lock = fs_.hold();
      fs_.record("finish " + path_);
      File* file = fs_.find(path_);
      file->modified = modified;
      file->locked = false;
      return {true, {}};
    }

   private:
    MemoryFiles& fs_;
    std::string path_;
    std::uint64_t dropped_ = 0;
  };

  bool refuses(const std::string& path) const {
    for (const std::string& entry : readOnly) {
      if (!entry.empty() && entry.back() == '\\' ? path.compare(0, entry.size(), entry) == 0 : path == entry) return true;
    }
    return false;
  }
  File* find(const std::string& path) {
    const auto it = files.find(path);
    return it == files.end() ? nullptr : &it->second;
  }
  void record(std::string op) { trace.push_back(std::move(op)); }
  void afterEach() {
    if (afterEachOperation) afterEachOperation();
  }
};

}  // namespace bakwyn::testing
