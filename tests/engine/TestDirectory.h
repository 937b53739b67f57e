#pragma once
// A fresh scratch directory on the platform's real file system, seen through
// the engine's FileSystem: natively mapped as drive T:, on Windows as itself.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "engine/FileSystem.h"
#ifdef _WIN32
#include "engine/WindowsFileSystem.h"
#else
#include "engine/PosixFileSystem.h"
#endif

namespace bakwyn::testing {

inline std::string ToUtf8(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

inline std::filesystem::path FromUtf8(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

class TestDirectory {
 public:
  TestDirectory() {
    static std::atomic<int> counter{0};
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = std::filesystem::temp_directory_path() /
            ("bakwyn-engine-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "-" +
             std::to_string(counter++) + "-" + (info ? info->name() : "x"));
    std::filesystem::create_directories(root_);
#ifdef _WIN32
    windowsRoot_ = ToUtf8(root_) + "\\";
    files_ = std::make_unique<WindowsFileSystem>();
#else
    windowsRoot_ = "T:\\";
    files_ = std::make_unique<PosixFileSystem>(std::map<char, std::filesystem::path>{{'t', root_}});
#endif
  }
  ~TestDirectory() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  TestDirectory(const TestDirectory&) = delete;
  TestDirectory& operator=(const TestDirectory&) = delete;

  // The Windows form of the scratch directory, ending with "\".
  const std::string& windowsRoot() const { return windowsRoot_; }
  FileSystem& files() { return *files_; }
  // The local path of a Windows path below windowsRoot().
  std::filesystem::path local(const std::string& windowsPath) const {
    std::string rest = windowsPath.substr(windowsRoot_.size());
#ifndef _WIN32
    for (char& c : rest) {
      if (c == '\\') c = '/';
    }
#endif
    return root_ / FromUtf8(rest);
  }
  void write(const std::string& windowsPath, const std::string& content = "backup") const {
    std::ofstream(local(windowsPath), std::ios::binary) << content;
  }

 private:
  std::filesystem::path root_;
  std::string windowsRoot_;
  std::unique_ptr<FileSystem> files_;
};

}  // namespace bakwyn::testing
