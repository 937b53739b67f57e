#include "server/OdbcServerSession.h"

#ifdef _WIN32
#include <windows.h>
#endif
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <string_view>
#include <type_traits>

#include "base/Text.h"
#include "server/ConnectionString.h"

namespace bakwyn {

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the wide ODBC API is UTF-16 on every platform we build for");
static_assert(std::is_same_v<SQLRETURN, short> && std::is_same_v<SQLSMALLINT, short>,
              "odbc::Calls takes the results and handle types as shorts");

namespace odbc {
void EnvTraits::close(type handle) noexcept { SQLFreeHandle(SQL_HANDLE_ENV, handle); }
void DbcTraits::close(type handle) noexcept { SQLFreeHandle(SQL_HANDLE_DBC, handle); }
void StmtTraits::close(type handle) noexcept { SQLFreeHandle(SQL_HANDLE_STMT, handle); }
void LinkTraits::close(type handle) noexcept { SQLDisconnect(handle); }
}  // namespace odbc

namespace {

constexpr std::string_view kCatalogueQuery = "select name from master..sysdatabases order by name";
constexpr std::u16string_view kNameColumn = u"name";

SQLWCHAR* Wide(std::u16string& text) { return reinterpret_cast<SQLWCHAR*>(text.data()); }

std::string Narrow(const SQLWCHAR* text, std::size_t length) {
  return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text), length));
}

// Every record the handle holds. The driver keeps them until the next call on the
// same handle, so this runs right after the call that produced them.
std::vector<Diagnostic> ReadDiagnostics(SQLSMALLINT type, SQLHANDLE handle) {
  std::vector<Diagnostic> records;
  std::vector<SQLWCHAR> text(512);
  for (SQLSMALLINT i = 1;; ++i) {
    SQLWCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    SQLRETURN rc = SQLGetDiagRecW(type, handle, i, state, &native, text.data(),
                                  static_cast<SQLSMALLINT>(text.size()), &length);
    if (rc == SQL_SUCCESS_WITH_INFO && length >= static_cast<SQLSMALLINT>(text.size())) {
      text.resize(static_cast<std::size_t>(length) + 1);
      rc = SQLGetDiagRecW(type, handle, i, state, &native, text.data(), static_cast<SQLSMALLINT>(text.size()),
                          &length);
    }
    if (!SQL_SUCCEEDED(rc)) break;  // SQL_NO_DATA after the last record
    const std::size_t shown = std::min<std::size_t>(static_cast<std::size_t>(std::max<SQLSMALLINT>(length, 0)),
                                                    text.size() - 1);
    records.push_back({Narrow(state, 5), static_cast<std::int32_t>(native), Narrow(text.data(), shown)});
  }
  return records;
}

std::string Summary(const std::string& context, const std::vector<Diagnostic>& records) {
  std::string out = context;
  for (const Diagnostic& r : records) {
    out += out == context ? ": " : " | ";
    out += r.message + " (" + r.sqlState + ", " + std::to_string(r.nativeError) + ")";
  }
  return out;
}

}  // namespace

namespace odbc {

bool Calls::failed(short rc, short handleType, void* handle) {
  const bool failure = !SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA;
  // SQL_SUCCESS leaves no records and an invalid handle cannot be asked;
  // every other outcome may carry some, informational ones included.
  if (rc != SQL_SUCCESS && rc != SQL_INVALID_HANDLE) {
    for (Diagnostic& d : ReadDiagnostics(handleType, handle)) {
      if (observer_) observer_(d);
      if (failure) errors_.push_back(d);
      records_.push_back(std::move(d));
    }
  }
  anyFailed_ = anyFailed_ || failure;
  return failure;
}

short Calls::check(short rc, short handleType, void* handle) {
  if (failed(rc, handleType, handle)) raise();
  return rc;
}

void Calls::raise() const {
  // The message names what failed; the records keep everything, in call order.
  throw ServerError(Summary(context_, errors_.empty() ? records_ : errors_), records_);
}

}  // namespace odbc

