// Member records: one name=value file per member in the session's members
// directory, and the two credential operations on a whole record.
#include "member/Members.h"

#include <string>

#include "platform/Files.h"
#include "text/NameValueList.h"

namespace member {

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

platform::FileLock LockMembersDirectory(std::string_view dir) {
  // A hidden name that no ID can produce as a record (records end in ".txt").
  return platform::FileLock::Acquire(platform::LockPathFor(text::IncludeTrailingDelimiter(dir) + "members"));
}

int CheckMemberPassword(std::string_view dir, std::string_view id, std::string_view password) {
  if (!IsUsableName(id)) return 2;
  const std::string path = MemberRecordPath(dir, id);
  if (!text::FileExists(path)) return 2;
  text::NameValueList record;
  record.LoadFromFile(path);
  return record.Value("pw") == password ? 0 : 1;
}

UpdateResult UpdateMemberRecord(std::string_view dir, std::string_view id, std::string_view password,
                                const std::function<void(text::NameValueList&)>& change) {
  if (!IsUsableName(id)) return UpdateResult::kRefused;
  const std::string path = MemberRecordPath(dir, id);
  if (!text::FileExists(path)) return UpdateResult::kRefused;
  // Without the lock, a change saved between our load and our save would be
  // overwritten by the record as we loaded it.
  const platform::FileLock lock = LockMembersDirectory(dir);
  if (!text::FileExists(path)) return UpdateResult::kRefused;
  text::NameValueList record;
  record.LoadFromFile(path);
  if (record.Value("pw") != password) return UpdateResult::kRefused;
  change(record);
  const std::string saved = record.GetText();
  if (saved.size() > kMaxRecordBytes) return UpdateResult::kTooLarge;
  platform::ReplaceFile(path, saved);
  return UpdateResult::kSaved;
}

UpdateResult ChangeMemberPassword(std::string_view dir, std::string_view id, std::string_view old_password,
                          std::string_view new_password) {
  return UpdateMemberRecord(dir, id, old_password,
                            [&](text::NameValueList& record) { record.SetValue("pw", new_password); });
}

}  // namespace member
