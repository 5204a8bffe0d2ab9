// Operator's record operations; see Maintenance.h. They share the record
// paths, the lock and the size rule of Members.cpp with the site's commands.
#include "records/Maintenance.h"

#include <algorithm>
#include <cerrno>
#include <string>

#include "platform/Exception.h"
#include "platform/Files.h"
#include "records/SelfService.h"
#include "text/NameValueList.h"

namespace records {
namespace {

constexpr std::string_view kRecordExtension = ".txt";

// Loads, lets `change` alter and saves the record under the lock; kRefused
// when it is missing, and nothing is written when `change` returns false.
UpdateResult ChangeRecordLocked(std::string_view dir, std::string_view id,
                                const std::function<bool(text::NameValueList&)>& change) {
  if (!IsUsableName(id)) return UpdateResult::kRefused;
  const std::string path = MemberRecordPath(dir, id);
  const platform::FileLock lock = LockMembersDirectory(dir);
  if (!text::FileExists(path)) return UpdateResult::kRefused;
  text::NameValueList record;
  record.LoadFromFile(path);
  if (!change(record)) return UpdateResult::kSaved;
  const std::string saved = record.GetText();
  if (saved.size() > kMaxRecordBytes) return UpdateResult::kTooLarge;
  platform::ReplaceFile(path, saved);
  return UpdateResult::kSaved;
}

}  // namespace

std::vector<std::string> MemberIds(std::string_view dir) {
  std::vector<std::string> ids;
  for (const platform::DirectoryEntry& entry : platform::ListDirectory(text::IncludeTrailingDelimiter(dir))) {
    if (!entry.regular || !entry.name.ends_with(kRecordExtension)) continue;
    ids.push_back(entry.name.substr(0, entry.name.size() - kRecordExtension.size()));
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

RecordFault JudgeRecord(std::string_view id, std::string_view bytes) {
  if (!IsUsableName(id)) return RecordFault::kUnusableName;
  if (bytes.size() > kMaxRecordBytes) return RecordFault::kTooLarge;
  text::NameValueList record;
  record.SetText(bytes);
  if (record.IndexOfName("id") < 0) return RecordFault::kNoId;
  if (record.IndexOfName("pw") < 0) return RecordFault::kNoPassword;
  if (record.Value("id") != id) return RecordFault::kIdMismatch;
  return RecordFault::kNone;
}

UpdateResult SetMemberPassword(std::string_view dir, std::string_view id, std::string_view stored) {
  return ChangeRecordLocked(dir, id, [&](text::NameValueList& record) {
    record.SetValue("pw", stored);
    EndPendingResetLocked(dir, id);
    return true;
  });
}

bool RemoveMember(std::string_view dir, std::string_view id) {
  if (!IsUsableName(id)) return false;
  const std::string path = MemberRecordPath(dir, id);
  // Under the lock, no change of the site's can save the record again after
  // it is gone.
  const platform::FileLock lock = LockMembersDirectory(dir);
  if (!text::FileExists(path)) return false;
  platform::RemoveFile(path);
  if (text::FileExists(path)) throw platform::EFCreateError(path, EACCES);
  // A mailed link must not outlive the member it was sent to.
  if (const std::string pending = ResetStatePath(dir, id); text::FileExists(pending)) platform::RemoveFile(pending);
  return true;
}

void RehashPasswords(std::string_view dir, credentials::PasswordStorage storage,
                     const std::function<void(const std::string& id, RehashOutcome outcome)>& report) {
  for (const std::string& id : MemberIds(dir)) {
    if (!IsUsableName(id)) continue;
    RehashOutcome outcome = RehashOutcome::kAlreadyStored;
    const UpdateResult result = ChangeRecordLocked(dir, id, [&](text::NameValueList& record) {
      // A record without a pw= line matches only the empty password; a hash
      // of it would keep that, but there is nothing to protect.
      if (record.IndexOfName("pw") < 0) {
        outcome = RehashOutcome::kNoPassword;
        return false;
      }
      const std::string clear(record.Value("pw"));
      if (!credentials::NeedsRehash(storage, clear)) return false;
      record.SetValue("pw", credentials::StoredPassword(storage, clear));
      outcome = RehashOutcome::kRewritten;
      return true;
    });
    if (result == UpdateResult::kRefused) outcome = RehashOutcome::kGone;
    if (result == UpdateResult::kTooLarge) outcome = RehashOutcome::kTooLarge;
    report(id, outcome);
  }
}

}  // namespace records
