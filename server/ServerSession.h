#pragma once
// The one connection and query pair through which all server work passes.
// Every operation throws ServerError on any failure; callers decide what the
// user sees.
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace bakwyn {

struct Diagnostic {
  std::string sqlState;     // five characters, e.g. "42000"
  std::int32_t nativeError = 0;
  std::string message;      // UTF-8
};

class ServerError : public std::runtime_error {
 public:
  ServerError(const std::string& what, std::vector<Diagnostic> records)
      : std::runtime_error(what), records_(std::move(records)) {}
  const std::vector<Diagnostic>& records() const noexcept { return records_; }

 private:
  std::vector<Diagnostic> records_;
};

// Thrown by a statement that ended because cancel() was called while it ran.
// Its records are those the statement had left by then. A statement cancelled
// in its last moments may have completed on the server all the same: it is
// reported as cancelled, never as a success.
class StatementCancelled : public ServerError {
 public:
  using ServerError::ServerError;
};

// The rows of a statement that returns one result set: every value as text
// (a number in its decimal digits, NULL as empty), under its column's name.
struct QueryResult {
  std::vector<std::string> columns;
  std::vector<std::vector<std::string>> rows;
  // The index of the column named `name` in any letter case, or -1.
  int column(std::string_view name) const {
    for (size_t i = 0; i < columns.size(); ++i) {
      const std::string& c = columns[i];
      if (c.size() != name.size()) continue;
      bool same = true;
      for (size_t j = 0; j < c.size() && same; ++j) {
        const auto lower = [](char ch) { return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch; };
        same = lower(c[j]) == lower(name[j]);
      }
      if (same) return static_cast<int>(i);
    }
    return -1;
  }
};

// Receives a statement's diagnostic records one by one, as they arrive.
using MessageObserver = std::function<void(const Diagnostic&)>;

class ServerSession {
 public:
  virtual ~ServerSession() = default;

  // Closes the connection if open, builds the connection string, connects.
  virtual void open(const std::string& user, const std::string& password, const std::string& server) = 0;
  // Closes the query; runs the catalogue query; returns the "name" column, first row to last.
  virtual std::vector<std::string> listDatabases() = 0;
  // Whole-value, case-sensitive search of the last catalogue result.
  virtual bool locate(const std::string& name) const = 0;
  // Closes the query (drops any open result).
  virtual void closeQuery() = 0;
  // Sends one batch that returns no rows; fails if any part of it failed, or
  // when the server stays silent for longer than the statement time-out.
  virtual void execute(const std::string& statement) = 0;
  // The same for a statement that may rightly run for hours and stay silent for
  // long stretches meanwhile (a backup): no statement time-out. `onMessage` is
  // given each record of the statement (a backup's progress among them) on the
  // calling thread as soon as the session has it, while the statement still
  // runs; it must not throw. A session that has no time-out to lift and nothing
  // to hand over early (a scripted one) may keep this default, which hands the
  // records over once the statement has succeeded.
  virtual void executeLong(const std::string& statement, const MessageObserver& onMessage) {
    execute(statement);
    if (onMessage) {
      for (const Diagnostic& d : messages()) onMessage(d);
    }
  }
  void executeLong(const std::string& statement) { executeLong(statement, {}); }
  // Runs a statement that returns rows (a SELECT, RESTORE HEADERONLY or
  // FILELISTONLY) under the statement time-out and returns its first result
  // set, whole. Closes any open catalogue result first. Throws ServerError as
  // execute() does.
  virtual QueryResult query(const std::string& statement) = 0;
  // From any thread, at any time: makes the statement of execute(),
  // executeLong() or query() that runs now end soon with StatementCancelled (once the
  // server has acknowledged it). When none runs it does nothing, and the next
  // statement runs as usual. A cancel that comes while the statement is being
  // sent may find nothing to cancel yet: a caller that must be sure calls it
  // again until the statement has ended.
  virtual void cancel() {}
  // Every diagnostic record of the last execute(), executeLong() or query(): the
  // server's informational messages and, when it failed, the errors too.
  virtual const std::vector<Diagnostic>& messages() const = 0;
};

}  // namespace bakwyn
