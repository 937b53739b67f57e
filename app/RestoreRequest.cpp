#include "app/RestoreRequest.h"

#include <charconv>
#include <vector>

#include "app/BackupStatus.h"
#include "base/Text.h"

namespace bakwyn::app {
namespace {

constexpr char kRequestValue[] = "RestoreRequest";
constexpr char kAnswerValue[] = "RestoreRequestAnswer";

// `text` cut at the first `count` separators; the last part keeps the rest.
std::vector<std::string_view> Split(std::string_view text, size_t count) {
  std::vector<std::string_view> parts;
  while (parts.size() < count) {
    const size_t bar = text.find('|');
    if (bar == std::string_view::npos) break;
    parts.push_back(text.substr(0, bar));
    text.remove_prefix(bar + 1);
  }
  parts.push_back(text);
  return parts;
}

template <typename Number>
std::optional<Number> ParseNumber(std::string_view text) {
  Number value{};
  if (text.empty() || text.size() > 19) return std::nullopt;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

bool IsId(std::string_view id) {
  if (id.empty() || id.size() > 64) return false;
  for (const char c : id) {
    const bool fine = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
    if (!fine) return false;
  }
  return true;
}

bool HasControl(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 0x20) return true;
  }
  return false;
}

std::optional<std::string> Read(settings::Registry& registry, const char* name) {
  auto key = registry.open(std::string(kStatusKey), settings::Access::ReadExisting);
  if (!key) return std::nullopt;
  try {
    return key->readString(name);
  } catch (const settings::RegistryError&) {
    return std::string("?");  // there, but no text: not a request either
  }
}

constexpr std::string_view kStates[] = {"started", "succeeded", "failed", "cancelled", "refused"};

}  // namespace

std::string FormatRestoreRequest(const RestoreRequest& request) {
  return "1|" + request.id + "|" + std::to_string(request.atMs) + "|" +
         (request.target == RestorePlan::Target::current ? "current" : "new") + "|" +
         std::to_string(request.position) + "|" + request.user + "|" + request.backupPath + "|" + request.newName;
}

std::optional<RestoreRequest> ParseRestoreRequest(std::string_view text) {
  const std::vector<std::string_view> parts = Split(text, 7);
  if (parts.size() != 8 || parts[0] != "1" || !IsId(parts[1])) return std::nullopt;
  RestoreRequest request;
  request.id = std::string(parts[1]);
  const auto at = ParseNumber<std::int64_t>(parts[2]);
  const auto position = ParseNumber<int>(parts[4]);
  if (!at || !position || *position < 1) return std::nullopt;
  request.atMs = *at;
  request.position = *position;
  if (parts[3] == "new") {
    request.target = RestorePlan::Target::newDatabase;
  } else if (parts[3] == "current") {
    request.target = RestorePlan::Target::current;
  } else {
    return std::nullopt;
  }
  request.user = std::string(parts[5]);
  request.backupPath = std::string(parts[6]);
  request.newName = std::string(parts[7]);
  if (request.backupPath.empty() || HasControl(request.backupPath) || HasControl(request.user) ||
      HasControl(request.newName))
    return std::nullopt;
  if (request.target == RestorePlan::Target::current && !request.newName.empty()) return std::nullopt;
  return request;
}

bool StoreRestoreRequest(settings::Registry& registry, const RestoreRequest& request) {
  return StoreStatusValue(registry, kRequestValue, FormatRestoreRequest(request));
}

TakenRestoreRequest TakeRestoreRequest(settings::Registry& registry) {
  const std::optional<std::string> stored = Read(registry, kRequestValue);
  if (!stored || stored->empty()) return {};
  // Gone before anything runs: a request runs once, or not at all.
  StoreStatusValue(registry, kRequestValue, "");
  return {true, ParseRestoreRequest(*stored)};
}

