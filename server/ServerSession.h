#pragma once
// The one connection and query pair through which all server work passes.
// Every operation throws ServerError on any failure; callers decide what the
// user sees.
#include <cstdint>
#include <stdexcept>
#include <string>
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
  // long stretches meanwhile (a backup): no statement time-out. A session that
  // has no time-out to lift (a scripted one) may keep this default.
  virtual void executeLong(const std::string& statement) { execute(statement); }
  // Every diagnostic record of the last execute() or executeLong(): the
  // server's informational messages and, when it failed, the errors too.
  virtual const std::vector<Diagnostic>& messages() const = 0;
};

}  // namespace bakwyn
