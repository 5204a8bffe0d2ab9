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

// One post of the list: its sized copies when every one is there, the
// original as it came otherwise; linked to the original. The first picture
// is the page's largest paint and loads at once, the others as they near.
std::string PostItem(const pages::PageContext& context, const std::string& dir, const records::PostEntry& post,
                     std::string_view title, bool first, std::string_view remove_form) {
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
  std::string item = "<li><a href=\"" + original + "\"><img src=\"" + src + "\"";
  if (!srcset.empty()) item.append(" srcset=\"").append(srcset).append("\" sizes=\"").append(kPictureSizes).append("\"");
  if (size) {
    item.append(" width=\"").append(std::to_string(size->width)).append("\" height=\"");
    item.append(std::to_string(size->height)).append("\"");
  }
  item.append(first ? " alt=\"\" fetchpriority=\"high\">" : " alt=\"\" loading=\"lazy\">");
  item.append(title).append("</a>");
  // The member's own post: the way to take it back, this post named.
  if (!remove_form.empty()) {
    item.append(remove_form).append("<input type=\"hidden\" name=\"post\" value=\"");
    item.append(text::HtmlEscape(post.name + post.ext)).append("\">").append(pages::texts::PageRemovePostButton).append("</form>");
  }
  item.append("</li>\n");
  return item;
}

}  // namespace

std::string TWebModule1::CommandChangeProf1(bool english) {
  const std::string_view id = text::FieldView(PostedFields, "id");
  const std::string_view pw = text::FieldView(PostedFields, "pw");
  if (id.empty() || pw.empty()) {
    return Refuse(pages::Outcome::kBlank, english ? texts::IdPasswordRequiredE : texts::IdPasswordRequired);
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

  // The second set's form proves the password with a token instead.
  const std::string_view token = ModernPages && pw.empty() ? text::FieldView(PostedFields, "token") : "";
  if (id.empty() || (pw.empty() && token.empty())) return Refuse(pages::Outcome::kBlank, texts::IdPasswordRequired);
  if (!records::IsUsableName(id) || !text::FileExists(records::MemberRecordPath(MembersDb, id))) {
    LogFailedLogin(id);
    return Refuse(pages::Outcome::kUnknownMember, texts::ProfileIdMissing, id);
  }
  const std::int64_t now = platform::UnixSeconds();
  const records::PasswordCheck token_check = [&](std::string_view stored) {
    return credentials::FormTokenValid(MembersDb, token, SessionName, id, stored, now);
  };
  switch (records::UpdateProfile(MembersDb, id, pw, values, Passwords, token.empty() ? nullptr : &token_check)) {
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
  const std::string id_html = text::HtmlEscape(id);
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
  const std::string own_remove_form =
      SignIn && !SignedInId.empty() && SignedInId == id
          ? "<form method=\"post\" action=\"" + context.action + "\"><input type=\"hidden\" name=\"session\" value=\"" +
                context.session + "\"><input type=\"hidden\" name=\"command\" value=\"deletepost\">" +
                "<input type=\"hidden\" name=\"csrf\" value=\"" + records::SignInFormToken(SignInToken) + "\">"
          : std::string();
  for (const records::PostEntry& post : posts.posts) {
    // A title is cut to a length when it is listed, and the cut may end
    // inside a "<br>": what it broke is left out, so the link stays whole.
    std::string_view title = pages::WithoutCutEnd(post.title);
    if (title.empty()) title = post.name;
    if (context.upload_url.empty()) {
      list.append("<li>").append(title).append("</li>\n");
    } else {
      list += PostItem(context, dir, post, title, list.empty(), own_remove_form);
    }
  }
  if (posts.older > 0) {
    more = "<p><a href=\"" + pages::ProfileAddress(context, id) + "&amp;before=" + std::to_string(posts.older) + "\">" +
           std::string(pages::texts::PageLinkNext) + "</a></p>";
  }
  if (SignedInId == id && !id.empty()) ResponseHeaders.emplace_back("Cache-Control", "no-store");
  return pages::ProfileViewPage(context, id_html, record, list, more, ProfileMenu(id));
}

}  // namespace member
