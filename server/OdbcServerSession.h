#pragma once
// The server session over ODBC (wide API), with the connection adoConn and the
// query qryTemp. ODBC's own headers stay in the .cpp: on Windows they need
// <windows.h>. ODBC handles are all void* underneath, on Windows and unixODBC.
#include <mutex>
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

// The one choke point every ODBC call of an operation passes. Right after each
// call it reads every diagnostic record the call left on its handle (the driver
// keeps them only until the next call on that handle): informational ones of
// SQL_SUCCESS_WITH_INFO as well, since that is how the server's messages
// arrive. A failure then carries every record of the operation so far.
// SQLRETURN and SQLSMALLINT are shorts in every ODBC header.
class Calls {
 public:
  // `observer`, when given, receives each record as soon as it is read.
  explicit Calls(std::string context, MessageObserver observer = {})
      : context_(std::move(context)), observer_(std::move(observer)) {}
  // Collects the call's records; true when the call failed (SQL_NO_DATA is no failure).
  bool failed(short rc, short handleType, void* handle);
  // Collects the call's records and throws ServerError when it failed; returns rc.
  short check(short rc, short handleType, void* handle);
  [[noreturn]] void raise() const;
  bool anyFailed() const { return anyFailed_; }
  const std::vector<Diagnostic>& records() const { return records_; }

 private:
  std::string context_;
  MessageObserver observer_;
  std::vector<Diagnostic> records_;  // every record, in call order
  std::vector<Diagnostic> errors_;   // those of the calls that failed, for the message
  bool anyFailed_ = false;
};
}  // namespace odbc

class OdbcServerSession final : public ServerSession {
 public:
  static constexpr int kStatementTimeoutSeconds = 600;

  explicit OdbcServerSession(int statementTimeoutSeconds = kStatementTimeoutSeconds);

  void open(const std::string& user, const std::string& password, const std::string& server) override;
  std::vector<std::string> listDatabases() override;
  QueryResult query(const std::string& statement) override;
  bool locate(const std::string& name) const override;
  void closeQuery() override;
  void execute(const std::string& statement) override;
  using ServerSession::executeLong;
  void executeLong(const std::string& statement, const MessageObserver& onMessage) override;
  void cancel() override;
  const std::vector<Diagnostic>& messages() const override { return messages_; }

  // The names of the installed ODBC drivers, as the driver manager lists them.
  std::vector<std::string> installedDrivers();

 private:
  void* environment();
  // The query's statement handle, with SQL_ATTR_QUERY_TIMEOUT set to
  // `timeoutSeconds` (0: none) for the statement about to be sent.
  void* query(int timeoutSeconds, odbc::Calls& calls);
  // Sends the statement and reads its whole answer; `result`, when given,
  // receives the first result set (rows of a query).
  void run(const std::string& statement, int timeoutSeconds, const MessageObserver& onMessage, QueryResult* result);
  // run()'s statement handle is open to cancel() from here until the matching
  // endCancellable(), which tells whether cancel() came meanwhile.
  void beginCancellable(void* stmt);
  bool endCancellable();
  bool cancelRequested();

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

  // What cancel(), on another thread, may touch. It holds the mutex while it
  // calls the driver, so that the handle cannot be freed under it.
  std::mutex cancelMutex_;
  void* running_ = nullptr;  // the statement handle of the statement that runs, if any
  bool cancelled_ = false;   // cancel() came while it ran
};

}  // namespace bakwyn
