// Long randomised runs over everything that turns user or stored text into
// something another program reads: the connection string, the backup statement
// and the loading of stored control states. Every text the program builds is
// read back with an independent parser and must mean exactly what was given.
// The number of inputs is BAKWYN_FUZZ_INPUTS (default 20000 per run); the
// counts are printed so the figures script can report them.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "engine/BackupEngine.h"
#include "server/ConnectionString.h"
#include "server/ServerSession.h"
#include "form/StoredForm.h"
#include "settings/MemoryRegistry.h"
#include "settings/StateText.h"
#include "tests/support/BackupStatementParser.h"
#include "tests/server/ConnectionStringParser.h"
#include "tests/support/StoreWindow.h"
#include "tests/support/TestProtector.h"

namespace bakwyn {
namespace {

int Inputs() {
  const char* n = std::getenv("BAKWYN_FUZZ_INPUTS");
  return n ? std::max(1, std::atoi(n)) : 20000;
}

// Pieces that have broken quoting somewhere: separators, braces, quotes,
// brackets, blanks at the ends, control characters, Chinese text, digits.
const std::vector<std::string_view> kPieces = {
    ";", "{", "}", "}}", "};", "=", " ", "  ", "\t", "'", "''", "\"", "[", "]", "]]", "\\", "%", "+",
    "CHAR(39)", "a", "Z", "0", "1", "-1", "999999", "1E3", "3.5", "true", "FALSE", "数据", "库", "软件",
    "\r", "\n", "\x01", "\x7f", "PWD=x", "DRIVER={x}", "N'", "--", "/*", "ÿ"};

std::string RandomText(std::mt19937& rng, int maxPieces) {
  std::uniform_int_distribution<int> count(0, maxPieces);
  std::uniform_int_distribution<size_t> pick(0, kPieces.size() - 1);
  std::string s;
  for (int i = count(rng); i > 0; --i) s += kPieces[pick(rng)];
  return s;
}

void Report(const char* what, int tried, int failed) {
  std::printf("fuzz %s: %d inputs, %d failures\n", what, tried, failed);
  ::testing::Test::RecordProperty(std::string(what) + "_inputs", tried);
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

TEST(RandomInputs, ConnectionStringsReadBackExactly) {
  std::mt19937 rng(20261210);
  const std::vector<std::string> drivers = {"ODBC Driver 18 for SQL Server", "SQL Server", "FreeTDS"};
  int tried = 0, failed = 0;
  for (int i = 0; i < Inputs(); ++i) {
    const std::string user = RandomText(rng, 6), password = RandomText(rng, 8), server = RandomText(rng, 4);
    for (const std::string& driver : drivers) {
      ++tried;
      const bool freeTds = driver == "FreeTDS";
      std::string text;
      try {
        text = BuildConnectionString(user, password, server, driver);
      } catch (const ServerError&) {
        // Only FreeTDS has a value it cannot carry: one holding "};".
        const bool carriable = (user + password + server).find("};") == std::string::npos;
        if (!freeTds || carriable) {
          ++failed;
          ADD_FAILURE() << "refused " << user << "|" << password << "|" << server << " for " << driver;
        }
        continue;
      }
      const auto parsed = test::ParseConnectionString(text, freeTds ? test::Dialect::FreeTds13 : test::Dialect::Odbc);
      bool ok = parsed.has_value();
      int uid = 0, pwd = 0, srv = 0;
      if (ok) {
        for (const auto& [key, value] : *parsed) {
          const std::string k = Upper(key);
          if (k == "UID") ok &= value == user, ++uid;
          else if (k == "PWD") ok &= value == password, ++pwd;
          // "COMPUTER\" names the default instance: the empty instance is dropped.
          else if (k == "SERVER") ok &= value == (server.ends_with('\\') && server.find('\\') == server.size() - 1
                                                      ? server.substr(0, server.size() - 1) : server), ++srv;
          else if (k == "DATABASE") ok &= value == "master";
          else ok &= (k == "DRIVER" || k == "PORT" || k == "TRUSTSERVERCERTIFICATE");
        }
      }
      ok &= uid == 1 && pwd == 1 && srv == 1;
      if (!ok) {
        ++failed;
        ADD_FAILURE() << driver << ": " << text;
      }
    }
  }
  Report("connection_string", tried, failed);
}

TEST(RandomInputs, BackupStatementsReadBackExactly) {
  std::mt19937 rng(4035);
  int tried = 0, failed = 0;
  for (int i = 0; i < Inputs(); ++i) {
    ++tried;
    const std::string database = RandomText(rng, 6);
    const std::string path = "T:\\" + RandomText(rng, 6) + "\\" + BackupFileName({2026, 12, 10, 21, 5, 0, 0});
    const auto parsed = test::ParseBackupStatement(BuildBackupStatement(database, path));
    if (!parsed || parsed->database != database || parsed->path != path) {
      ++failed;
      ADD_FAILURE() << "database [" << database << "] path [" << path << "]";
    }
  }
  Report("backup_statement", tried, failed);
}

// Whatever was stored, loading goes through every control, and the window ends
// up holding only values that can run: days within the range, times of the day.
TEST(RandomInputs, LoadingRandomStoredValuesKeepsEveryFieldRunnable) {
  std::mt19937 rng(3013);
  std::uniform_int_distribution<int> coin(0, 3);
  const testing::TestProtector protector;
  int tried = 0, failed = 0;
  for (int i = 0; i < Inputs() / 10; ++i) {
    ++tried;
    settings::MemoryRegistry registry;
    const std::string base = std::string(settings::StateRoot) + "FrmMain\\";
    for (const std::string& name : testing::StoredControlNames()) {
      for (const char* value : {"TEXT", "VALUE", "CHECKED", "0"}) {
        if (coin(rng) == 0) registry.setValue(base + name, value, RandomText(rng, 3));
      }
    }
    testing::StoreWindow window;
    try {
      form::LoadWindowSettings(window, registry, protector);
      const auto& spin = window.get<form::TmavSpinEdit>("mavSpinEdit1");
      if (spin.value() < 1 || spin.value() > 999999) {
        ++failed;
        ADD_FAILURE() << "day count " << spin.value();
      }
      for (int slot = 1; slot <= 4; ++slot) {
        const std::string text = window.get<form::TmavTimeEdit>("dxTimeEdit" + std::to_string(slot)).dText();
        if (!text.empty() && !form::IsValidTime(text)) {
          ++failed;
          ADD_FAILURE() << "time " << text;
        }
      }
    } catch (const std::exception& e) {
      ++failed;
      ADD_FAILURE() << "unexpected error: " << e.what();
    }
  }
  Report("stored_values", tried, failed);
}

}  // namespace
}  // namespace bakwyn