std::string FormatRestoreAnswer(const RestoreAnswer& answer) {
  // The cause, one line, comes last; a path cannot hold '|'.
  std::string cause = answer.cause;
  for (char& c : cause) {
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  }
  return answer.id + "|" + std::string(kStates[static_cast<size_t>(answer.state)]) + "|" +
         std::to_string(answer.milliseconds) + "|" + answer.safetyBackup + "|" + cause;
}

std::optional<RestoreAnswer> ParseRestoreAnswer(std::string_view text) {
  const std::vector<std::string_view> parts = Split(text, 4);
  if (parts.size() != 5 || !IsId(parts[0])) return std::nullopt;
  RestoreAnswer answer;
  answer.id = std::string(parts[0]);
  size_t state = 0;
  while (state < std::size(kStates) && kStates[state] != parts[1]) ++state;
  if (state == std::size(kStates)) return std::nullopt;
  answer.state = static_cast<RestoreAnswer::State>(state);
  const auto milliseconds = ParseNumber<std::int64_t>(parts[2]);
  if (!milliseconds || *milliseconds < 0) return std::nullopt;
  answer.milliseconds = *milliseconds;
  answer.safetyBackup = std::string(parts[3]);
  answer.cause = std::string(parts[4]);
  return answer;
}

bool StoreRestoreAnswer(settings::Registry& registry, const RestoreAnswer& answer) {
  return StoreStatusValue(registry, kAnswerValue, FormatRestoreAnswer(answer));
}

std::optional<RestoreAnswer> LoadRestoreAnswer(settings::Registry& registry) {
  const std::optional<std::string> stored = Read(registry, kAnswerValue);
  if (!stored) return std::nullopt;
  return ParseRestoreAnswer(*stored);
}

RestoreAnswer AnswerOf(const std::string& id, const RestoreResult& result) {
  RestoreAnswer answer;
  answer.id = id;
  answer.state = result.outcome == RestoreResult::Outcome::succeeded   ? RestoreAnswer::State::succeeded
                 : result.outcome == RestoreResult::Outcome::cancelled ? RestoreAnswer::State::cancelled
                                                                       : RestoreAnswer::State::failed;
  answer.milliseconds = result.milliseconds;
  answer.safetyBackup = result.safetyBackup;
  answer.cause = result.cause;
  return answer;
}

RestoreResult ResultOf(const RestoreAnswer& answer) {
  RestoreResult result;
  result.outcome = answer.state == RestoreAnswer::State::succeeded   ? RestoreResult::Outcome::succeeded
                   : answer.state == RestoreAnswer::State::cancelled ? RestoreResult::Outcome::cancelled
                                                                     : RestoreResult::Outcome::failed;
  result.milliseconds = answer.milliseconds;
  result.safetyBackup = answer.safetyBackup;
  result.cause = answer.cause;
  return result;
}

PlannedRestore PlanRequestedRestore(const BackupSettings& settings, ServerSession& session, FileSystem& files,
                                    const std::string& computer, const RestoreRequest& request,
                                    const LocalDateTime& now) {
  // Only a set the service lists itself: the request names a backup, it
  // never brings a path of its own to the server.
  const std::vector<RestoreChoice> choices = ListRestoreChoices(settings, session, files, computer, std::nullopt);
  const RestoreChoice* chosen = nullptr;
  for (const RestoreChoice& choice : choices) {
    if (choice.position != request.position) continue;
    if (choice.path == request.backupPath) {
      chosen = &choice;
      break;
    }
    if (!chosen && EqualsIgnoringAsciiCase(choice.path, request.backupPath)) chosen = &choice;
  }
  if (!chosen) {
    return {std::nullopt, "备份 " + request.backupPath + " (第" + std::to_string(request.position) +
                              "个备份集) 不在备份目录或第二目录的备份中"};
  }
  return PlanRestore(settings, session, *chosen, request.target, request.newName, now);
}

}  // namespace bakwyn::app
