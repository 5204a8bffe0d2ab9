// The pages the member service answers with, assembled from the texts in
// MemberTexts.texts. Values are inserted exactly as stored: they were
// HTML-escaped once, when the request was parsed.
#pragma once

#include <string>
#include <string_view>

#include "credentials/Passwords.h"

namespace pages {

std::string ErrorPage(std::string_view message);

// True when a browser would run the address as script (javascript:,
// vbscript:, data:), however it is blanked or spelt.
bool IsScriptAddress(std::string_view address);

// The stored text without what a cut to a length left broken at its end: a
// "<br" without its ">", an "&amp" without its ";", a Shift_JIS lead byte
// without its trail byte. Written out as it is, a "<br" would take the
// markup after it into the tag.
std::string_view WithoutCutEnd(std::string_view stored);
std::string FileAcceptedPage();
std::string RegistrationAcceptedPage();

// The public profile of the member; empty when no record exists (or the
// directory is empty, or the ID is unusable).
std::string ProfilePage(std::string_view members_db, std::string_view id);

// The profile forms, pre-filled from the record, the password box with the
// posted password; empty unless the record exists and its pw matches the
// password (a match in the clear is upgraded as `storage` asks).
std::string ProfileFormPage(std::string_view session, std::string_view members_db, std::string_view id,
                            std::string_view password, credentials::PasswordStorage storage = credentials::PasswordStorage::kClear);
std::string ProfileFormPageE(std::string_view session, std::string_view members_db, std::string_view id,
                             std::string_view password, credentials::PasswordStorage storage = credentials::PasswordStorage::kClear);

}  // namespace pages
