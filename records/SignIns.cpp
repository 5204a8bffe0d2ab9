#include "records/SignIns.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "platform/Digest.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "records/Members.h"
#include "records/ResetState.h"
#include "text/Fields.h"
#include "text/NameValueList.h"

namespace records {
namespace {

// Stamping the last use is a write; once an hour is close enough for a
// lifetime counted in days.
constexpr std::int64_t kUseStampSeconds = 3600;

bool IsToken(std::string_view token) {
  if (token.size() != kSignInTokenHexDigits) return false;
  for (const char c : token) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::string SignInPath(std::string_view dir, std::string_view token) {
  return text::IncludeTrailingDelimiter(dir) + ".signin-" + platform::Sha256Hex(token);
}

// What ties a sign-in to the password the member had when it began.
std::string PasswordDigest(std::string_view id, std::string_view stored) {
  std::string bytes(id);
  bytes.append("\n").append(stored);
  return platform::Sha256Hex(bytes);
}

std::optional<std::string> StoredPassword(std::string_view dir, std::string_view id) {
  if (!IsUsableName(id)) return std::nullopt;
  text::NameValueList record;
  if (!LoadRecordIfPresent(MemberRecordPath(dir, id), record) || record.IndexOfName("pw") < 0) return std::nullopt;
  return std::string(record.Value("pw"));
}

// A sign-in's state; empty when there is none. A sign-out on another web
// server may remove the file between any look and the read (a shared
// volume even shows it a moment longer): gone is no sign-in, never an
// error, and never waited for. The file is ours and small; more than
// kMaxSignInBytes is no sign-in of ours.
constexpr std::size_t kMaxSignInBytes = 4096;
text::NameValueList LoadSignIn(const std::string& path) {
  text::NameValueList state;
  std::int64_t start = 0;
  try {
    const std::optional<std::string> bytes = platform::ReadFileTail(path, -1, kMaxSignInBytes + 1, start);
    if (bytes && bytes->size() <= kMaxSignInBytes) state.SetText(*bytes);
  } catch (const platform::Exception&) {
  }
  return state;
}

std::string SignInText(std::string_view session, std::string_view id, std::string_view digest, std::int64_t created,
                       std::int64_t used) {
  text::NameValueList state;
  state.Add("session=" + std::string(session));
  state.Add("id=" + std::string(id));
  state.Add("pw=" + std::string(digest));
  state.Add("created=" + std::to_string(created));
  state.Add("used=" + std::to_string(used));
  return state.GetText();
}

// Sign-ins of `session` that are over go, and of the member's own the
// oldest beyond kMaxSignInsPerMember - 1, so the new one makes the cap:
// a sign-in whose cookie never comes back would otherwise stay for good.
// Under the members lock, as every removal: a stamp never brings one back.
void SweepSignIns(std::string_view dir, std::string_view session, std::string_view id, std::int64_t now,
                  const SignInLifetimes& lifetimes) {
  const std::string folder = text::IncludeTrailingDelimiter(dir);
  const platform::FileLock lock = LockMembersDirectory(dir);
  std::vector<std::pair<std::int64_t, std::string>> own;  // created, path
  for (const platform::DirectoryEntry& entry : platform::ListDirectory(folder)) {
    if (!entry.regular || !entry.name.starts_with(".signin-")) continue;
    const std::string path = folder + entry.name;
    const text::NameValueList state = LoadSignIn(path);
    if (state.Value("session") != session) continue;
    const std::int64_t created = StateNumber(state.Value("created"));
    const std::int64_t used = StateNumber(state.Value("used"));
    if (created < 0 || used < created || now - created >= lifetimes.absolute_seconds ||
        now - used >= lifetimes.idle_seconds) {
      platform::RemoveFile(path);
    } else if (state.Value("id") == id) {
      own.emplace_back(created, path);
    }
  }
  if (own.size() < kMaxSignInsPerMember) return;
  std::sort(own.begin(), own.end());
  for (std::size_t i = 0; i + kMaxSignInsPerMember <= own.size(); ++i) platform::RemoveFile(own[i].second);
}

}  // namespace

std::optional<std::string> BeginSignIn(std::string_view dir, std::string_view session, std::string_view id,
                                       std::int64_t now, const SignInLifetimes& lifetimes) {
  const std::optional<std::string> stored = StoredPassword(dir, id);
  if (!stored) return std::nullopt;
  SweepSignIns(dir, session, id, now, lifetimes);
  for (;;) {
    const std::string token = platform::RandomHex(kSignInTokenHexDigits / 2);
    // Readable by the site alone: it names who is signed in.
    if (platform::CreateFileExclusive(SignInPath(dir, token), SignInText(session, id, PasswordDigest(id, *stored), now, now),
                                      true)) {
      return token;
    }
  }
}

std::optional<std::string> SignedInMember(std::string_view dir, std::string_view session, std::string_view token,
                                          std::int64_t now, const SignInLifetimes& lifetimes) {
  if (!IsToken(token)) return std::nullopt;
  const std::string path = SignInPath(dir, token);
  const text::NameValueList state = LoadSignIn(path);
  if (state.Count() == 0) return std::nullopt;
  const std::string id(state.Value("id"));
  const std::int64_t created = StateNumber(state.Value("created"));
  const std::int64_t used = StateNumber(state.Value("used"));
  const std::optional<std::string> stored = StoredPassword(dir, id);
  const bool valid = state.Value("session") == session && created >= 0 && used >= created && stored &&
                     state.Value("pw") == PasswordDigest(id, *stored) && now - created < lifetimes.absolute_seconds &&
                     now - used < lifetimes.idle_seconds;
  if (!valid) {
    // Another session's sign-in stays theirs; one that is over goes.
    if (state.Value("session") == session) platform::RemoveFile(path);
    return std::nullopt;
  }
  if (now - used >= kUseStampSeconds) {
    // Under the members lock, as sign-outs are: a stamp must never bring
    // back a sign-in ended meanwhile.
    const platform::FileLock lock = LockMembersDirectory(dir);
    if (!text::FileExists(path)) return std::nullopt;
    try {
      platform::ReplaceFile(path, SignInText(session, id, state.Value("pw"), created, now));
    } catch (const platform::Exception&) {
      // An unstamped use only shortens the sign-in's idle time.
    }
  }
  return id;
}

void EndSignIn(std::string_view dir, std::string_view token) {
  if (!IsToken(token)) return;
  const std::string path = SignInPath(dir, token);
  if (!text::FileExists(path)) return;
  const platform::FileLock lock = LockMembersDirectory(dir);
  platform::RemoveFile(path);
}

std::string SignInFormToken(std::string_view token) {
  std::string bytes = "form\n";
  bytes.append(token);
  return platform::Sha256Hex(bytes);
}

}  // namespace records
