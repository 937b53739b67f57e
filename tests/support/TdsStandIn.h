#pragma once
// Client for the stand-in database server (tests/support/tds_server.py), which
// the ctest fixture "tds" starts once per run (under Wine, once per lane). It writes
// its ports to $BAKWYN_BINARY_DIR/tds/port (TDS) and .../tds/control-port (this
// client); under Wine to $BAKWYN_LANE_DIR/tds/..., the folder of the test's lane.
// Natively and under Wine alike (POSIX sockets or Winsock on loopback).
//
// The driver finds the stand-in through the environment variable TDSPORT, which
// overrides the port of any server name: natively PointDriverAtStandIn() sets it;
// under Wine the driver reads the Unix environment Wine was started with, so the
// test runner exports it from the port file.
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/Json.h"

namespace bakwyn::test {

struct StandInLogin {
  std::string user, password, server, database, app, host, tdsVersion;
  bool accepted = false;
  // The instance the client's PRELOGIN named ("" when none; FreeTDS names
  // "MSSQLServer" when it was given no instance).
  std::string instance;
  bool refusedInstance = false;  // the stand-in is another instance than that
};

struct StandInStatement {
  std::string user, text;
  // For BACKUP statements that parsed:
  std::string database;            // as named in the statement, brackets removed
  std::vector<std::string> disks;  // the TO DISK literals, quotes removed
  std::string file;                // where the backup went on this side ("" if nowhere)
  std::string fault;               // the armed fault that applied, "" if none
  bool cancelled = false;          // the client cancelled a hanging backup
  bool answered = false;           // its whole answer had gone out when the record was taken
  // For EXEC statements that parsed: the procedure, lower case ("xp_create_subdir");
  // `file` is then the folder created or the file deleted, "" if none.
  std::string procedure;
  // For BACKUP statements that parsed: "DATABASE" or "LOG".
  std::string backupKind;
  // The user access mode ("MULTI_USER", "SINGLE_USER") of `database` when the
  // statement came; "" when the server has no such database.
  std::string userAccess;
  // ALTER DATABASE ... WITH ROLLBACK: the other connections it ended.
  int ended = 0;
};

// One question to the stand-in's SQL Server Browser.
struct StandInBrowserRequest {
  std::string instance;
  bool answered = false;
};

struct StandInRecord {
  std::vector<StandInLogin> logins;
  std::vector<StandInStatement> statements;
  std::vector<StandInBrowserRequest> browserRequests;
};

struct StandInFault {
  // "disk_full", "drop", "hang", "denied", "slow", "stall", "catalogue_error", "corrupt",
  // "hidden" (only with `on`: a catalogue view shows no rows, as to a login that may not see them)
  std::string kind;
  int afterPercent = 50;  // "disk_full", "drop": where it fails; "stall": the progress sent before the silence
  int seconds = 30;
  int packets = 0;  // "slow": flushes of the progress messages; 0 for one per message
  // The statement it waits for; "" for the fault's own (a BACKUP; a catalogue
  // query too for "hang"; DBCC CHECKDB for "corrupt"). Else one of "backup",
  // "catalogue", "restore" (RESTORE DATABASE: disk_full, drop, slow, stall,
  // hang), "verify" (RESTORE VERIFYONLY: slow, stall, hang, drop),
  // "headeronly", "filelistonly", "select", "drop_database" (hang), "checkdb"
  // (corrupt, hang, slow), "backup_log" (BACKUP LOG; the faults of "backup",
  // which then means BACKUP DATABASE only), and the health checks' reads:
  // "recovery" (sys.databases), "files" (sys.master_files), "used"
  // (sys.allocation_units): denied (229), hidden, hang; "logspace" (DBCC
  // SQLPERF): denied (297), hang; "edition" (SERVERPROPERTY, which a real
  // server never refuses): hang.
  std::string on = "";
};

// A file of a database as sys.master_files lists it.
struct StandInFileSpec {
  std::string type;  // "ROWS" or "LOG"
  std::string path;  // as the server names it (D:\data\shop.mdf); nothing is written there
  long long pages = 0;  // of 8 KB
  std::string logical = "";  // "": the file name without its extension
};

// What the health checks read of one database. What is left unset keeps its
// value (unconfigured: SIMPLE, a log as big as the log file, 2.5 % used, the
// files the stand-in invents, used pages 1/40 of the data files).
struct StandInDatabaseHealth {
  std::string recovery = "";  // "SIMPLE", "FULL" or "BULK_LOGGED"; the log chain not started
  // As if a full backup was made in that (not SIMPLE) model: from now on the
  // log waits for a log backup (log_reuse_wait_desc LOG_BACKUP).
  bool fullBackup = false;
  std::optional<double> logSizeMb = std::nullopt;
  std::optional<double> logUsedPercent = std::nullopt;
  std::optional<long long> usedPages = std::nullopt;
  std::optional<std::vector<StandInFileSpec>> files = std::nullopt;
};

// A database as the stand-in's catalogue has it.
struct StandInDatabaseFile {
  std::string logical, physical;  // physical as the server names it (T:\...)
  std::string local;              // that file on this side ("" when no drive maps it)
  std::string type;               // "D" or "L"
  long long size = 0;             // bytes
};
struct StandInDatabase {
  std::string name;
  std::string state;  // "ONLINE" or "RESTORING"
  std::vector<StandInDatabaseFile> files;
  std::string userAccess;  // "MULTI_USER" or "SINGLE_USER"
  int connections = 0;     // other connections that use it (setConnections)
  std::string content;     // what stands for its data (setContent; a restore brings back the backup's)
};

class TdsStandIn {
 public:
  // Connects to the running stand-in; throws std::runtime_error with a hint if it
  // is not running.
  TdsStandIn();
  ~TdsStandIn();
  TdsStandIn(const TdsStandIn&) = delete;
  TdsStandIn& operator=(const TdsStandIn&) = delete;

