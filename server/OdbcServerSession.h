#pragma once
// The server session over ODBC (wide API), with the connection adoConn and the
// query qryTemp. ODBC's own headers stay in the .cpp: on Windows they need
// <windows.h>. ODBC handles are all void* underneath, on Windows and unixODBC.
#include <optional>
#include <string>
#include <vector>

#include "base/UniqueAny.h"
#include "server/ServerSession.h"

namespace bakwyn {

namespace odbc {
// Closing frees the handle (SQLFreeHandle of the matching type).
struct EnvTraits {
  using type = void*;
  static type invalid() noexcept { return nullptr; }
  static void close(type handle) noexcept;
};
struct DbcTraits {
  using type = void*;
  static type invalid() noexcept { return nullptr; }
  static void close(type handle) noexcept;
};
struct StmtTraits {
  using type = void*;
  static type invalid() noexcept { return nullptr; }
  static void close(type handle) noexcept;
};
// Holds a connected dbc; closing is SQLDisconnect (the dbc itself is freed by DbcTraits).
struct LinkTraits {
  using type = void*;
  static type invalid() noexcept { return nullptr; }
  static void close(type handle) noexcept;
};
using Env = UniqueAny<EnvTraits>;
using Dbc = UniqueAny<DbcTraits>;
using Stmt = UniqueAny<StmtTraits>;
using Link = UniqueAny<LinkTraits>;
}  // namespace odbc

class OdbcServerSession final : public ServerSession {
 public:
  static constexpr int kStatementTimeoutSeconds = 600;

  explicit OdbcServerSession(int statementTimeoutSeconds = kStatementTimeoutSeconds);

  void open(const std::string& user, const std::string& password, const std::string& server) override;
  std::vector<std::string> listDatabases() override;
  bool locate(const std::string& name) const override;
  void closeQuery() override;
  void execute(const std::string& statement) override;
  void executeLong(const std::string& statement) override;
  const std::vector<Diagnostic>& messages() const override { return messages_; }

  // The names of the installed ODBC drivers, as the driver manager lists them.
  std::vector<std::string> installedDrivers();

 private:
  void* environment();
  // The query's statement handle, with SQL_ATTR_QUERY_TIMEOUT set to
  // `timeoutSeconds` (0: none) for the statement about to be sent.
  void* query(int timeoutSeconds);
  void run(const std::string& statement, int timeoutSeconds);

  // Destroyed bottom-up: statement, then disconnect, then the dbc, then the environment.
  odbc::Env env_;
  odbc::Dbc adoConn;
  odbc::Link link_;
  odbc::Stmt qryTemp;

  int timeoutSeconds_;
  // The driver of the last successful connection. Reading the driver list parses the
  // driver manager's configuration, which costs more than a local connection; a
  // failed connection forgets it, so the next attempt looks again.
  std::optional<std::string> driver_;
  std::vector<std::string> catalogue_;  // the open catalogue result, for locate()
  std::vector<Diagnostic> messages_;
};

}  // namespace bakwyn
