// What members do for themselves: ask for a new password by mail, set it
// with the mailed link, and remove their account.
#include <algorithm>
#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "MemberTexts.h"
#include "PageTexts.h"
#include "credentials/Passwords.h"
#include "mail/Mail.h"
#include "member/WebModule1.h"
#include "pages/PageSet.h"
#include "platform/Digest.h"
#include "platform/Exception.h"
#include "platform/Process.h"
#include "platform/Sjis.h"
#include "platform/System.h"
#include "records/Members.h"
#include "records/PostIndex.h"
#include "records/SelfService.h"
#include "records/Storage.h"
#include "text/Fields.h"
#include "text/NameValueList.h"

namespace member {
namespace {

// Where the mail is sent by the request's own process, every answer to a
// request for a mail comes this long after the request, whatever the ID:
// how long the mail program took must not tell whether a member exists or
// has an address.
constexpr int kResetAnswerMilliseconds = 300;

std::string SelfPage(std::string_view title, std::string_view body, std::initializer_list<pages::Slot> slots = {}) {
  const pages::Slot title_slot[] = {{"title", title}};
  return pages::FillTemplate(texts::SelfPageHead, title_slot) + pages::FillTemplate(body, std::span(slots.begin(), slots.size()));
}

// A stored value (escaped for pages) as the plain text of a mail, in UTF-8.
std::string MailText(std::string_view stored) {
  std::string plain;
  plain.reserve(stored.size());
  constexpr std::pair<std::string_view, char> kEntities[] = {
      {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&nbsp;", ' '}};
  for (std::size_t pos = 0; pos < stored.size();) {
    bool replaced = false;
    for (const auto& [entity, c] : kEntities) {
      if (stored.substr(pos, entity.size()) == entity) {
        plain += c;
        pos += entity.size();
        replaced = true;
        break;
      }
    }
    if (!replaced) plain += stored[pos++];
  }
  return platform::Utf8FromCp932(plain).value_or(std::string());
}

// How a mail greets the member: where members sign in by their name (its
// first line, at most kGreetingBytes), else by the ID.
constexpr std::size_t kGreetingBytes = 120;
std::string GreetingName(bool by_name, std::string_view members_db, std::string_view id) {
  text::NameValueList record;
  if (!by_name || !records::IsUsableName(id) || !records::LoadRecordIfPresent(records::MemberRecordPath(members_db, id), record)) {
    return MailText(id);
  }
  std::string_view name = record.Value("realname");
  name = name.substr(0, name.find("<br>"));
  std::size_t end = 0;
  while (end < name.size() && end + platform::CharLength(name, end) <= kGreetingBytes) end += platform::CharLength(name, end);
  const std::string text = MailText(name.substr(0, end));
  return text.empty() ? MailText(id) : text;
}

// The first line or the rest of a two-line text.
std::string_view Line(std::string_view text, int n) {
  const std::size_t end = text.find('\n');
  return n == 0 ? text.substr(0, end) : text.substr(end + 1);
}

}  // namespace

std::string TWebModule1::CommandForgotPw() {
  if (!PasswordReset) return Refuse(pages::Outcome::kUnknownCommand, {});
  const auto started = std::chrono::steady_clock::now();
  const std::string_view id = text::FieldView(PostedFields, "id");
  if (id.empty()) return RefuseBlank(texts::Blank, {"id"});
  const bool english = text::FieldView(PostedFields, "lang") == "en";
  LogAuthEvent("password reset", id);
  // Drawn here for every ID, so that a copied process starts from a random
  // state no other copy had (a reused process number gives no repeated
  // token), and the request's own work is the same for members and others.
  std::string token;
  try {
    token = platform::RandomHex(records::kResetTokenBytes);
  } catch (const platform::Exception& e) {
    records::LogError("password reset: " + e.Message());
  }
  // Whatever comes after the token depends on the ID: the record, the
  // limits and the mail program's pace. `detach_after_ms` < 0: the mail
  // program is waited for (at most its limit, then stopped).
  auto mail_link = [&](int detach_after_ms) {
    try {
      if (token.empty()) return;
      if (SiteUrl.empty() || !mail::IsPlainMailAddress(MailFrom)) {
        records::LogError("password reset: config.txt needs siteurl= and a plain mailfrom= address; no mail sent");
        return;
      }
      const records::ResetIssue issue = records::IssueResetToken(MembersDb, id, token, platform::UnixSeconds());
      if (issue.result == records::ResetIssue::kNoAddress && !issue.address.empty()) {
        records::LogError("password reset: the mail address of a member of session " + SessionName +
                 " is not one plain address; no mail sent");
      }
      if (issue.result != records::ResetIssue::kIssued) return;
      std::string link = SiteUrl + (SiteUrl.find('?') == std::string::npos ? "?" : "&");
      link += "session=" + pages::PercentEncode(SessionName) + "&resetid=" + pages::PercentEncode(id) + "&token=" + token;
      if (english) link += "&lang=en";
      const std::string id_text = GreetingName(SignIn, MembersDb, id);
      const std::string site = SiteName.empty() ? SiteUrl : MailText(SiteName);
      const pages::Slot slots[] = {{"id", id_text}, {"site", site}, {"link", link}};
      const std::string subject = MailText(english ? texts::MailResetSubjectE : texts::MailResetSubject);
      const std::string_view english_body = SignIn ? texts::MailResetBodySignInE : texts::MailResetBodyE;
      const std::string body = pages::FillTemplate(MailText(english ? english_body : texts::MailResetBody), slots);
      std::string why;
      if (!mail::SendMail(SendMailProgram, MailFrom, mail::BuildMail({MailFrom, issue.address, subject, body}, platform::UnixSeconds()),
                    why, detach_after_ms)) {
        records::LogError("password reset: " + why);
      }
    } catch (const platform::Exception& e) {
      // The member's answer is the same whatever happened; the operator
      // reads what went wrong in the error log.
      records::LogError("password reset: " + e.Message());
    }
  };
  // The rest goes to a process of its own: the answer leaves at once, for
  // every ID alike, and a resident process serves the next request instead
  // of waiting out a floor. That process begins at a random moment within
  // the floor, so that the load a mail puts on the machine falls on
  // whichever requests come then, not on the next one.
  const auto detached = [&] {
    platform::SleepMilliseconds(Rng.Below(kResetAnswerMilliseconds));
    mail_link(-1);
  };
  if (!platform::StartDetached(detached)) {
    // Done here, the answer comes kResetAnswerMilliseconds after the
    // request whatever the ID: a mail program still busy then is left to
    // finish alone.
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    mail_link(std::max(0, kResetAnswerMilliseconds - static_cast<int>(spent.count())));
    const auto done = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    if (done.count() < kResetAnswerMilliseconds) {
      platform::SleepMilliseconds(kResetAnswerMilliseconds - static_cast<int>(done.count()));
    }
  }
  if (!ModernPages) return SelfPage("Password reset", texts::ResetRequestedBody);
  PageStatus = pages::OutcomeStatus(pages::Outcome::kResetRequested);
  return pages::OutcomePage(Context(), pages::Outcome::kResetRequested, {});
}

std::string TWebModule1::ResetForm(std::string_view id, std::string_view token, std::string_view lang) {
  if (MembersDb.empty()) return Refuse(pages::Outcome::kSessionMissing, texts::SessionMissing);
  // A session name that no form could post (a stored one is escaped) is
  // never put into the page.
  if (SessionName.find_first_of("\"<>") != std::string::npos ||
      !records::ResetTokenValid(MembersDb, id, token, platform::UnixSeconds())) {
    return Refuse(pages::Outcome::kResetLinkInvalid, texts::ResetLinkInvalid);
  }
  const std::string_view plain_lang = lang == "en" ? "en" : "";
  // The token matched the member's pending one, so `id` is a stored ID,
  // escaped as every stored value.
  if (ModernPages) return pages::ResetFormPage(Context(), id, token, plain_lang);
  const pages::PageContext context = Context();
  return SelfPage("New password", texts::ResetFormBody,
                  {{"action", context.action}, {"session", context.session}, {"id", id}, {"token", token},
                   {"lang", plain_lang}});
}

std::string TWebModule1::CommandResetPw() {
  if (!PasswordReset) return Refuse(pages::Outcome::kUnknownCommand, {});
  const std::string_view id = text::FieldView(PostedFields, "id");
  const std::string_view token = text::FieldView(PostedFields, "token");
  const std::string_view pw1 = text::FieldView(PostedFields, "pw1");
  const std::string_view pw2 = text::FieldView(PostedFields, "pw2");
  const bool english = text::FieldView(PostedFields, "lang") == "en";
  if (id.empty() || token.empty() || pw1.empty() || pw2.empty()) return RefuseBlank(texts::Blank, {"pw1", "pw2"});
  if (pw1 != pw2) return Refuse(pages::Outcome::kNewPasswordMismatch, texts::NewPasswordMismatch);
  if (pw1.size() < records::kMinPasswordLength) return Refuse(pages::Outcome::kPasswordTooShort, texts::PasswordTooShort);
  const std::int64_t now = platform::UnixSeconds();
  // Checked before the costly hash, and again under the lock.
  if (!records::ResetTokenValid(MembersDb, id, token, now)) {
    LogFailedLogin(id);
    return Refuse(pages::Outcome::kResetLinkInvalid, texts::ResetLinkInvalid);
  }
  std::string address;
  switch (records::ResetPassword(MembersDb, id, token, credentials::StoredPassword(Passwords, pw1), now, address)) {
    case records::ResetResult::kInvalid:
      LogFailedLogin(id);
      return Refuse(pages::Outcome::kResetLinkInvalid, texts::ResetLinkInvalid);
    case records::ResetResult::kTooLarge: return Refuse(pages::Outcome::kRecordTooLarge, texts::RecordTooLarge);
    case records::ResetResult::kDone: break;
  }
  LogActivity("password set by reset", id);
  // The confirmation tells a member whose mailbox was used by someone else.
  if (mail::IsPlainMailAddress(address) && mail::IsPlainMailAddress(MailFrom)) {
    const std::string id_text = GreetingName(SignIn, MembersDb, id);
    const std::string site = SiteName.empty() ? SiteUrl : MailText(SiteName);
    const pages::Slot slots[] = {{"id", id_text}, {"site", site}};
    const std::string body = pages::FillTemplate(MailText(english ? texts::MailChangedBodyE : texts::MailChangedBody), slots);
    const std::string subject = MailText(english ? texts::MailChangedSubjectE : texts::MailChangedSubject);
    std::string why;
    if (!mail::SendMail(SendMailProgram, MailFrom, mail::BuildMail({MailFrom, address, subject, body}, platform::UnixSeconds()), why)) {
      records::LogError("password reset: " + why);
    }
  }
  std::vector<pages::PageLink> next;
  if (SignIn) {
    const pages::PageContext context = Context();
    next.push_back({pages::texts::PageLinkSignIn, pages::FormAddress(context, "signin")});
  }
  return Succeed(pages::Outcome::kPasswordReset, SelfPage("Password reset", texts::PasswordResetBody), id, {}, next);
}

std::string TWebModule1::CommandRemoveSelf() {
  if (!SelfRemoval) return Refuse(pages::Outcome::kUnknownCommand, {});
  const std::string_view id = text::FieldView(PostedFields, "id");
  const std::string_view pw = text::FieldView(PostedFields, "pw");
  if (id.empty() || pw.empty()) return RefuseBlank(texts::IdPasswordRequired, {"id", "pw"});
  if (text::FieldView(PostedFields, "confirm").empty()) {
    return Refuse(pages::Outcome::kRemovalNotConfirmed, texts::RemovalNotConfirmed);
  }
  switch (records::RemoveOwnAccount(MembersDb, id, pw, Day)) {
    case records::RemovalResult::kNoMember:
      LogFailedLogin(id);
      return Refuse(pages::Outcome::kUnknownMember, texts::IdDoesNotExist, id);
    case records::RemovalResult::kWrongPassword:
      LogFailedLogin(id);
      return Refuse(pages::Outcome::kWrongPassword, texts::PasswordWrong);
    case records::RemovalResult::kRemoved: break;
  }
  LogActivity("removed", id);
  std::string count;
  try {
    // Where members sign in, the form lets the member choose; elsewhere
    // the session decides.
    const bool take_posts = RemoveOwnPosts && (!SignIn || !text::FieldView(PostedFields, "posts").empty());
    if (take_posts && !UploadPath.empty()) {
      count.assign(1, '?');  // not = "?": mingw's GCC 12 warns falsely (-Wrestrict) there
      count = std::to_string(records::RemovePostsOf(UploadPath, id));
    } else {
      records::RemovePostIndex(UploadPath, id);
    }
  } catch (const platform::Exception& e) {
    // The account is gone either way; what is left of the posts the
    // operator removes (orvalengate-admin posts --member).
    records::LogError("removal of the posts of a member of session " + SessionName + ": " + e.Message());
  }
  const pages::Outcome outcome = count.empty() ? pages::Outcome::kAccountRemoved : pages::Outcome::kAccountRemovedPosts;
  if (SignIn && !SignInToken.empty()) {
    // The record is gone, and with it every sign-in; this device forgets
    // its cookie too.
    EndSignInHere();
  }
  if (ModernPages) {
    PageStatus = pages::OutcomeStatus(outcome);
    return pages::OutcomePage(Context(), outcome, count);
  }
  const pages::Slot detail[] = {{"detail", count}};
  const std::string message = pages::FillTemplate(count.empty() ? texts::RemovedPostsStay : texts::RemovedPostsToo, detail);
  return SelfPage("Removal acceptance", texts::RemovedBody,
                  {{"message", Line(message, 0)}, {"message_en", Line(message, 1)}});
}

}  // namespace member
