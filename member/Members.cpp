// Member records: one name=value file per member in the session's members
// directory, and the two credential operations on a whole record.
#include "member/Members.h"

#include <string>

#include "platform/Sjis.h"
#include "text/NameValueList.h"

namespace member {

bool IsUsableName(std::string_view name) {
  for (std::size_t pos = 0; pos < name.size();) {
    const char c = name[pos];
    // "/", NUL, CR and LF are refused wherever they stand: none of them is
    // ever the second byte of a real double-byte character, and the file
    // system reads "/" and NUL the same whatever byte comes before them.
    if (c == '/' || c == '\0' || c == '\r' || c == '\n') return false;
    const std::size_t length = platform::CharLength(name, pos);
    if (length == 2) {
      const char second = name[pos + 1];
      if (second == '/' || second == '\0' || second == '\r' || second == '\n') return false;
    } else if (c == '\\') {
      // A "\" of its own is the Windows delimiter; as the second byte of a
      // character such as 表 it is part of an ordinary name.
      return false;
    }
    pos += length;
  }
  return true;
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

bool UpdateMemberRecord(std::string_view dir, std::string_view id, std::string_view password,
                        const std::function<void(text::NameValueList&)>& change) {
  if (!IsUsableName(id)) return false;
  const std::string path = MemberRecordPath(dir, id);
  if (!text::FileExists(path)) return false;
  // Without the lock, a change saved between our load and our save would be
  // overwritten by the record as we loaded it.
  const platform::FileLock lock = LockMembersDirectory(dir);
  if (!text::FileExists(path)) return false;
  text::NameValueList record;
  record.LoadFromFile(path);
  if (record.Value("pw") != password) return false;
  change(record);
  record.SaveToFile(path);
  return true;
}

bool ChangeMemberPassword(std::string_view dir, std::string_view id, std::string_view old_password,
                          std::string_view new_password) {
  return UpdateMemberRecord(dir, id, old_password,
                            [&](text::NameValueList& record) { record.SetValue("pw", new_password); });
}

}  // namespace member