namespace {

std::string ReadText(SQLHSTMT stmt, SQLUSMALLINT column, odbc::Calls& calls) {
  std::u16string value;
  SQLWCHAR buffer[256];
  for (;;) {
    SQLLEN indicator = 0;
    const SQLRETURN rc =
        calls.check(SQLGetData(stmt, column, SQL_C_WCHAR, buffer, sizeof buffer, &indicator), SQL_HANDLE_STMT, stmt);
    if (rc == SQL_NO_DATA || indicator == SQL_NULL_DATA) break;
    constexpr SQLLEN kRoom = sizeof buffer - sizeof(SQLWCHAR);
    // On truncation (01004) the buffer is full up to its terminator and the rest follows.
    // A length that fits says the value is whole, whatever the return says: a
    // driver that reports truncation for a sql_variant (SERVERPROPERTY) on
    // every call would otherwise never let this loop end.
    const bool whole = indicator != SQL_NO_TOTAL && indicator >= 0 && indicator <= kRoom;
    const SQLLEN bytes = whole ? indicator : kRoom;
    value.append(reinterpret_cast<const char16_t*>(buffer), static_cast<std::size_t>(bytes) / sizeof(SQLWCHAR));
    if (rc == SQL_SUCCESS || whole) break;
  }
  return Utf16ToUtf8(value);
}

// The names of the open result's columns, first to last (none when the
// statement's current result has no rows: a message or a count).
std::vector<std::u16string> ColumnNames(SQLHSTMT stmt, odbc::Calls& calls) {
  SQLSMALLINT count = 0;
  calls.check(SQLNumResultCols(stmt, &count), SQL_HANDLE_STMT, stmt);
  std::vector<std::u16string> names;
  for (SQLUSMALLINT i = 1; i <= static_cast<SQLUSMALLINT>(count); ++i) {
    std::vector<SQLWCHAR> name(129);
    SQLSMALLINT length = 0, dataType = 0, digits = 0, nullable = 0;
    SQLULEN size = 0;
    const auto describe = [&] {
      return calls.check(SQLDescribeColW(stmt, i, name.data(), static_cast<SQLSMALLINT>(name.size()), &length,
                                         &dataType, &size, &digits, &nullable),
                         SQL_HANDLE_STMT, stmt);
    };
    if (describe() == SQL_SUCCESS_WITH_INFO && length >= static_cast<SQLSMALLINT>(name.size())) {
      name.resize(static_cast<std::size_t>(length) + 1);
      describe();
    }
    names.emplace_back(reinterpret_cast<const char16_t*>(name.data()),
                       std::min<std::size_t>(static_cast<std::size_t>(std::max<SQLSMALLINT>(length, 0)),
                                             name.size() - 1));
  }
  return names;
}

SQLUSMALLINT FindColumn(SQLHSTMT stmt, std::u16string_view wanted, odbc::Calls& calls) {
  const std::vector<std::u16string> names = ColumnNames(stmt, calls);
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i] == wanted) return static_cast<SQLUSMALLINT>(i + 1);
  }
  throw ServerError("The database list has no column \"name\"", calls.records());
}

// Reads the open result whole into `result`: false when the statement's
// current result has no columns (it is not a result set).
bool ReadResultSet(SQLHSTMT stmt, QueryResult& result, odbc::Calls& calls) {
  const std::vector<std::u16string> names = ColumnNames(stmt, calls);
  if (names.empty()) return false;
  result.columns.clear();
  for (const std::u16string& name : names) result.columns.push_back(Utf16ToUtf8(name));
  while (calls.check(SQLFetch(stmt), SQL_HANDLE_STMT, stmt) != SQL_NO_DATA) {
    std::vector<std::string> row;
    row.reserve(names.size());
    for (SQLUSMALLINT i = 1; i <= names.size(); ++i) row.push_back(ReadText(stmt, i, calls));
    result.rows.push_back(std::move(row));
  }
  return true;
}

}  // namespace

OdbcServerSession::OdbcServerSession(int statementTimeoutSeconds) : timeoutSeconds_(statementTimeoutSeconds) {}

void* OdbcServerSession::environment() {
  if (!env_) {
    odbc::Env env;
    odbc::Calls calls("ODBC 3 is not available");
    calls.check(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, env.put()), SQL_HANDLE_ENV, SQL_NULL_HANDLE);
    calls.check(SQLSetEnvAttr(env.get(), SQL_ATTR_ODBC_VERSION,
                              reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(SQL_OV_ODBC3)), 0),
                SQL_HANDLE_ENV, env.get());
    env_ = std::move(env);
  }
  return env_.get();
}

