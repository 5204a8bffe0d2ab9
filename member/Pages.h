// The pages the member service answers with, assembled from the texts in
// MemberTexts.texts. Values are inserted exactly as stored: they were
// HTML-escaped once, when the request was parsed.
#pragma once

#include <string>
#include <string_view>

namespace member {

std::string ErrorPage(std::string_view message);
std::string FileAcceptedPage();
std::string RegistrationAcceptedPage();

// The public profile of the member; empty when no record exists (or the
// directory is empty, or the ID is unusable).
std::string ProfilePage(std::string_view members_db, std::string_view id);

// The profile forms, pre-filled from the record; empty unless the record
// exists and its pw equals the password.
std::string ProfileFormPage(std::string_view session, std::string_view members_db, std::string_view id,
                            std::string_view password);
std::string ProfileFormPageE(std::string_view session, std::string_view members_db, std::string_view id,
                             std::string_view password);

}  // namespace member
