#pragma once
// A file system that hands every call to another: the base of the tests' and
// benchmarks' file systems that change one or two calls of the real one.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/FileSystem.h"

namespace bakwyn::testing {

class ForwardingFiles : public FileSystem {
 public:
  explicit ForwardingFiles(FileSystem& inner) : inner_(inner) {}

  bool createDirectories(const std::string& dir) override { return inner_.createDirectories(dir); }
  FileResult makeDirectories(const std::string& dir) override { return inner_.makeDirectories(dir); }
  std::vector<std::string> listDirectory(const std::string& dir) override { return inner_.listDirectory(dir); }
  std::optional<LocalDateTime> readModifiedTime(const std::string& path) override {
    return inner_.readModifiedTime(path);
  }
  FileResult removeFile(const std::string& path) override { return inner_.removeFile(path); }
  std::optional<Stamp> stamp(const std::string& path) override { return inner_.stamp(path); }
  std::optional<std::uint64_t> fileSize(const std::string& path) override { return inner_.fileSize(path); }
  std::optional<std::uint64_t> availableBytes(const std::string& dir) override {
    return inner_.availableBytes(dir);
  }
  FileResult appendDurably(const std::string& path, const std::string& bytes) override {
    return inner_.appendDurably(path, bytes);
  }
  std::optional<std::string> readShared(const std::string& path, std::uint64_t offset, std::size_t maxBytes) override {
    return inner_.readShared(path, offset, maxBytes);
  }
  FileResult replaceFile(const std::string& from, const std::string& to) override { return inner_.replaceFile(from, to); }
  FileResult truncateFile(const std::string& path, std::uint64_t size) override {
    return inner_.truncateFile(path, size);
  }
  Opened<FileReader> openForReading(const std::string& path) override { return inner_.openForReading(path); }
  Opened<FileReader> openUncached(const std::string& path) override { return inner_.openUncached(path); }
  Opened<FileWriter> createForWriting(const std::string& path) override { return inner_.createForWriting(path); }

 protected:
  FileSystem& inner_;
};

}  // namespace bakwyn::testing
