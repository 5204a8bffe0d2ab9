// Profile editing: opening the forms (Japanese and English) with the
// password, saving the posted form, and the second set's profile view.
#include <string>
#include <string_view>
#include <optional>
#include <utility>

#include "MemberTexts.h"
#include "PageTexts.h"
#include "credentials/FormTokens.h"
#include "filter/Jpeg.h"
#include "member/WebModule1.h"
#include "pages/PageSet.h"
#include "pages/Pages.h"
#include "platform/Files.h"
#include "platform/Sjis.h"
#include "records/Members.h"
#include "records/PostIndex.h"
#include "records/Posting.h"
#include "records/Profiles.h"
#include "records/SignIns.h"
#include "text/Fields.h"
#include "text/NameValueList.h"

namespace member {
namespace {

// Posts on one page of the second set's profile.
constexpr std::size_t kPostsPerPage = 12;
// Where the frame header lies: within the first few hundred bytes of a
// copy (we wrote it), after at most a 64 KB Exif block in an original.
constexpr std::size_t kCopyHeadBytes = 2048;
constexpr std::size_t kOriginalHeadBytes = 72 * 1024;
// The width a post's picture takes: the page's column less its margins.
constexpr std::string_view kPictureSizes = "(min-width: 40rem) 37rem, calc(100vw - 3rem)";

// The size the picture shows at (turned as its Exif orientation says, as
// a browser turns it), from the file's first bytes alone.
// A file that cannot be read (taken down by its mode, held open on
// Windows) shows without a size, never ends the page.
std::optional<filter::FrameSize> ShownSize(const std::string& path, std::size_t head_bytes) {
  std::int64_t start = 0;
  std::optional<std::string> head;
  try {
    head = platform::ReadFileTail(path, static_cast<std::int64_t>(head_bytes), head_bytes, start);
  } catch (const platform::Exception&) {
    return std::nullopt;
  }
  if (!head) return std::nullopt;
  std::optional<filter::FrameSize> size = filter::ReadFrameSize(*head);
  if (size && filter::ExifOrientation(*head) >= 5) std::swap(size->width, size->height);
  return size;
}

// A post's picture: its sized copies when every one is there, the original
// as it came otherwise. The first picture of a page is its largest paint
// and loads at once, the others as they near.
std::string PictureTag(const pages::PageContext& context, const std::string& dir, const records::PostEntry& post,
                       bool first, std::string_view alt = {}) {
  const std::string original = context.upload_url + pages::PercentEncode(post.name + post.ext);
  std::string src = original, srcset;
  std::optional<filter::FrameSize> size;
  int listed_width = 0;
  for (const int side : records::kCopySides) {
    const std::optional<filter::FrameSize> copy =
        records::SizedCopyNamesFit(post.name) ? ShownSize(records::SizedCopyPath(dir, post.name, side), kCopyHeadBytes)
                                              : std::nullopt;
    if (!copy) {
      srcset.clear();
      size.reset();
      break;
    }
    if (!size) size = copy;  // the largest: its proportions are the most exact
    src = context.upload_url + std::string(records::kSizedFolder) + "/" +
          pages::PercentEncode(post.name + "-" + std::to_string(side) + ".jpg");
    // A photo smaller than a copy's size gives copies of one width: each
    // width is offered once, by the smallest file.
    if (copy->width == listed_width) srcset.erase(0, srcset.find(", ") == std::string::npos ? srcset.size() : srcset.find(", ") + 2);
    listed_width = copy->width;
    srcset.insert(0, src + " " + std::to_string(copy->width) + "w" + (srcset.empty() ? "" : ", "));
  }
  if (srcset.empty()) {
    src = original;
    size = ShownSize(dir + post.name + post.ext, kOriginalHeadBytes);
  }
  std::string item = "<img src=\"" + src + "\"";
  if (!srcset.empty()) item.append(" srcset=\"").append(srcset).append("\" sizes=\"").append(kPictureSizes).append("\"");
  if (size) {
    item.append(" width=\"").append(std::to_string(size->width)).append("\" height=\"");
    item.append(std::to_string(size->height)).append("\"");
  }
  item.append(" alt=\"").append(alt).append(first ? "\" fetchpriority=\"high\">" : "\" loading=\"lazy\">");
  return item;
}

// One post of the list, linked to `target` (the original, or where members
// sign in the post's own page), with its note where members sign in.
std::string PostItem(const pages::PageContext& context, const std::string& dir, const records::PostEntry& post,
                     std::string_view title, bool first, std::string_view target, std::string_view note,
                     std::string_view own_forms) {
  std::string item = "<li><a href=\"";
  item.append(target).append("\">").append(PictureTag(context, dir, post, first)).append(title).append("</a>");
  if (!note.empty()) item.append("<p class=\"note\">").append(note).append("</p>");
  item.append(own_forms).append("</li>\n");
  return item;
}

}  // namespace

std::string TWebModule1::CommandChangeProf1(bool english) {
  const std::string_view id = text::FieldView(PostedFields, "id");
  const std::string_view pw = text::FieldView(PostedFields, "pw");
  if (id.empty() || pw.empty()) {
    return RefuseBlank(english ? texts::IdPasswordRequiredE : texts::IdPasswordRequired, {"id", "pw"});
  }
  if (!records::IsUsableName(id) || !text::FileExists(records::MemberRecordPath(MembersDb, id))) {
    LogFailedLogin(id);
    return Refuse(pages::Outcome::kUnknownMember, english ? texts::ProfileIdMissingE : texts::ProfileIdMissing, id);
  }
  if (ModernPages) {
    // The form carries a token instead of the password: bound to the pw
    // value the record holds once any upgrade to a hash is saved.
    text::NameValueList record;
    if (!records::LoadRecordIfPresent(records::MemberRecordPath(MembersDb, id), record) || !credentials::PasswordMatches(record.Value("pw"), pw)) {
      LogFailedLogin(id);
      return Refuse(pages::Outcome::kWrongPassword, {});
    }
    if (credentials::NeedsRehash(Passwords, record.Value("pw"))) {
      records::UpgradeStoredPassword(MembersDb, id, record.Value("pw"), pw, Passwords);
      if (!records::LoadRecordIfPresent(records::MemberRecordPath(MembersDb, id), record)) return Refuse(pages::Outcome::kUnknownMember, {}, id);
    }
    const std::string token = credentials::MakeFormToken(MembersDb, SessionName, id, record.Value("pw"), platform::UnixSeconds());
    return pages::ProfileEditPage(Context(), english, id, record, token, static_cast<int>(credentials::kFormTokenSeconds / 60));
  }
  // A wrong password gives the empty page, not an error page.
  std::string page = english ? pages::ProfileFormPageE(SessionName, MembersDb, id, pw, Passwords)
                             : pages::ProfileFormPage(SessionName, MembersDb, id, pw, Passwords);
  if (page.empty()) LogFailedLogin(id);
  return page;
}

std::string TWebModule1::CommandChangeProf2() {
  const std::string_view id = text::FieldView(PostedFields, "id");
  const std::string_view pw = text::FieldView(PostedFields, "pw");
  records::ProfileValues values;
  values.realname = text::FieldView(PostedFields, "realname");
  values.mail = text::FieldView(PostedFields, "mail");
  values.comment = text::FieldView(PostedFields, "comment");
  values.url1 = text::FieldView(PostedFields, "url1");
  values.urlname1 = text::FieldView(PostedFields, "urlname1");
  values.url2 = text::FieldView(PostedFields, "url2");
  values.urlname2 = text::FieldView(PostedFields, "urlname2");
  values.url3 = text::FieldView(PostedFields, "url3");
  values.urlname3 = text::FieldView(PostedFields, "urlname3");
  values.country = text::FieldView(PostedFields, "country");

  // The second set's form proves the password with a token instead; a
  // page of the member's own sign-in proves it with the sign-in's.
  const bool signed_in = SignIn && !SignedInId.empty() && pw.empty() && id == SignedInId &&
                         PostedCsrf == records::SignInFormToken(SignInToken);
  const std::string_view token = ModernPages && pw.empty() ? text::FieldView(PostedFields, "token") : "";
  if (SignIn && !SignedInId.empty() && pw.empty() && token.empty() && !signed_in) {
    return Refuse(pages::Outcome::kForeignRequest, {});
  }
  if (id.empty() || (pw.empty() && token.empty() && !signed_in)) return RefuseBlank(texts::IdPasswordRequired, {"id", "pw"});
  if (signed_in) {
    // The mail address is where a new password goes: a sign-in alone (a
    // device left open, a cookie taken) must not move it.
    text::NameValueList record;
    if (records::LoadRecordIfPresent(records::MemberRecordPath(MembersDb, id), record) && record.Value("mail") != values.mail) {
      return Refuse(pages::Outcome::kMailNeedsPassword, {});
    }
  }
  if (!records::IsUsableName(id) || !text::FileExists(records::MemberRecordPath(MembersDb, id))) {
    LogFailedLogin(id);
    return Refuse(pages::Outcome::kUnknownMember, texts::ProfileIdMissing, id);
  }
  const std::int64_t now = platform::UnixSeconds();
  const records::PasswordCheck token_check = [&](std::string_view stored) {
    return signed_in || credentials::FormTokenValid(MembersDb, token, SessionName, id, stored, now);
  };
  switch (records::UpdateProfile(MembersDb, id, pw, values, Passwords,
                                 token.empty() && !signed_in ? nullptr : &token_check)) {
    case records::UpdateResult::kRefused:
      LogFailedLogin(id);
      return Refuse(token.empty() ? pages::Outcome::kWrongPassword : pages::Outcome::kFormExpired, texts::ProfileNotChanged);
    case records::UpdateResult::kTooLarge: return Refuse(pages::Outcome::kRecordTooLarge, texts::RecordTooLarge);
    case records::UpdateResult::kSaved: break;
  }
  if (!ModernPages) return pages::ProfilePage(MembersDb, id);
  return Succeed(pages::Outcome::kProfileSaved, {}, id);
}

std::string TWebModule1::ProfileView(std::string_view id_bytes, std::string_view before_text) {
  // An ID typed or pasted into the address bar arrives as UTF-8; records
  // are named in Shift_JIS. The bytes as given win when both name a record.
  std::string id(id_bytes);
  auto exists = [&](const std::string& candidate) {
    return !MembersDb.empty() && records::IsUsableName(candidate) && text::FileExists(records::MemberRecordPath(MembersDb, candidate));
  };
  if (!exists(id)) {
    if (const std::optional<std::string> sjis = platform::Cp932FromUtf8(id); sjis && *sjis != id && exists(*sjis)) {
      id = *sjis;
    }
  }
  std::string id_html = text::HtmlEscape(id);
  // Where members sign in, an ID is found by the spelling it was registered
  // with: a typed "a b" finds the "a&nbsp;b" its registration stored.
  if (SignIn && !exists(id)) {
    for (const std::string& typed : {id, platform::Cp932FromUtf8(id).value_or(id)}) {
      if (const std::string stored = text::EscapePostedValue(typed); stored != typed && exists(stored)) {
        id = id_html = stored;  // stored escaped: ready for HTML as it is
        break;
      }
    }
  }
  text::NameValueList record;
  if (UploadPath.empty()) return Refuse(pages::Outcome::kSessionMissing, {});
  if (!exists(id) || !records::LoadRecordIfPresent(records::MemberRecordPath(MembersDb, id), record)) {
    return Refuse(pages::Outcome::kUnknownMember, {}, id_html);
  }
  // Where the page of older posts ends: a decimal offset, anything else the
  // index's end.
  std::int64_t before = before_text.empty() || before_text.size() > 18 ? -1 : 0;
  for (const char c : before_text) {
    if (c < '0' || c > '9') before = -1;
    if (before >= 0) before = before * 10 + (c - '0');
  }
  const pages::PageContext context = Context();
  const records::PostPage posts = records::ReadPostPage(UploadPath, id, before, kPostsPerPage);
  std::string list, more;
  const std::string dir = text::IncludeTrailingDelimiter(UploadPath);
  const bool own = SignIn && !SignedInId.empty() && SignedInId == id;
  const std::string own_remove_form =
      own ? "<form method=\"post\" action=\"" + context.action + "\"><input type=\"hidden\" name=\"session\" value=\"" +
                context.session + "\"><input type=\"hidden\" name=\"command\" value=\"deletepost\">" +
                "<input type=\"hidden\" name=\"csrf\" value=\"" + records::SignInFormToken(SignInToken) + "\">"
          : std::string();
  for (const records::PostEntry& post : posts.posts) {
    // A title is cut to a length when it is listed, and the cut may end
    // inside a "<br>": what it broke is left out, so the link stays whole.
    // Where members sign in, title and note are the record's (a member may
    // change them), read from its head alone.
    records::PostWords words;
    if (SignIn) words = records::ReadPostWords(dir + post.name + std::string(records::kRecordExtension));
    // A name freed by a removal may since hold another member's post.
    if (words.found && !words.id.empty() && words.id != id) continue;
    std::string_view title = pages::WithoutCutEnd(words.found ? words.title : post.title);
    if (title.empty()) title = post.name;
    if (context.upload_url.empty()) {
      list.append("<li>").append(title).append("</li>\n");
      continue;
    }
    std::string forms;
    if (own) {
      // The member's own post: the way to change its words and to take it
      // back, this post named.
      const std::string file = post.name + post.ext;
      forms.append("<p><a href=\"").append(PhotoAddress(file)).append("#retitle\">");
      forms.append(pages::texts::PageLinkRetitle).append("</a></p>").append(own_remove_form);
      forms.append("<input type=\"hidden\" name=\"post\" value=\"").append(text::HtmlEscape(file)).append("\">");
      forms.append(pages::texts::PageRemovePostButton).append("</form>");
    }
    const std::string target = SignIn ? PhotoAddress(post.name + post.ext)
                                      : context.upload_url + pages::PercentEncode(post.name + post.ext);
    list += PostItem(context, dir, post, title, list.empty(), target, pages::WithoutCutEnd(words.note), forms);
  }
  if (posts.older > 0) {
    more = "<p><a href=\"" + pages::ProfileAddress(context, id) + "&amp;before=" + std::to_string(posts.older) + "\">" +
           std::string(pages::texts::PageLinkNext) + "</a></p>";
  }
  // The page names who is signed in: no cache keeps it; and one page
  // serves members signed in and not, told apart by the cookie.
  if (SignIn) ResponseHeaders.emplace_back("Vary", "Cookie");
  if (!SignedInId.empty()) ResponseHeaders.emplace_back("Cache-Control", "no-store");
  return pages::ProfileViewPage(context, id_html, record, list, more, ProfileMenu(id));
}

std::string TWebModule1::PhotoView(std::string_view file) {
  if (UploadPath.empty()) return Refuse(pages::Outcome::kSessionMissing, {});
  const pages::PageContext context = Context();
  const std::string dir = text::IncludeTrailingDelimiter(UploadPath);
  const std::size_t dot = file.rfind('.');
  const records::PostEntry post{std::string(file.substr(0, dot)),
                                dot == std::string_view::npos ? std::string() : std::string(file.substr(dot)), {}};
  // Only a post: a stored image beside its record, each a plain name.
  records::PostWords words;
  if (!post.name.empty() && post.ext != records::kRecordExtension &&
      platform::IsPlainFileName(post.name, records::kRecordExtension) && platform::IsPlainFileName(file) &&
      text::FileExists(dir + std::string(file))) {
    words = records::ReadPostWords(dir + post.name + std::string(records::kRecordExtension));
  }
  if (!words.found) return Refuse(pages::Outcome::kPhotoMissing, {});
  const std::string_view title = pages::WithoutCutEnd(words.title);
  const std::string_view note = pages::WithoutCutEnd(words.note);
  std::string body = "<ul class=\"posts\"><li>";
  // The heading names the photo; the picture says it again for those who
  // hear the page.
  body.append(context.upload_url.empty() ? std::string() : PictureTag(context, dir, post, true, title));
  if (!note.empty()) body.append("<p class=\"note\">").append(note).append("</p>");
  body.append("</li></ul>\n");
  if (SignIn && !SignedInId.empty() && SignedInId == words.id) {
    // The member's own post: its words to change, and the way to take it
    // back. A stored line break shows as a blank in a one-line field.
    auto field_value = [](std::string_view stored) {
      std::string value;
      for (std::size_t pos = 0; pos < stored.size();) {
        if (stored.substr(pos).starts_with("<br>")) {
          value += ' ';
          pos += 4;
        } else {
          value += stored[pos++];
        }
      }
      return value;
    };
    const std::string start = "<form method=\"post\" action=\"" + context.action +
                              "\">\n<input type=\"hidden\" name=\"session\" value=\"" + context.session +
                              "\">\n<input type=\"hidden\" name=\"csrf\" value=\"" +
                              records::SignInFormToken(SignInToken) + "\">\n<input type=\"hidden\" name=\"post\" value=\"" +
                              text::HtmlEscape(file) + "\">\n";
    body.append(start.substr(0, 5)).append(" id=\"retitle\"").append(start.substr(5));
    body.append("<input type=\"hidden\" name=\"command\" value=\"retitlepost\">\n");
    // The values as stored, not as listed: a save must not cut them.
    body.append(pages::texts::PageRetitleFields).append(field_value(words.title_whole)).append(pages::texts::PageRetitleNote);
    body.append(field_value(words.note_whole)).append(pages::texts::PageRetitleEnd).append("</form>\n");
    body.append(start).append("<input type=\"hidden\" name=\"command\" value=\"deletepost\">\n");
    body.append(pages::texts::PageRemovePostButton).append("\n</form>\n");
  }
  ResponseHeaders.emplace_back("Vary", "Cookie");
  if (!SignedInId.empty()) ResponseHeaders.emplace_back("Cache-Control", "no-store");
  std::vector<pages::PageLink> links = {{pages::texts::PageLinkProfile, pages::ProfileAddress(context, words.id)}};
  if (!context.upload_url.empty()) {
    links.push_back({pages::texts::PageLinkOriginal, context.upload_url + pages::PercentEncode(file)});
  }
  for (pages::PageLink& link : MenuLinks()) links.push_back(std::move(link));
  if (title.empty()) {
    return pages::MemberFormPage(context, pages::LineOf(pages::texts::PagePhotoHeading, 0),
                                 pages::LineOf(pages::texts::PagePhotoHeading, 1), body, links);
  }
  return pages::MemberFormPage(context, title, {}, body, links);
}

}  // namespace member