std::vector<std::string> OdbcServerSession::installedDrivers() {
  SQLHENV env = environment();
  std::vector<std::string> names;
  odbc::Calls calls("The ODBC drivers could not be listed");
  SQLUSMALLINT direction = SQL_FETCH_FIRST;
  for (;;) {
    SQLWCHAR description[512];
    SQLWCHAR attributes[2048];
    SQLSMALLINT descriptionLength = 0, attributesLength = 0;
    const SQLRETURN rc = calls.check(
        SQLDriversW(env, direction, description, 512, &descriptionLength, attributes, 2048, &attributesLength),
        SQL_HANDLE_ENV, env);
    if (rc == SQL_NO_DATA) break;
    names.push_back(Utf16ToUtf8(reinterpret_cast<const char16_t*>(description)));
    direction = SQL_FETCH_NEXT;
  }
  return names;
}

void OdbcServerSession::open(const std::string& user, const std::string& password, const std::string& server) {
  catalogue_.clear();
  qryTemp.reset();
  link_.reset();
  adoConn.reset();

  SQLHENV env = environment();
  const std::optional<std::string> driver = driver_ ? driver_ : ChooseDriver(installedDrivers());
  if (!driver) throw ServerError("No ODBC driver for SQL Server is installed", {});
  driver_.reset();

  odbc::Calls calls("Cannot connect to server " + server);
  calls.check(SQLAllocHandle(SQL_HANDLE_DBC, env, adoConn.put()), SQL_HANDLE_ENV, env);
  std::u16string text = Utf8ToUtf16(BuildConnectionString(user, password, server, *driver));
  if (text.size() > 32767) throw ServerError("The connection string is too long", {});
  SQLWCHAR completed[1024];
  SQLSMALLINT completedLength = 0;
  calls.check(SQLDriverConnectW(adoConn.get(), nullptr, Wide(text), static_cast<SQLSMALLINT>(text.size()), completed,
                                1024, &completedLength, SQL_DRIVER_NOPROMPT),
              SQL_HANDLE_DBC, adoConn.get());
  link_.reset(adoConn.get());
  driver_ = driver;
}

void* OdbcServerSession::query(int timeoutSeconds, odbc::Calls& calls) {
  if (!link_) throw ServerError("The connection is not open", {});
  if (!qryTemp) {
    odbc::Stmt stmt;
    calls.check(SQLAllocHandle(SQL_HANDLE_STMT, adoConn.get(), stmt.put()), SQL_HANDLE_DBC, adoConn.get());
    qryTemp = std::move(stmt);
  }
  // Set before every statement: the one handle serves bounded and unbounded
  // statements alike, and setting it is local to the driver (no round trip).
  calls.check(SQLSetStmtAttrW(qryTemp.get(), SQL_ATTR_QUERY_TIMEOUT,
                              reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(timeoutSeconds)), SQL_IS_UINTEGER),
              SQL_HANDLE_STMT, qryTemp.get());
  return qryTemp.get();
}

void OdbcServerSession::closeQuery() {
  catalogue_.clear();
  if (qryTemp) {
    odbc::Calls("Cannot close the query").check(SQLFreeStmt(qryTemp.get(), SQL_CLOSE), SQL_HANDLE_STMT, qryTemp.get());
  }
}

std::vector<std::string> OdbcServerSession::listDatabases() {
  closeQuery();
  odbc::Calls calls("The database list could not be read");
  SQLHSTMT stmt = query(timeoutSeconds_, calls);
  std::u16string text = Utf8ToUtf16(kCatalogueQuery);
  calls.check(SQLExecDirectW(stmt, Wide(text), static_cast<SQLINTEGER>(text.size())), SQL_HANDLE_STMT, stmt);
  const SQLUSMALLINT column = FindColumn(stmt, kNameColumn, calls);
  std::vector<std::string> names;
  while (calls.check(SQLFetch(stmt), SQL_HANDLE_STMT, stmt) != SQL_NO_DATA) {
    names.push_back(ReadText(stmt, column, calls));
  }
  while (calls.check(SQLMoreResults(stmt), SQL_HANDLE_STMT, stmt) != SQL_NO_DATA) {
  }
  catalogue_ = names;
  return names;
}

bool OdbcServerSession::locate(const std::string& name) const {
  for (const std::string& entry : catalogue_) {
    if (entry == name) return true;
  }
  return false;
}

QueryResult OdbcServerSession::query(const std::string& statement) {
  QueryResult result;
  run(statement, timeoutSeconds_, {}, &result);
  return result;
}

void OdbcServerSession::execute(const std::string& statement) { run(statement, timeoutSeconds_, {}, nullptr); }