  // $BAKWYN_LANE_DIR/tds, else $BAKWYN_BINARY_DIR/tds (or ./tds).
  static std::string stateDirectory();

  int tdsPort() const { return tdsPort_; }

  // Start-up configuration, no armed fault, empty record, TDS port listening.
  void reset();
  void setUsers(const std::map<std::string, std::string>& passwordsByUser);
  void setDatabases(const std::vector<std::string>& names);
  // Drive letter -> directory (as this process names it; under Wine a Z: path is
  // handed over as the Unix path it stands for), for backup paths like T:\dir\x.bak.
  void setDrives(const std::map<std::string, std::string>& directoriesByLetter);
  // Faults wait in the order armed; each statement takes the first that applies to it.
  void arm(const StandInFault& fault);
  // The sizes FILELISTONLY reports for the database's data and log file in its
  // backups made from now on (16 MiB and 8 MiB unless set): a test makes a
  // restore that has no room with sizes beyond the drive's free space.
  void setDatabaseSizes(const std::string& database, long long dataBytes, long long logBytes);
  // A database that someone else made, its data and log file written into
  // `folder` (a path of the stand-in's drives, T:\...), ONLINE or, as a
  // restore cut off by a crash leaves one, RESTORING.
  void createDatabase(const std::string& name, const std::string& folder, bool restoring = false);
  // Sets what the health checks read of `name` (listing it if it was not).
  void configureDatabase(const std::string& name, const StandInDatabaseHealth& health);
  // What SERVERPROPERTY tells: 'EngineEdition' (4 Express, 2 Standard, 3
  // Enterprise) and 'ProductVersion' (4 and "16.0.1000.6" unless set).
  void setEdition(int engineEdition, const std::string& productVersion);
  // Changes a backup file after it was written (`file` as the server names
  // it): "bytes" changes a few bytes in the middle of backup set `set` (1 the
  // first; 0 the last), "cut" cuts the file short there.
  void damageBackup(const std::string& file, const std::string& how = "bytes", int set = 0);
  // From now on `count` other connections use the database (at most one while
  // it is SINGLE_USER): a restore over it or a drop of it fails, SET
  // SINGLE_USER waits for them unless WITH ROLLBACK ends them.
  void setConnections(const std::string& database, int count);
  // A text that stands for the database's data: its backups record it, a
  // restore brings the backup's back (catalog() shows it).
  void setContent(const std::string& database, const std::string& text);
  // What SERVERPROPERTY('InstanceDefaultDataPath') tells, with its final
  // backslash (also where the files of a database only named are); nullopt
  // for NULL. The stand-in's C:\Program Files\... folder unless set.
  void setDefaultDataPath(const std::optional<std::string>& path);
  // The user databases (master and model are always there too).
  std::vector<StandInDatabase> catalog();
  // Closes or reopens the TDS port (same number), for "nothing listens" cases.
  void listen(bool on);
  // The named instances the stand-in is: its SQL Server Browser (UDP 1434 on
  // 127.0.0.1, the port FreeTDS asks) answers for these, with the TDS port, and
  // a PRELOGIN must name one of them. {} makes it the default instance again
  // and frees the Browser's port. Returns "" when the Browser listens, else why
  // not (the port is taken, or needs privileges): tests then skip.
  std::string setInstances(const std::vector<std::string>& names);
  // Stops or restarts the Browser's answers, the instances staying as they are.
  void setBrowser(bool on);
  // Logins that are not sysadmin: xp_create_subdir and xp_delete_file refuse them (229).
  void setNonSysadmins(const std::vector<std::string>& users);
  StandInRecord record();

  // Sends one JSON line, returns the parsed answer; throws unless it says "ok".
  Json request(const std::string& line);

 private:
  struct Connection;
  std::unique_ptr<Connection> connection_;
  int tdsPort_ = 0;
};

// Makes the ODBC driver connect to the stand-in whatever server name it is given.
// Returns an empty text when it could, else why not (under Wine the runner must
// have exported TDSPORT).
std::string PointDriverAtStandIn(int tdsPort);

// A server name that resolves to this computer (the program itself uses the computer name).
inline const char* kStandInServer = "localhost";

}  // namespace bakwyn::test
