// The second page set, chosen per session ("Pages=modern"): pages a phone
// can read, with a status and a way on for every outcome. Each page is a
// template (pages/templates/*.html, compiled in as Shift_JIS) with named
// placeholders; a session may name a folder of its own templates. The
// module decides what a page says; the template decides how it looks.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "text/NameValueList.h"

namespace pages {

// What a request came to.
enum class Outcome {
  kRegistered, kPasswordChanged, kProfileSaved, kPhotoPosted,
  kNoData, kSessionMissing, kMembersDbMissing, kUnknownCommand, kBodyTooLarge,
  kBlank, kPasswordMismatch, kPasswordTooShort, kIdUnusable, kIdTooLong, kIdBlankAtEnds, kIdTaken,
  kRecordTooLarge, kUnknownMember, kWrongPassword, kWrongCurrentPassword, kNewPasswordMismatch,
  kFormExpired, kNoAttachedFile, kNotJpeg, kNoFreeFileName,
  kResetRequested, kResetLinkInvalid, kPasswordReset, kRemovalNotConfirmed, kAccountRemoved, kAccountRemovedPosts,
  kSignedIn, kSignedOut, kForeignRequest, kPostRemoved, kPostRetitled, kPhotoMissing, kSignInNeeded, kMailNeedsPassword, kPostNotRemoved,
};

// The HTTP status of an outcome's page: 200 success, 400 a request that
// cannot be used, 403 a wrong password or expired form, 404 no such member
// or session, 413 a body over the limit, 500 a site that is set up wrong,
// 503 no free name left for a post.
int OutcomeStatus(Outcome outcome);

enum class Page { kResult, kProfile, kForm, kFormEn, kReset, kMemberForm };

// A template: its file name (in pages/templates/ and in a Templates folder),
// the built-in bytes, and the placeholders it may hold.
struct TemplateKind {
  std::string_view file;
  std::string_view builtin;
  std::span<const std::string_view> names;
};
std::span<const TemplateKind> AllTemplates();

// Why a template cannot be used, "" when it can: a placeholder that is not
// one of `names`, bytes that are no Shift_JIS, or more than kMaxTemplateBytes.
inline constexpr std::size_t kMaxTemplateBytes = 256 * 1024;
std::string TemplateProblem(std::string_view templ, std::span<const std::string_view> names);

struct Slot {
  std::string_view name;
  std::string_view value;
};
// The template with each "{{name}}" replaced by that slot's value, in one
// pass over the template: a value is never searched again, so its bytes can
// never become a placeholder. Values go in as they are (the caller has
// escaped them); a placeholder without a slot is left as written. Searches
// walk Shift_JIS characters, so a "{" that ends a double-byte character
// starts nothing.
std::string FillTemplate(std::string_view templ, std::span<const Slot> slots);

// What every page of the set shows, each value ready for HTML.
struct PageContext {
  std::string site;        // SiteName (a default when unset)
  std::string home;        // SiteHome ("/" when unset)
  std::string style;       // the inline stylesheet, or the link to Stylesheet
  std::string templates;   // the Templates folder ending with "/", or empty
  std::string action;      // where forms post: SCRIPT_NAME?session=NAME
  std::string script;      // SCRIPT_NAME (or the fixed path) alone
  std::string session;     // the session name as an attribute value
  std::string session_url; // the session name percent-encoded
  std::string upload_url;  // UploadUrl ending with "/", or empty
  bool signin = false;     // members sign in (SignIn=1): the pages' words for it
};

// The template to fill: the Templates folder's file when there is a usable
// one; else the built-in one, and an unusable file is named in the error
// log (once: not again while the log's last entry names it).
std::string LoadTemplate(const PageContext& context, Page page);

struct PageLink {
  std::string_view label;  // HTML
  std::string href;        // HTML-ready address
};

// The result page of an outcome: heading, message ({{detail}} in it replaced
// by `detail`, HTML-ready; in the English message by `detail_en` where
// given), the links and then the home page's.
std::string OutcomePage(const PageContext& context, Outcome outcome, std::string_view detail,
                        std::span<const PageLink> links = {}, std::string_view detail_en = {});

// The public profile. `id` HTML-ready; record values are stored escaped;
// `menu`: the signed-in member's own menu (HTML), or the way to sign in.
std::string ProfileViewPage(const PageContext& context, std::string_view id, const text::NameValueList& record,
                            std::string_view posts, std::string_view more, std::string_view menu = {});

// A page of one of the program's own forms (signing in, posting when signed
// in): heading, the form (HTML), the links and then the home page's.
std::string MemberFormPage(const PageContext& context, std::string_view heading, std::string_view heading_en,
                           std::string_view form, std::span<const PageLink> links = {});

// The profile form, carrying `token` instead of the password, and `csrf`
// (HTML: the signed-in member's form token) where the template asks.
std::string ProfileEditPage(const PageContext& context, bool english, std::string_view id,
                            const text::NameValueList& record, std::string_view token, int minutes,
                            std::string_view csrf = {});

// The form for a new password that a mailed link opens; `id` as stored,
// `token` and `lang` checked plain.
std::string ResetFormPage(const PageContext& context, std::string_view id, std::string_view token,
                          std::string_view lang);

// "%XX" for every byte but ASCII letters, digits and "-._~"; a "%" or "+"
// is encoded twice, since a profile address is decoded twice.
std::string PercentEncode(std::string_view bytes, bool twice = false);

// SCRIPT_NAME?showuser=ID&session=NAME, HTML-ready.
std::string ProfileAddress(const PageContext& context, std::string_view id);

// SCRIPT_NAME?session=NAME&form=WHICH (one of the program's own forms),
// HTML-ready; `which` is one of the program's own plain names.
std::string FormAddress(const PageContext& context, std::string_view which);

// The n-th of a text's "\n"-separated lines (a heading and its English).
std::string_view LineOf(std::string_view text, int n);

}  // namespace pages
