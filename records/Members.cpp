// Member records: one name=value file per member in the session's members
// directory, and the two credential operations on a whole record.
#include "records/Members.h"

#include <string>

#include "credentials/Passwords.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/Sjis.h"
#include "records/ResetState.h"
#include "text/NameValueList.h"

namespace records {

bool IsUsableName(std::string_view name) {
  // Posted values are stored escaped, so a raw "<" or ">" in one can only be
  // the "<br>" of a line break: no ID or session name holds one.
  return platform::IsPlainFileName(name, ".txt") && name.find_first_of("<>") == std::string_view::npos;
}

std::string MemberRecordPath(std::string_view dir, std::string_view id) {
  std::string path = text::IncludeTrailingDelimiter(dir);
  path += id;
  path += ".txt";
  return path;
}

bool IdTakenInAnyCase(std::string_view dir, std::string_view id) {
  const std::string folded = platform::AsciiUpperSjis(id);
  const std::string_view ext = ".txt";
  for (const platform::DirectoryEntry& entry : platform::ListDirectory(text::IncludeTrailingDelimiter(dir))) {
    const std::string_view name = entry.name;
    if (!entry.regular || !name.ends_with(ext) || name.size() != id.size() + ext.size()) continue;
    if (platform::AsciiUpperSjis(name.substr(0, id.size())) == folded) return true;
  }
  return false;
}

platform::FileLock LockMembersDirectory(std::string_view dir) {
  // A hidden name that no ID can produce as a record (records end in ".txt").
  return platform::FileLock::Acquire(platform::LockPathFor(text::IncludeTrailingDelimiter(dir) + "members"));
}

namespace {

// A record another web server is replacing can be missing from this one's
// view for the moment of the rename (seen on GlusterFS). Every save holds
// the members lock throughout, so once the lock is ours the record is
// either there or really gone. Only a miss pays for the look, and a folder
// where no lock can be made has no save in progress either.
bool PresentOnceNoSaveIsUnderWay(const std::string& path) {
  // The record's name holds no delimiter: the last one ends the folder.
  const std::size_t slash = path.rfind(platform::kPathDelimiter);
  if (slash == std::string::npos) return false;
  try {
    const platform::FileLock lock = LockMembersDirectory(std::string_view(path).substr(0, slash + 1));
    return text::FileExists(path);
  } catch (const platform::Exception&) {
    return false;
  }
}

}  // namespace

bool LoadRecordIfPresent(const std::string& path, text::NameValueList& record) {
  if (!text::FileExists(path) && !PresentOnceNoSaveIsUnderWay(path)) return false;
  try {
    record.LoadFromFile(path);
  } catch (const platform::EFOpenError&) {
    if (!text::FileExists(path)) return false;
    throw;
  }
  return true;
}

namespace {

// As CheckMemberPassword answers; the record's pw value goes into `stored`.
// `check`, when given, judges the pw value in place of the password.
int MatchRecord(const std::string& path, std::string_view password, std::string& stored,
                const PasswordCheck* check = nullptr) {
  text::NameValueList record;
  if (!LoadRecordIfPresent(path, record)) return 2;
  stored = record.Value("pw");
  return (check != nullptr ? (*check)(stored) : credentials::PasswordMatches(stored, password)) ? 0 : 1;
}

// Load, check, change and save. `new_password`, when given, becomes the
// record's password; otherwise a password still in the clear is upgraded
// as `storage` asks.
UpdateResult UpdateRecord(std::string_view dir, std::string_view id, std::string_view password,
                          credentials::PasswordStorage storage, const std::string_view* new_password,
                          const std::function<void(text::NameValueList&)>& change, const PasswordCheck* check) {
  if (!IsUsableName(id)) return UpdateResult::kRefused;
  const std::string path = MemberRecordPath(dir, id);
  std::string checked;
  if (MatchRecord(path, password, checked, check) != 0) return UpdateResult::kRefused;
  // The pw value to store: a new hash costs as much as a check, so it is
  // made before the lock too. Empty: the pw line stays as it is.
  auto value_for = [&](std::string_view stored) {
    if (new_password != nullptr) return credentials::StoredPassword(storage, *new_password);
    // Without the password in hand there is nothing to upgrade to.
    if (check != nullptr) return std::string();
    return credentials::NeedsRehash(storage, stored) ? credentials::StoredPassword(storage, password) : std::string();
  };
  std::string pw_value = value_for(checked);
  // Without the lock, a change saved between our load and our save would be
  // overwritten by the record as we loaded it.
  const platform::FileLock lock = LockMembersDirectory(dir);
  if (!text::FileExists(path)) return UpdateResult::kRefused;
  text::NameValueList record;
  record.LoadFromFile(path);
  const std::string stored(record.Value("pw"));
  const std::string old_mail(record.Value("mail"));
  if (stored != checked) {
    // Changed since the check: checked again, under the lock this time.
    if (!(check != nullptr ? (*check)(stored) : credentials::PasswordMatches(stored, password))) return UpdateResult::kRefused;
    if (new_password == nullptr) pw_value = value_for(stored);
  }
  if (new_password != nullptr || !pw_value.empty()) record.SetValue("pw", pw_value);
  change(record);
  std::string saved = record.GetText();
  if (saved.size() > kMaxRecordBytes && new_password == nullptr && !pw_value.empty()) {
    // The longer hash alone must not make a save fail: the password stays
    // as it was.
    record.SetValue("pw", stored);
    saved = record.GetText();
  }
  if (saved.size() > kMaxRecordBytes) return UpdateResult::kTooLarge;
  if (new_password != nullptr || record.Value("mail") != old_mail) EndPendingResetLocked(dir, id);
  platform::ReplaceFile(path, saved);
  return UpdateResult::kSaved;
}

}  // namespace

int CheckMemberPassword(std::string_view dir, std::string_view id, std::string_view password,
                        credentials::PasswordStorage storage) {
  if (!IsUsableName(id)) return 2;
  std::string stored;
  if (const int result = MatchRecord(MemberRecordPath(dir, id), password, stored); result != 0) return result;
  UpgradeStoredPassword(dir, id, stored, password, storage);
  return 0;
}

UpdateResult UpdateMemberRecord(std::string_view dir, std::string_view id, std::string_view password,
                                const std::function<void(text::NameValueList&)>& change, credentials::PasswordStorage storage,
                                const PasswordCheck* check) {
  return UpdateRecord(dir, id, password, storage, nullptr, change, check);
}

UpdateResult ChangeMemberPassword(std::string_view dir, std::string_view id, std::string_view old_password,
                                  std::string_view new_password, credentials::PasswordStorage storage) {
  return UpdateRecord(dir, id, old_password, storage, &new_password, [](text::NameValueList&) {}, nullptr);
}

void UpgradeStoredPassword(std::string_view dir, std::string_view id, std::string_view checked,
                           std::string_view password, credentials::PasswordStorage storage) {
  if (!credentials::NeedsRehash(storage, checked) || !IsUsableName(id)) return;
  const std::string path = MemberRecordPath(dir, id);
  try {
    const std::string hashed = credentials::StoredPassword(storage, password);
    const platform::FileLock lock = LockMembersDirectory(dir);
    if (!text::FileExists(path)) return;
    text::NameValueList record;
    record.LoadFromFile(path);
    if (record.Value("pw") != checked) return;
    record.SetValue("pw", hashed);
    const std::string saved = record.GetText();
    if (saved.size() > kMaxRecordBytes) return;
    platform::ReplaceFile(path, saved);
  } catch (const platform::Exception&) {
    // The check has passed and the record still holds a valid password: the
    // request goes on, and the next login tries again.
  }
}

}  // namespace records
