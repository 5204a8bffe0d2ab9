// The hidden state files of the members folder: a member's pending password
// reset (the SHA-256 of the mailed token, its expiry, when mails went out)
// and the reset mails of the last hour to one address. Each is a short
// name=value text named by a digest, so any ID or address gives a plain name.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "text/NameValueList.h"

namespace records {

// dir + prefix + 32 hex digits of the key's SHA-256.
std::string HiddenPath(std::string_view dir, std::string_view prefix, std::string_view key);

// ".reset-" + 32 hex digits of the ID's SHA-256, in the members folder.
std::string ResetStatePath(std::string_view dir, std::string_view id);
// ".mailto-" + 32 hex digits of the SHA-256 of the address with its ASCII
// letters lower-cased, in the members folder: the times of the reset mails
// of the last hour to that address, whichever members name it.
std::string RecipientStatePath(std::string_view dir, std::string_view address);

// The state as stored, or empty when there is none.
text::NameValueList LoadState(const std::string& path);
// A decimal number of at most 18 digits; -1 for anything else.
std::int64_t StateNumber(std::string_view text);
// The times of the mails of the last hour, oldest first.
std::vector<std::int64_t> RecentMails(const text::NameValueList& state, std::int64_t now);
// "sent=" and the times, one line.
std::string SentText(const std::vector<std::int64_t>& sent);
// A member's state: the ID, the token's hash and expiry (none when the hash
// is empty) and the times of the mails.
std::string StateText(std::string_view id, std::string_view token_hash, std::int64_t expires,
                      const std::vector<std::int64_t>& sent);

// Ends the member's pending reset, keeping when mails went out; the caller
// holds the members lock. A password or mail address changed by other
// means must leave no mailed link that could undo it.
void EndPendingResetLocked(std::string_view dir, std::string_view id);

}  // namespace records
