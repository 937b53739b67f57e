// Backup overhead figure: a scheduled backup through Bakwyn's engine, from the
// tick to the file being written by the server, against a minimal ODBC program
// that connects and sends the same statement. Alternating rounds; prints medians
// and the ratio. The server is the test stand-in, found through TDSPORT.
//   backup_figure SERVER FOLDER [rounds]
//     FOLDER: where the stand-in maps drive T: (natively), or a Windows folder.
#ifdef _WIN32
#include <windows.h>  // the ODBC headers need it first on Windows
#endif
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "base/Text.h"
#include "engine/BackupEngine.h"
#include "engine/Clock.h"
#include "server/ConnectionString.h"
#include "server/OdbcServerSession.h"

#ifdef _WIN32
#include "engine/WindowsFileSystem.h"
#else
#include "engine/PosixFileSystem.h"
#endif

namespace {

using namespace bakwyn;

std::vector<SQLWCHAR> Wide(const std::string& s) {
  const std::u16string u = Utf8ToUtf16(s);
  std::vector<SQLWCHAR> out(u.begin(), u.end());
  out.push_back(0);
  return out;
}

// What any program must do to have the server write a backup: connect, send the
// statement, read every answer, disconnect. No error handling beyond the result.
bool MinimalBackup(const std::string& connection, const std::string& statement) {
  SQLHENV env = nullptr;
  SQLHDBC dbc = nullptr;
  SQLHSTMT stmt = nullptr;
  SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
  auto conn = Wide(connection);
  bool ok = SQL_SUCCEEDED(SQLDriverConnectW(dbc, nullptr, conn.data(), SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT));
  if (ok) {
    SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
    auto text = Wide(statement);
    SQLRETURN rc = SQLExecDirectW(stmt, text.data(), SQL_NTS);
    ok = rc != SQL_ERROR;
    while (rc != SQL_NO_DATA && rc != SQL_ERROR && rc != SQL_INVALID_HANDLE) {
      rc = SQLMoreResults(stmt);
      if (rc == SQL_ERROR) ok = false;
    }
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    SQLDisconnect(dbc);
  }
  SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  SQLFreeHandle(SQL_HANDLE_ENV, env);
  return ok;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("usage: backup_figure SERVER FOLDER [rounds]\n", stderr);
    return 2;
  }
  const std::string server = argv[1];
  const std::string folder = argv[2];
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 20;

#ifdef _WIN32
  WindowsFileSystem files;
  std::string backupDir = folder;
  if (backupDir.back() != '\\') backupDir += '\\';
  const std::string hostDir = backupDir;
#else
  PosixFileSystem files({{'T', std::filesystem::path(folder)}});
  const std::string backupDir = "T:\\";
  const std::string hostDir = folder + "/";
#endif
  BackupSettings settings;
  settings.server = server;
  settings.user = "sa";
  settings.password = "figure";
  settings.database = "shop";
  settings.backupDir = backupDir;
  SystemClock clock;
  OdbcServerSession session;
  std::vector<std::string> log;
  BackupEngine engine(settings, clock, session, files, [&](const std::string& line) { log.push_back(line); });

  const auto driver = ChooseDriver(session.installedDrivers());
  if (!driver) {
    std::fputs("no SQL Server ODBC driver installed\n", stderr);
    return 1;
  }
  const std::string connection = BuildConnectionString(settings.user, settings.password, server, *driver);

  std::vector<double> engineTimes, verifiedTimes, minimalTimes;
  int engineFailures = 0, minimalFailures = 0;
  // One scheduled backup through the engine, with or without verification.
  const auto scheduled = [&](bool verify) {
    settings.verifyBackups = verify;
    // The slot is due now; the stamp of the previous round is cleared.
    char hhmm[5];
    FormatHourMinute(clock.now(), hhmm);
    settings.slots[0] = {true, std::string(hhmm, 5), ""};
    log.clear();
    const auto t0 = std::chrono::steady_clock::now();
    engine.Timer1Timer();
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    if (log.size() != 2 || log[1].rfind("数据库备份成功!", 0) != 0) ++engineFailures;
    // Every round writes a file of its own, as the minimal program's rounds do:
    // rounds within one minute would otherwise append their sets to one file,
    // which the server reads whole to verify it.
    if (log.size() == 2) {
      const std::string& line = log[1];
      const size_t from = line.rfind('\\'), to = line.rfind(']');
      if (from != std::string::npos && to != std::string::npos && to > from)
        std::filesystem::remove(std::filesystem::u8path(hostDir + line.substr(from + 1, to - from - 1)));
    }
    return ms;
  };
  for (int r = 0; r < rounds; ++r) {
    // Without verification: the statement a minimal program sends too.
    engineTimes.push_back(scheduled(false));
    verifiedTimes.push_back(scheduled(true));

    const std::string name = "minimal" + std::to_string(r) + ".bak";
    const auto t0 = std::chrono::steady_clock::now();
    if (!MinimalBackup(connection, BuildBackupStatement(settings.database, backupDir + name))) ++minimalFailures;
    minimalTimes.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    std::filesystem::remove(std::filesystem::path(hostDir + name));
  }
  const double e = Median(engineTimes), m = Median(minimalTimes), v = Median(verifiedTimes);
  std::printf("backup: engine %.2f ms, minimal ODBC %.2f ms, ratio %.2f (failures: engine %d, minimal %d)\n", e, m,
              e / m, engineFailures, minimalFailures);
  std::printf("verification: backup with it %.2f ms, without %.2f ms, adds %.2f ms, ratio %.2f\n", v, e, v - e, v / e);
  return engineFailures + minimalFailures == 0 ? 0 : 1;
}
