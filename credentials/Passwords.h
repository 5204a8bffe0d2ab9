// How a session keeps its members' passwords in their records: as posted
// (every existing installation) or as a self-describing salted hash. Checks
// accept both forms, so a session can switch to hashing without a migration.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace credentials {

enum class PasswordStorage { kClear, kArgon2id };

// The session file's "PasswordHash" value. Empty (or absent) keeps
// passwords as posted; any other value hashes with Argon2id, so that a
// misspelt setting never leaves new passwords in the clear.
PasswordStorage PasswordStorageFrom(std::string_view setting);

// Whether the value is one the setting documents ("" or "argon2id"), for
// tools that point out a misspelt setting.
bool IsKnownPasswordHash(std::string_view setting);

// The pw= value to store for a new password. Hashing an empty password
// throws platform::Exception: no command stores one.
std::string StoredPassword(PasswordStorage storage, std::string_view password);

// Whether a posted password matches a stored pw= value of either form,
// compared in constant time. Only a well-formed Argon2id value that costs no
// more than the hashes StoredPassword writes is checked as a hash; any
// other value, one that merely begins with "$argon2" included, is a
// password in the clear. An empty password matches no hash.
bool PasswordMatches(std::string_view stored, std::string_view password);

// Whether a stored pw= value is a hash that PasswordMatches checks as one.
bool IsPasswordHash(std::string_view stored);

// Whether a stored pw= value begins like an Argon2 hash but is none that
// PasswordMatches checks as one (damaged, of another form, or costlier than
// ours): the value itself is then the password, which the operator should
// know.
bool LooksLikeUncheckedHash(std::string_view stored);

// Whether a stored value that matched should be rewritten in the session's
// form (a record still in the clear, and not empty, in a hashing session).
bool NeedsRehash(PasswordStorage storage, std::string_view stored);

// Equal in a time that depends only on the posted value's length.
bool ConstantTimeEquals(std::string_view stored, std::string_view posted);

}  // namespace credentials
