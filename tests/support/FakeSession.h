#pragma once
// A server session that follows a script instead of a server, for the engine's
// and the handlers' tests.
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "server/ServerSession.h"

namespace bakwyn::testing {

// The one scripted server session of the tests. Records every call. `failOpen`/`failExecute` make the call throw a
// ServerError, as the real session does; `onExecute` runs inside execute (to
// let time pass or to look at the files while the "server" writes, or to
// say() the statement's messages). cancel() works as the real session's: it
// ends only a statement under way, with StatementCancelled; with
// `runUntilCancelled` the long statement runs until then.
class FakeSession final : public ServerSession {
 public:
  void open(const std::string& user, const std::string& password, const std::string& server) override {
    calls.push_back("open " + user + "|" + password + "|" + server);
    if (onOpen) onOpen();
    if (failOpen) throw ServerError("login failed", {{"28000", 18456, "Login failed for user."}});
  }
  std::vector<std::string> listDatabases() override {
    calls.push_back("listDatabases");
    listed = databases;
    return databases;
  }
  bool locate(const std::string& name) const override {
    for (const std::string& listedName : listed) {
      if (listedName == name) return true;
    }
    return false;
  }
  void closeQuery() override { calls.push_back("closeQuery"); }
  void execute(const std::string& statement) override {
    calls.push_back("execute");
    statements.push_back(statement);
    if (onExecute) onExecute(statement);
    if (failExecute) throw ServerError("backup failed", {{"42000", 3013, "BACKUP DATABASE is terminating abnormally."}});
  }
  // Recorded as "query"; `onQuery` gives the rows (or throws a ServerError).
  QueryResult query(const std::string& statement) override {
    calls.push_back("query");
    statements.push_back(statement);
    messages_.clear();
    return onQuery ? onQuery(statement) : headers(statement);
  }
  // Without `onQuery`, RESTORE HEADERONLY is answered as a server would after
  // the backups sent so far: one set of this program's name for each backup
  // statement (of the database or of its log) into that file, at positions 1, 2, ...; any other query has no rows.
  QueryResult headers(const std::string& statement) const {
    QueryResult result;
    const std::string prefix = "RESTORE HEADERONLY FROM DISK = ";
    if (statement.rfind(prefix, 0) != 0) return result;
    const std::string target = "TO  DISK = " + statement.substr(prefix.size()) + " ";
    result.columns = {"BackupName", "BackupType", "Position", "DatabaseName", "HasBackupChecksums"};
    int position = 0;
    for (const std::string& sent : statements) {
      if (sent.rfind("BACKUP ", 0) != 0 || sent.find(target) == std::string::npos) continue;
      result.rows.push_back({"Vorda软件Bakwyn", "1", std::to_string(++position), "",
                             sent.find("CHECKSUM") != std::string::npos ? "1" : "0"});
    }
    return result;
  }
  // Recorded apart from execute: the backup must run without the statement time-out.
  using ServerSession::executeLong;
  void executeLong(const std::string& statement, const MessageObserver& onMessage) override {
    calls.push_back("executeLong");
    statements.push_back(statement);
    messages_.clear();
    {
      std::lock_guard lock(mutex_);
      running_ = true;
      cancelled_ = false;
    }
    observer_ = onMessage;
    struct Ending {
      FakeSession& session;
      ~Ending() {
        std::lock_guard lock(session.mutex_);
        session.running_ = false;
        session.observer_ = {};
      }
    } ending{*this};
    if (onExecute) onExecute(statement);
    bool cancelled = false;
    {
      std::unique_lock lock(mutex_);
      if (runUntilCancelled) ended_.wait(lock, [this] { return cancelled_; });
      cancelled = cancelled_;
    }
    if (cancelled) throw StatementCancelled("cancelled", {{"HY008", 0, "Operation canceled"}});
    if (failExecute) throw ServerError("backup failed", {{"42000", 3013, "BACKUP DATABASE is terminating abnormally."}});
  }
  void cancel() override {
    std::lock_guard lock(mutex_);
    ++cancels_;
    if (!running_) return;
    cancelled_ = true;
    ended_.notify_all();
  }
  // Inside onExecute: one message of the long statement, handed over at once.
  void say(const Diagnostic& message) {
    messages_.push_back(message);
    if (observer_) observer_(message);
  }
  // How often cancel() was called, whether a statement ran or not.
  int cancels() {
    std::lock_guard lock(mutex_);
    return cancels_;
  }
  const std::vector<Diagnostic>& messages() const override { return messages_; }

  // The logins of every open, "user|password|server".
  std::vector<std::string> opens() const {
    std::vector<std::string> out;
    for (const std::string& call : calls) {
      if (call.rfind("open ", 0) == 0) out.push_back(call.substr(5));
    }
    return out;
  }

  std::vector<std::string> databases{"master", "shop", "商店"};  // the server's catalogue
  std::vector<std::string> listed;                               // the open catalogue result
  bool failOpen = false;
  bool failExecute = false;
  bool runUntilCancelled = false;
  std::function<void()> onOpen;
  std::function<void(const std::string&)> onExecute;
  std::function<QueryResult(const std::string&)> onQuery;
  std::vector<std::string> calls;
  std::vector<std::string> statements;

 private:
  std::vector<Diagnostic> messages_;
  MessageObserver observer_;
  // cancel() comes from other threads.
  std::mutex mutex_;
  std::condition_variable ended_;
  bool running_ = false;
  bool cancelled_ = false;
  int cancels_ = 0;
};

}  // namespace bakwyn::testing
