// The second page set: templates, their filling and the pages built on them.
#include "pages/PageSet.h"

#include <algorithm>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "PageTemplates.h"
#include "PageTexts.h"
#include "pages/Pages.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/Sjis.h"
#include "records/Storage.h"
#include "text/Fields.h"

namespace pages {
namespace {

constexpr std::string_view kResultNames[] = {"site", "home", "style", "heading", "heading_en",
                                             "message", "message_en", "links"};
constexpr std::string_view kProfileNames[] = {"site", "home", "style", "id", "name", "country",
                                              "comment", "links", "posts", "more", "menu"};
constexpr std::string_view kFormNames[] = {"site",     "home",    "style", "action", "session",  "token",
                                           "minutes",  "profile", "id",    "realname", "country", "comment",
                                           "mail",     "urlname1", "url1", "urlname2", "url2",    "urlname3",
                                           "url3", "csrf"};

constexpr std::string_view kResetNames[] = {"site", "home", "style", "action", "session", "id", "token", "lang"};
constexpr std::string_view kMemberFormNames[] = {"site", "home", "style", "heading", "heading_en", "form", "links"};

const TemplateKind kTemplates[] = {
    {"result.html", templates::texts::Result, kResultNames},
    {"profile.html", templates::texts::Profile, kProfileNames},
    {"form.html", templates::texts::Form, kFormNames},
    {"form-en.html", templates::texts::FormEn, kFormNames},
    {"reset.html", templates::texts::Reset, kResetNames},
    {"member-form.html", templates::texts::MemberForm, kMemberFormNames},
};

// The longest placeholder name looked for: "{{" not closed within this many
// bytes is text, so a template of "{{{{..." costs one look per byte.
constexpr std::size_t kMaxNameBytes = 32;

// Calls found(start, end, name) for every "{{name}}" (a name of ASCII
// letters, digits and "_") and returns nothing; one pass over the text.
template <typename Found>
void ForEachPlaceholder(std::string_view templ, Found&& found) {
  for (std::size_t pos = 0; pos < templ.size(); pos += platform::CharLength(templ, pos)) {
    if (templ[pos] != '{' || pos + 1 >= templ.size() || templ[pos + 1] != '{') continue;
    std::size_t end = pos + 2;
    while (end < templ.size() && end - pos - 2 < kMaxNameBytes &&
           ((templ[end] >= 'a' && templ[end] <= 'z') || (templ[end] >= '0' && templ[end] <= '9') ||
            (templ[end] >= 'A' && templ[end] <= 'Z') || templ[end] == '_')) {
      ++end;
    }
    if (end == pos + 2 || templ.substr(end, 2) != "}}") continue;
    found(pos, end + 2, templ.substr(pos + 2, end - pos - 2));
    pos = end + 1;  // the loop's step passes the last "}"
  }
}

struct OutcomeText {
  Outcome outcome;
  int status;
  std::string_view text;  // four lines: heading, heading (English), message, message (English)
  // The words where members sign in; the texts above stay every other
  // site's.
  std::string_view signin_text = {};
};

constexpr OutcomeText kOutcomes[] = {
    {Outcome::kRegistered, 200, texts::PageRegistered, texts::PageSignInRegistered},
    {Outcome::kPasswordChanged, 200, texts::PagePasswordChanged, texts::PageSignInPasswordChanged},
    {Outcome::kProfileSaved, 200, texts::PageProfileSaved},
    {Outcome::kPhotoPosted, 200, texts::PagePhotoPosted},
    {Outcome::kNoData, 400, texts::PageNoData},
    {Outcome::kSessionMissing, 404, texts::PageSessionMissing},
    {Outcome::kMembersDbMissing, 500, texts::PageMembersDbMissing},
    {Outcome::kUnknownCommand, 400, texts::PageUnknownCommand},
    {Outcome::kBodyTooLarge, 413, texts::PageBodyTooLarge, texts::PageSignInBodyTooLarge},
    {Outcome::kBlank, 400, texts::PageBlank, texts::PageSignInBlank},
    {Outcome::kPasswordMismatch, 400, texts::PagePasswordMismatch, texts::PageSignInPasswordMismatch},
    {Outcome::kPasswordTooShort, 400, texts::PagePasswordTooShort},
    {Outcome::kIdUnusable, 400, texts::PageIdUnusable},
    {Outcome::kIdTooLong, 400, texts::PageIdTooLong},
    {Outcome::kIdBlankAtEnds, 400, texts::PageIdBlankAtEnds},
    {Outcome::kIdTaken, 400, texts::PageIdTaken, texts::PageSignInIdTaken},
    {Outcome::kRecordTooLarge, 400, texts::PageRecordTooLarge},
    {Outcome::kUnknownMember, 404, texts::PageUnknownMember},
    {Outcome::kWrongPassword, 403, texts::PageWrongPassword},
    {Outcome::kWrongCurrentPassword, 403, texts::PageWrongCurrentPassword},
    {Outcome::kNewPasswordMismatch, 400, texts::PageNewPasswordMismatch, texts::PageSignInNewPasswordMismatch},
    {Outcome::kFormExpired, 403, texts::PageFormExpired, texts::PageSignInFormExpired},
    {Outcome::kNoAttachedFile, 400, texts::PageNoAttachedFile, texts::PageSignInNoAttachedFile},
    {Outcome::kNotJpeg, 400, texts::PageNotJpeg, texts::PageSignInNotJpeg},
    {Outcome::kNoFreeFileName, 503, texts::PageNoFreeFileName},
    {Outcome::kResetRequested, 200, texts::PageResetRequested},
    {Outcome::kResetLinkInvalid, 403, texts::PageResetLinkInvalid},
    {Outcome::kPasswordReset, 200, texts::PagePasswordReset},
    {Outcome::kRemovalNotConfirmed, 400, texts::PageRemovalNotConfirmed, texts::PageSignInRemovalNotConfirmed},
    {Outcome::kAccountRemoved, 200, texts::PageAccountRemoved, texts::PageSignInAccountRemoved},
    {Outcome::kAccountRemovedPosts, 200, texts::PageAccountRemovedPosts, texts::PageSignInAccountRemovedPosts},
    {Outcome::kSignedIn, 200, texts::PageSignedIn},
    {Outcome::kSignedOut, 200, texts::PageSignedOut},
    {Outcome::kForeignRequest, 403, texts::PageForeignRequest},
    {Outcome::kPostRemoved, 200, texts::PagePostRemoved},
    {Outcome::kPostRetitled, 200, texts::PagePostRetitled},
    {Outcome::kPhotoMissing, 404, texts::PagePhotoMissing},
    {Outcome::kSignInNeeded, 403, texts::PageSignInNeeded},
    {Outcome::kMailNeedsPassword, 403, texts::PageMailNeedsPassword},
    {Outcome::kPostNotRemoved, 500, texts::PagePostNotRemoved},
};

const OutcomeText& TextOf(Outcome outcome) {
  for (const OutcomeText& t : kOutcomes) {
    if (t.outcome == outcome) return t;
  }
  return kOutcomes[0];
}

std::string Fill(const PageContext& context, Page page, std::initializer_list<Slot> slots) {
  std::string templ = LoadTemplate(context, page);
  std::vector<Slot> all = {{"site", context.site}, {"home", context.home}, {"style", context.style}};
  all.insert(all.end(), slots.begin(), slots.end());
  return FillTemplate(templ, all);
}

void AppendLink(std::string& out, std::string_view href, std::string_view label) {
  out.append("<li><a href=\"").append(href).append("\">").append(label).append("</a></li>\n");
}

}  // namespace

int OutcomeStatus(Outcome outcome) { return TextOf(outcome).status; }

std::string_view LineOf(std::string_view text, int n) {
  for (; n > 0; --n) text.remove_prefix(std::min(text.size(), text.find('\n') + 1));
  return text.substr(0, text.find('\n'));
}

std::span<const TemplateKind> AllTemplates() { return kTemplates; }

std::string TemplateProblem(std::string_view templ, std::span<const std::string_view> names) {
  if (templ.size() > kMaxTemplateBytes) return "larger than " + std::to_string(kMaxTemplateBytes) + " bytes";
  if (!platform::IsValidSjis(templ)) return "not Shift_JIS";
  std::string problem;
  ForEachPlaceholder(templ, [&](std::size_t, std::size_t, std::string_view name) {
    if (!problem.empty()) return;
    bool known = false;
    for (std::string_view n : names) known = known || n == name;
    if (!known) problem = "unknown placeholder {{" + std::string(name) + "}}";
  });
  return problem;
}

std::string FillTemplate(std::string_view templ, std::span<const Slot> slots) {
  std::string out;
  out.reserve(templ.size() + 1024);
  std::size_t copied = 0;
  ForEachPlaceholder(templ, [&](std::size_t start, std::size_t end, std::string_view name) {
    for (const Slot& slot : slots) {
      if (slot.name != name) continue;
      out.append(templ.substr(copied, start - copied)).append(slot.value);
      copied = end;
      return;
    }
  });
  out.append(templ.substr(copied));
  return out;
}

std::string LoadTemplate(const PageContext& context, Page page) {
  const TemplateKind& kind = kTemplates[static_cast<int>(page)];
  if (context.templates.empty()) return std::string(kind.builtin);
  const std::string path = context.templates + std::string(kind.file);
  if (!text::FileExists(path)) return std::string(kind.builtin);
  std::string problem;
  try {
    std::string own = platform::ReadWholeFile(path);
    problem = TemplateProblem(own, kind.names);
    if (problem.empty()) return own;
  } catch (const platform::Exception& e) {
    problem = e.Message();
  }
  // The log keeps one entry: rewriting it on every view would hide every
  // other error behind this one.
  const std::string entry = "template " + path + " not used: " + problem;
  std::string log;
  try {
    log = platform::ReadWholeFile(records::ProgramDir() + "error.txt");
  } catch (const platform::Exception&) {
  }
  if (log.find(entry) == std::string::npos) records::LogError(entry);
  return std::string(kind.builtin);
}

std::string OutcomePage(const PageContext& context, Outcome outcome, std::string_view detail,
                        std::span<const PageLink> links, std::string_view detail_en) {
  const OutcomeText& words = TextOf(outcome);
  const std::string_view text = context.signin && !words.signin_text.empty() ? words.signin_text : words.text;
  const Slot detail_slot[] = {{"detail", detail}};
  const Slot detail_en_slot[] = {{"detail", detail_en.empty() ? detail : detail_en}};
  const std::string message = FillTemplate(LineOf(text, 2), detail_slot);
  const std::string message_en = FillTemplate(LineOf(text, 3), detail_en_slot);
  std::string list;
  for (const PageLink& link : links) AppendLink(list, link.href, link.label);
  AppendLink(list, context.home, texts::PageLinkHome);
  return Fill(context, Page::kResult,
              {{"heading", LineOf(text, 0)}, {"heading_en", LineOf(text, 1)}, {"message", message},
               {"message_en", message_en}, {"links", list}});
}

std::string MemberFormPage(const PageContext& context, std::string_view heading, std::string_view heading_en,
                           std::string_view form, std::span<const PageLink> links) {
  std::string list;
  for (const PageLink& link : links) AppendLink(list, link.href, link.label);
  AppendLink(list, context.home, texts::PageLinkHome);
  return Fill(context, Page::kMemberForm,
              {{"heading", heading}, {"heading_en", heading_en}, {"form", form}, {"links", list}});
}

std::string ProfileViewPage(const PageContext& context, std::string_view id, const text::NameValueList& record,
                            std::string_view posts, std::string_view more, std::string_view menu) {
  // Only the links a member filled in; a script address is shown as text.
  std::string links;
  for (const char* n : {"1", "2", "3"}) {
    const std::string_view url = record.Value(std::string("url") + n);
    const std::string_view title = record.Value(std::string("urlname") + n);
    if (url.empty()) continue;
    const std::string_view label = title.empty() ? url : title;
    if (IsScriptAddress(url)) {
      links.append("<li>").append(label).append("</li>\n");
    } else {
      links.append("<li><a href=\"").append(url).append("\" rel=\"nofollow ugc\">").append(label).append("</a></li>\n");
    }
  }
  const std::string_view realname = record.Value("realname");
  return Fill(context, Page::kProfile,
              {{"id", id}, {"name", realname.empty() ? id : realname}, {"country", record.Value("country")},
               {"comment", record.Value("comment")}, {"links", links},
               {"posts", posts.empty() ? texts::PageNoPosts : posts}, {"more", more}, {"menu", menu}});
}

std::string ProfileEditPage(const PageContext& context, bool english, std::string_view id,
                            const text::NameValueList& record, std::string_view token, int minutes,
                            std::string_view csrf) {
  const std::string profile = ProfileAddress(context, id);
  const std::string minutes_text = std::to_string(minutes);
  return Fill(context, english ? Page::kFormEn : Page::kForm,
              {{"action", context.action},
               {"session", context.session},
               {"token", token},
               {"minutes", minutes_text},
               {"profile", profile},
               {"id", id},
               {"realname", record.Value("realname")},
               {"country", record.Value("country")},
               {"comment", record.Value("comment")},
               {"mail", record.Value("mail")},
               {"urlname1", record.Value("urlname1")},
               {"url1", record.Value("url1")},
               {"urlname2", record.Value("urlname2")},
               {"url2", record.Value("url2")},
               {"urlname3", record.Value("urlname3")},
               {"url3", record.Value("url3")},
               {"csrf", csrf}});
}

std::string ResetFormPage(const PageContext& context, std::string_view id, std::string_view token,
                          std::string_view lang) {
  return Fill(context, Page::kReset,
              {{"action", context.action}, {"session", context.session}, {"id", id}, {"token", token},
               {"lang", lang}});
}

std::string PercentEncode(std::string_view bytes, bool twice) {
  constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 3);
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b == '-' || b == '.' ||
        b == '_' || b == '~') {
      out += c;
      continue;
    }
    out += '%';
    if (twice && (b == '%' || b == '+')) out += "25";
    out += kHex[b >> 4];
    out += kHex[b & 0xF];
  }
  return out;
}

std::string ProfileAddress(const PageContext& context, std::string_view id) {
  // The profile view decodes the ID twice: "%" and "+" are encoded twice.
  // Everything else is percent-encoded once, so the address holds no "&"
  // or quote and needs no further escaping.
  return context.script + "?showuser=" + PercentEncode(id, true) + "&amp;session=" + context.session_url;
}

std::string FormAddress(const PageContext& context, std::string_view which) {
  return context.script + "?session=" + context.session_url + "&amp;form=" + std::string(which);
}

}  // namespace pages
