// How a session keeps its members' passwords in their records: as posted
// (every existing installation) or as a self-describing salted hash. Checks
// accept both forms, so a session can switch to hashing without a migration.
#pragma once

#include <string>
#include <string_view>

namespace member {

enum class PasswordStorage { kClear, kArgon2id };

// The session file's "PasswordHash" value.
PasswordStorage PasswordStorageFrom(std::string_view setting);

// The pw= value to store for a new password.
std::string StoredPassword(PasswordStorage storage, std::string_view password);

// Whether a posted password matches a stored pw= value of either form; a
// value in the clear is compared in constant time.
bool PasswordMatches(std::string_view stored, std::string_view password);

// Whether a stored value that matched should be rewritten in the session's
// form (a record still in the clear in a hashing session).
bool NeedsRehash(PasswordStorage storage, std::string_view stored);

}  // namespace member
