#pragma once
// What the tests of the ODBC session against the stand-in share: a fixture
// with a login, databases and a drive T: of its own per test, and readers of
// a failure's records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "server/OdbcServerSession.h"
#include "tests/support/TdsFixture.h"

namespace bakwyn::session_test {

namespace fs = std::filesystem;
using test::kStandInServer;
using test::StandInTest;

// UTF-8 text as a path on every platform (a plain std::string means the ANSI code page on Windows).
inline fs::path Utf8Path(const std::string& text) { return fs::path(std::u8string(text.begin(), text.end())); }

inline std::string Utf8(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

inline bool HasNative(const std::vector<Diagnostic>& records, std::int32_t number) {
  return std::any_of(records.begin(), records.end(), [&](const Diagnostic& d) { return d.nativeError == number; });
}

inline std::vector<std::int32_t> Natives(const std::vector<Diagnostic>& records) {
  std::vector<std::int32_t> out;
  for (const Diagnostic& d : records) out.push_back(d.nativeError);
  return out;
}

inline std::vector<std::string> Texts(const std::vector<Diagnostic>& records) {
  std::vector<std::string> out;
  for (const Diagnostic& d : records) out.push_back(d.message);
  return out;
}

// Runs f, which must throw ServerError; returns its records.
template <typename F>
std::vector<Diagnostic> Failure(F&& f) {
  try {
    f();
  } catch (const ServerError& e) {
    return e.records();
  }
  ADD_FAILURE() << "no ServerError";
  return {};
}

class SessionTest : public StandInTest {
 protected:
  void SetUp() override {
    StandInTest::SetUp();
    if (HasFatalFailure()) return;
    standIn().setUsers({{"sa", "pw"}});
    standIn().setDatabases({"shop", "Accounts", "库存", "shop_archive", "master"});
    drive_ = fs::path(test::TdsStandIn::stateDirectory()) / "drive" /
             ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::remove_all(drive_);
    fs::create_directories(drive_ / "backups");
    standIn().setDrives({{"T", Utf8(drive_)}});
  }

  // The directory behind the stand-in's drive T:.
  fs::path drive_;
};

inline std::string Backup(const std::string& database, const std::string& path) {
  return "BACKUP DATABASE [" + database + "] TO  DISK = N'" + path +
         "' WITH  NOINIT ,  NOUNLOAD ,NAME = N'Vorda软件Bakwyn',SKIP ,  STATS = 10,  NOFORMAT";
}

}  // namespace bakwyn::session_test
