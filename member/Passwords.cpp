#include "member/Passwords.h"

namespace member {

PasswordStorage PasswordStorageFrom(std::string_view) { return PasswordStorage::kClear; }

std::string StoredPassword(PasswordStorage, std::string_view password) { return std::string(password); }

bool PasswordMatches(std::string_view stored, std::string_view password) { return stored == password; }

bool NeedsRehash(PasswordStorage, std::string_view) { return false; }

}  // namespace member
