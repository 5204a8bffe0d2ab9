#include "records/SelfService.h"

#include <map>
#include <string>
#include <vector>

#include "credentials/Passwords.h"
#include "mail/Mail.h"
#include "platform/Digest.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/Sjis.h"
#include "records/PostIndex.h"
#include "records/Posting.h"
#include "records/ResetState.h"
#include "text/NameValueList.h"

namespace records {
namespace {

bool TokenMatches(const text::NameValueList& state, std::string_view token, std::int64_t now) {
  if (token.size() != kResetTokenBytes * 2) return false;
  for (const char c : token) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  const std::string_view stored = state.Value("token");
  const std::int64_t expires = StateNumber(state.Value("expires"));
  // Both hashes are 64 digits: the compare costs the same for every token.
  const bool same = credentials::ConstantTimeEquals(stored, platform::Sha256Hex(token));
  return same && stored.size() == 64 && expires >= now;
}

void RemoveIfPresent(const std::string& path) {
  if (text::FileExists(path)) platform::RemoveFile(path);
}

}  // namespace

std::string ReservedIdPath(std::string_view dir, std::string_view id) {
  return HiddenPath(dir, ".removed-", platform::AsciiUpperSjis(id));
}

ResetIssue IssueResetToken(std::string_view dir, std::string_view id, std::string_view token, std::int64_t now) {
  ResetIssue issue;
  if (!IsUsableName(id)) return issue;
  const std::string path = MemberRecordPath(dir, id);
  const platform::FileLock lock = LockMembersDirectory(dir);
  // Under the lock the record is there or really gone (every save holds it).
  if (!text::FileExists(path)) return issue;
  text::NameValueList record;
  record.LoadFromFile(path);
  if (record.Value("id") != id) return issue;
  issue.address = record.Value("mail");
  if (!mail::IsPlainMailAddress(issue.address)) {
    issue.result = ResetIssue::kNoAddress;
    return issue;
  }
  const std::string state_path = ResetStatePath(dir, id);
  std::vector<std::int64_t> sent = RecentMails(LoadState(state_path), now);
  // One mailbox named by many members (registrations cost nothing) gets no
  // more mail than one member's.
  const std::string recipient_path = RecipientStatePath(dir, issue.address);
  std::vector<std::int64_t> to_recipient = RecentMails(LoadState(recipient_path), now);
  if (sent.size() >= kResetMailsPerHour || to_recipient.size() >= kResetMailsPerHour) {
    issue.result = ResetIssue::kLimit;
    return issue;
  }
  sent.push_back(now);
  to_recipient.push_back(now);
  platform::ReplaceFile(recipient_path, SentText(to_recipient));
  platform::ReplaceFile(state_path, StateText(id, platform::Sha256Hex(token), now + kResetTokenSeconds, sent));
  issue.result = ResetIssue::kIssued;
  return issue;
}

bool ResetTokenValid(std::string_view dir, std::string_view id, std::string_view token, std::int64_t now) {
  if (!IsUsableName(id)) return false;
  return TokenMatches(LoadState(ResetStatePath(dir, id)), token, now);
}

ResetResult ResetPassword(std::string_view dir, std::string_view id, std::string_view token,
                          std::string_view stored_pw, std::int64_t now, std::string& address) {
  if (!IsUsableName(id)) return ResetResult::kInvalid;
  const std::string path = MemberRecordPath(dir, id);
  const std::string state_path = ResetStatePath(dir, id);
  const platform::FileLock lock = LockMembersDirectory(dir);
  const text::NameValueList state = LoadState(state_path);
  if (!TokenMatches(state, token, now) || !text::FileExists(path)) return ResetResult::kInvalid;
  text::NameValueList record;
  record.LoadFromFile(path);
  if (record.Value("id") != id) return ResetResult::kInvalid;
  record.SetValue("pw", stored_pw);
  const std::string saved = record.GetText();
  if (saved.size() > kMaxRecordBytes) return ResetResult::kTooLarge;
  platform::ReplaceFile(state_path, StateText(id, {}, 0, RecentMails(state, now)));
  platform::ReplaceFile(path, saved);
  address = record.Value("mail");
  return ResetResult::kDone;
}

RemovalResult RemoveOwnAccount(std::string_view dir, std::string_view id, std::string_view password,
                               std::string_view day) {
  if (!IsUsableName(id)) return RemovalResult::kNoMember;
  const std::string path = MemberRecordPath(dir, id);
  text::NameValueList record;
  if (!LoadRecordIfPresent(path, record)) return RemovalResult::kNoMember;
  const std::string checked(record.Value("pw"));
  if (!credentials::PasswordMatches(checked, password)) return RemovalResult::kWrongPassword;
  const platform::FileLock lock = LockMembersDirectory(dir);
  if (!text::FileExists(path)) return RemovalResult::kNoMember;
  record.LoadFromFile(path);
  if (record.Value("pw") != checked && !credentials::PasswordMatches(record.Value("pw"), password)) {
    return RemovalResult::kWrongPassword;
  }
  // Reserved before the record goes: a registration that finds the record
  // gone finds the reservation too.
  platform::ReplaceFile(ReservedIdPath(dir, id), "id=" + std::string(id) + "\r\nremoved=" + std::string(day) + "\r\n");
  platform::RemoveFile(path);
  RemoveIfPresent(ResetStatePath(dir, id));
  return RemovalResult::kRemoved;
}

bool IsIdReserved(std::string_view dir, std::string_view id) { return text::FileExists(ReservedIdPath(dir, id)); }

bool FreeReservedId(std::string_view dir, std::string_view id) {
  const std::string path = ReservedIdPath(dir, id);
  const platform::FileLock lock = LockMembersDirectory(dir);
  if (!text::FileExists(path)) return false;
  platform::RemoveFile(path);
  return true;
}

std::size_t RemovePostsOf(const std::string& upload_dir, std::string_view id) {
  const std::string dir = text::IncludeTrailingDelimiter(upload_dir);
  // The folder is read without the posts lock, which every post waits for:
  // only the member's own records are read again under it.
  std::map<std::string, std::vector<std::string>> images;  // name without extension -> stored files
  std::vector<std::string> records;
  for (const platform::DirectoryEntry& entry : platform::ListDirectory(dir)) {
    if (!entry.regular || entry.name.starts_with(".")) continue;
    if (entry.name.ends_with(".txt")) {
      records.push_back(entry.name);
    } else {
      images[entry.name.substr(0, entry.name.rfind('.'))].push_back(entry.name);
    }
  }
  auto posted_by_member = [&](const std::string& name) {
    if (!text::FileExists(dir + name)) return false;
    const std::string bytes = platform::ReadWholeFile(dir + name);
    if (!bytes.starts_with("<tslkeys>")) return false;  // the counter, or a file of the operator's
    text::NameValueList record;
    record.SetText(bytes);
    return record.Value("id") == id;
  };
  std::erase_if(records, [&](const std::string& name) { return !posted_by_member(name); });
  const platform::FileLock lock = LockPosts(dir);
  std::size_t removed = 0;
  for (const std::string& name : records) {
    if (!posted_by_member(name)) continue;
    // The image first: a record left alone is still listed by the
    // operator's tool, an image left alone would be served for ever.
    const std::string base = name.substr(0, name.size() - 4);
    if (const auto found = images.find(base); found != images.end()) {
      for (const std::string& image : found->second) platform::RemoveFile(dir + image);
    }
    RemoveSizedCopies(dir, base);
    platform::RemoveFile(dir + name);
    ++removed;
  }
  RemoveIfPresent(PostIndexPath(dir, id));
  return removed;
}

}  // namespace records