// A backup runs with no statement time-out. What the time-out measures differs
// between drivers: FreeTDS restarts it for every read from the socket (each
// poll for data waits up to the time-out afresh, src/tds/net.c tds_goodread),
// so it measures silence between packets; Microsoft documents it as the time
// to wait for the statement to execute, with nothing about packets restarting
// it. Either way it cannot tell a hanging server from a large database: with
// STATS = 10 a backup of several hours stays silent for tens of minutes between
// two progress messages, and a whole backup may rightly outlast any fixed
// limit. Logins and the catalogue query keep the time-out, so a server that
// hangs there is still given up on; a backup is given up on by its caller,
// through cancel().
void OdbcServerSession::executeLong(const std::string& statement, const MessageObserver& onMessage) {
  run(statement, 0, onMessage, nullptr);
}

void OdbcServerSession::beginCancellable(void* stmt) {
  std::lock_guard lock(cancelMutex_);
  running_ = stmt;
  cancelled_ = false;
}

bool OdbcServerSession::endCancellable() {
  std::lock_guard lock(cancelMutex_);
  running_ = nullptr;
  return cancelled_;
}

bool OdbcServerSession::cancelRequested() {
  std::lock_guard lock(cancelMutex_);
  return cancelled_;
}

void OdbcServerSession::cancel() {
  std::lock_guard lock(cancelMutex_);
  if (!running_) return;
  cancelled_ = true;
  // From another thread the driver sends the server an attention and returns;
  // the thread inside SQLExecDirect or SQLMoreResults then reads the server's
  // acknowledgement and returns (an error, HY008). The driver leaves this
  // call's own outcome on no handle that this thread could read safely.
  SQLCancel(running_);
}

void OdbcServerSession::run(const std::string& statement, int timeoutSeconds, const MessageObserver& onMessage,
                            QueryResult* result) {
  messages_.clear();
  closeQuery();
  odbc::Calls calls("The statement failed", onMessage);
  SQLHSTMT stmt = query(timeoutSeconds, calls);

  // Open to cancel() until the answer has been read to its end, whatever ends it.
  struct Cancellable {
    OdbcServerSession& session;
    bool ended = false;
    bool end() {
      ended = true;
      return session.endCancellable();
    }
    ~Cancellable() {
      if (!ended) session.endCancellable();
    }
  } cancellable{*this};
  beginCancellable(stmt);

  // SQLExecDirect returns after the first part of the answer; messages, errors and
  // results after a boundary (a BACKUP reports its progress that way, and its
  // failure after the progress) only come with SQLMoreResults. So drain it all,
  // and fail if any step failed. Each part's records reach the observer as the
  // part is read, while the server still works on the rest.
  //
  // A query's rows are read from the first part that has columns: parts
  // before it may be messages or counts only.
  bool rowsRead = result == nullptr;
  const auto readRows = [&]() -> bool {
    if (rowsRead) return true;
    try {
      rowsRead = ReadResultSet(stmt, *result, calls);
      return true;
    } catch (const ServerError&) {
      // calls holds the records of the call that failed (a fetch cut off by a
      // cancel or a dropped line); the rest is drained below all the same.
      rowsRead = true;
      return false;
    }
  };
  std::u16string text = Utf8ToUtf16(statement);
  int failuresInARow =
      calls.failed(SQLExecDirectW(stmt, Wide(text), static_cast<SQLINTEGER>(text.size())), SQL_HANDLE_STMT, stmt) ? 1
                                                                                                                  : 0;
  if (failuresInARow == 0 && !readRows()) failuresInARow = 1;
  // A second failure in a row means the statement is beyond rescue (a dropped
  // line, a time-out): the driver has nothing more to give.
  while (failuresInARow < 2) {
    if (cancelRequested()) {
      // cancel() may have come before the statement was sent, or between two
      // calls here, when the driver had nothing to cancel (Microsoft's drivers
      // ignore SQLCancel while no call is under way). Closing the statement
      // with the rest of its answer outstanding cancels it in every driver:
      // the server is told and the rest is dropped.
      calls.failed(SQLFreeStmt(stmt, SQL_CLOSE), SQL_HANDLE_STMT, stmt);
      break;
    }
    const SQLRETURN rc = SQLMoreResults(stmt);
    if (rc == SQL_NO_DATA) break;
    failuresInARow = calls.failed(rc, SQL_HANDLE_STMT, stmt) ? failuresInARow + 1 : 0;
    if (failuresInARow == 0 && !readRows()) failuresInARow = 1;
  }
  const bool cancelled = cancellable.end();
  messages_ = calls.records();
  if (cancelled) throw StatementCancelled("The statement was cancelled", calls.records());
  if (calls.anyFailed()) calls.raise();
}

}  // namespace bakwyn
