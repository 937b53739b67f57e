#pragma once
// Reads a BACKUP DATABASE statement back the way the server parses it: a
// bracketed name ("]]" stands for "]"), then TO DISK = one N'...' literal
// ("''" stands for "'"), then the fixed options.
#include <optional>
#include <string>

namespace bakwyn::test {

struct ParsedBackup {
  std::string database;
  std::string path;
};

inline std::optional<ParsedBackup> ParseBackupStatement(const std::string& sql) {
  const std::string head = "BACKUP DATABASE [";
  const std::string middle = "] TO  DISK = N'";
  const std::string tail = "' WITH  NOINIT ,  NOUNLOAD ,NAME = N'Vorda软件Bakwyn',SKIP ,  STATS = 10,  NOFORMAT";
  if (sql.compare(0, head.size(), head) != 0) return std::nullopt;
  ParsedBackup parsed;
  size_t i = head.size();
  for (;; ++i) {
    if (i >= sql.size()) return std::nullopt;
    if (sql[i] == ']') {
      if (i + 1 < sql.size() && sql[i + 1] == ']') {
        parsed.database += ']';
        ++i;
        continue;
      }
      break;
    }
    parsed.database += sql[i];
  }
  if (sql.compare(i, middle.size(), middle) != 0) return std::nullopt;
  for (i += middle.size();; ++i) {
    if (i >= sql.size()) return std::nullopt;
    if (sql[i] == '\'') {
      if (i + 1 < sql.size() && sql[i + 1] == '\'') {
        parsed.path += '\'';
        ++i;
        continue;
      }
      break;
    }
    parsed.path += sql[i];
  }
  if (sql.substr(i) != tail) return std::nullopt;
  return parsed;
}

}  // namespace bakwyn::test
