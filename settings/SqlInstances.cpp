#include "settings/SqlInstances.h"

#include <algorithm>
#include <optional>

#include "base/Text.h"

namespace bakwyn::settings {
namespace {

// Bytes compare unsigned, so that UTF-8 text sorts after ASCII whatever the
// signedness of char.
unsigned char Lower(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte >= 'A' && byte <= 'Z' ? static_cast<unsigned char>(byte - 'A' + 'a') : byte;
}

bool LessIgnoringAsciiCase(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](char x, char y) { return Lower(x) < Lower(y); });
}

bool IsDefault(const SqlInstance& instance) { return EqualsIgnoringAsciiCase(instance.name, kDefaultInstance); }

// A value SQL Server wrote that cannot be read as text (another type, no
// access) tells us nothing; the instance is still there.
std::string ReadOrEmpty(RegistryKey& key, const std::string& name) {
  try {
    return key.readString(name).value_or("");
  } catch (const RegistryError&) {
    return {};
  }
}

void Collect(Registry& view, std::vector<SqlInstance>& out) {
  const auto names = view.open(std::string(kSqlInstanceNamesKey), Access::ReadExisting);
  if (!names) return;
  for (const std::string& name : names->valueNames()) {
    const bool known = std::any_of(out.begin(), out.end(),
                                   [&](const SqlInstance& i) { return EqualsIgnoringAsciiCase(i.name, name); });
    if (known || name.empty()) continue;  // "" is the key's default value, not an instance
    SqlInstance instance{name, ReadOrEmpty(*names, name), {}};
    if (!instance.key.empty()) {
      // The instance's folders are in the same view as its entry in the list.
      const auto server = view.open(std::string(kSqlServerKey) + "\\" + instance.key + "\\MSSQLServer",
                                    Access::ReadExisting);
      if (server) instance.backupDirectory = ReadOrEmpty(*server, "BackupDirectory");
    }
    out.push_back(std::move(instance));
  }
}

// The part after the first "\" (the instance), or nullopt when there is none.
std::optional<std::string> InstancePart(const std::string& server) {
  const std::size_t separator = server.find('\\');
  if (separator == std::string::npos) return std::nullopt;
  return server.substr(separator + 1);
}

}  // namespace

std::vector<SqlInstance> FindSqlInstances(Registry& view64, Registry& view32) {
  std::vector<SqlInstance> out;
  Collect(view64, out);
  Collect(view32, out);
  std::stable_sort(out.begin(), out.end(), [](const SqlInstance& a, const SqlInstance& b) {
    if (IsDefault(a) != IsDefault(b)) return IsDefault(a);
    if (LessIgnoringAsciiCase(a.name, b.name)) return true;
    if (LessIgnoringAsciiCase(b.name, a.name)) return false;
    return std::lexicographical_compare(a.name.begin(), a.name.end(), b.name.begin(), b.name.end(),
                                        [](char x, char y) {
                                          return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
                                        });
  });
  return out;
}

std::string ServerFor(const std::string& computer, const SqlInstance& instance) {
  return IsDefault(instance) ? computer : computer + "\\" + instance.name;
}

std::string DefaultServer(const std::string& computer, const std::vector<SqlInstance>& instances,
                          const std::string& fieldText) {
  // Instance names never begin or end with a blank; a typed one may.
  const std::string typed = TrimControl(InstancePart(fieldText).value_or(""));
  // "COMPUTER\MSSQLSERVER" is the default instance under its own name; the bare
  // name reaches it without asking the Browser.
  if (!typed.empty()) return ServerFor(computer, SqlInstance{typed, {}, {}});
  if (instances.size() == 1 && !IsDefault(instances.front())) return ServerFor(computer, instances.front());
  return computer;
}

}  // namespace bakwyn::settings
