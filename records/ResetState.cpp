// The hidden files of the members folder that count reset mails and hold a
// pending reset: "name=value" lines, replaced whole under the members lock.
#include "records/ResetState.h"

#include <string>
#include <vector>

#include "platform/Digest.h"
#include "platform/Files.h"
#include "platform/System.h"
#include "text/NameValueList.h"

namespace records {

std::string HiddenPath(std::string_view dir, std::string_view prefix, std::string_view key) {
  return text::IncludeTrailingDelimiter(dir) + std::string(prefix) + platform::Sha256Hex(key).substr(0, 32);
}

text::NameValueList LoadState(const std::string& path) {
  text::NameValueList state;
  if (text::FileExists(path)) state.LoadFromFile(path);
  return state;
}

std::int64_t StateNumber(std::string_view text) {
  if (text.empty() || text.size() > 18) return -1;
  std::int64_t n = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

std::vector<std::int64_t> RecentMails(const text::NameValueList& state, std::int64_t now) {
  std::vector<std::int64_t> recent;
  std::string_view sent = state.Value("sent");
  while (!sent.empty()) {
    const std::size_t blank = sent.find(' ');
    const std::int64_t t = StateNumber(sent.substr(0, blank));
    if (t >= 0 && t > now - 3600 && t <= now) recent.push_back(t);
    sent.remove_prefix(blank == std::string_view::npos ? sent.size() : blank + 1);
  }
  return recent;
}

std::string SentText(const std::vector<std::int64_t>& sent) {
  std::string text = "sent=";
  // Appended piece by piece: mingw-w64's GCC 12 warns (-Werror=restrict)
  // on a literal added to a temporary string here.
  for (std::size_t i = 0; i < sent.size(); ++i) {
    if (i > 0) text += ' ';
    text += std::to_string(sent[i]);
  }
  return text + "\r\n";
}

std::string StateText(std::string_view id, std::string_view token_hash, std::int64_t expires,
                      const std::vector<std::int64_t>& sent) {
  std::string text = "id=" + std::string(id) + "\r\n";
  if (!token_hash.empty()) {
    text += "token=" + std::string(token_hash) + "\r\nexpires=" + std::to_string(expires) + "\r\n";
  }
  return text + SentText(sent);
}

std::string ResetStatePath(std::string_view dir, std::string_view id) { return HiddenPath(dir, ".reset-", id); }

std::string RecipientStatePath(std::string_view dir, std::string_view address) {
  // Mail systems ignore the letter case of the domain, and nearly all of
  // the local part's: counted once, "Victim@X" is "victim@x".
  std::string folded(address);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return HiddenPath(dir, ".mailto-", folded);
}

void EndPendingResetLocked(std::string_view dir, std::string_view id) {
  const std::string path = ResetStatePath(dir, id);
  if (!text::FileExists(path)) return;
  const text::NameValueList state = LoadState(path);
  if (state.Value("token").empty()) return;
  platform::ReplaceFile(path, StateText(id, {}, 0, RecentMails(state, platform::UnixSeconds())));
}

}  // namespace records
