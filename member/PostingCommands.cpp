// The "postleaf" command: a member posts one image with text fields; the
// image and a record of the fields are stored in the upload directory under
// a new name.
#include <string>
#include <vector>

#include "MemberTexts.h"
#include "PageTexts.h"
#include "filter/Jpeg.h"
#include "imaging/SizedCopies.h"
#include "member/WebModule1.h"
#include "pages/Pages.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "records/Members.h"
#include "records/PostIndex.h"
#include "records/SignIns.h"
#include "records/Posting.h"
#include "records/Storage.h"
#include "text/Fields.h"
#include "text/NameValueList.h"

namespace member {

bool IsStripLocationOn(std::string_view setting) { return !setting.empty() && setting != "0"; }

std::string NotJpegMessage(std::int64_t body_limit) {
  // Whole units read best; the limit counts the whole request, so rounding
  // down never promises more than fits.
  constexpr std::int64_t kKi = 1024, kMi = kKi * kKi;
  const std::string size = body_limit >= kMi   ? std::to_string(body_limit / kMi) + " MB"
                           : body_limit >= kKi ? std::to_string(body_limit / kKi) + " KB"
                                               : std::to_string(body_limit) + " bytes";
  return std::string(texts::NotJpegStart) + size + std::string(texts::NotJpegMiddle) + size +
         std::string(texts::NotJpegEnd);
}

std::string TWebModule1::CommandPostLeaf() {
  // Signed in, a post needs no password: the sign-in, and the form token
  // only its own pages carry, stand for it. The record names the member as
  // a post with a password does.
  const bool signed_in = SignIn && !SignedInId.empty() && text::FieldView(PostedFields, "pw").empty();
  if (signed_in) {
    const std::string_view posted_id = text::FieldView(PostedFields, "id");
    if (PostedCsrf != records::SignInFormToken(SignInToken) || (!posted_id.empty() && posted_id != SignedInId)) {
      return Refuse(pages::Outcome::kForeignRequest, {});
    }
    if (posted_id.empty()) {
      const std::size_t first_end = PostedFields.find("\r\n");
      const std::size_t at = PostedFields.starts_with("session=") ? (first_end == std::string::npos ? PostedFields.size() : first_end) : 0;
      PostedFields.insert(at, at == 0 ? "id=" + SignedInId + (PostedFields.empty() ? "" : "\r\n") : "\r\nid=" + SignedInId);
    }
  }
  // Views into the field list, used before the list changes below.
  const std::string_view id = text::FieldView(PostedFields, "id");
  const std::string_view pw = text::FieldView(PostedFields, "pw");
  const int account = signed_in ? 0 : records::CheckMemberPassword(MembersDb, id, pw, Passwords);
  // The ID outlives the field list's changes below.
  const std::string id_copy(id);
  if (account != 0) LogFailedLogin(id);
  // The password never reaches the stored record.
  text::RemoveField(PostedFields, "pw");

  switch (account) {
    case 2: return Refuse(pages::Outcome::kUnknownMember, texts::MemberDoesNotExist, id_copy);
    case 1: return Refuse(pages::Outcome::kWrongPassword, texts::PasswordWrong);
    default: break;
  }
  if (!text::RequiredFieldsFilled(PostedFields)) {
    // The page names the first empty required field ("blank-" and its
    // name) where members sign in.
    std::string_view field;
    for (std::string_view rest = PostedFields; SignIn && field.empty() && !rest.empty();) {
      const std::string_view line = rest.substr(0, rest.find("\r\n"));
      rest.remove_prefix(std::min(rest.size(), line.size() + 2));
      if (line.starts_with("blank-") && line.ends_with('=')) field = line.substr(0, line.size() - 1);
    }
    return RefuseBlank(texts::Blank, {field});
  }

  bool default_file = false;
  if (PostedFileData.empty() && !DefaultImgFile.empty() && text::FileExists(DefaultImgFile)) {
    PostedFileName = DefaultImgFile;
    records::ReadFileText(DefaultImgFile, DefaultImgData);
    PostedFileData = DefaultImgData;
    default_file = true;
  }
  if (PostedFileName.empty() || PostedFileData.empty()) {
    // A PNG or a text file is no attached file to the default set.
    return Refuse(OtherFileSent ? pages::Outcome::kNotJpeg : pages::Outcome::kNoAttachedFile, texts::NoAttachedFile,
                  LimitText(BodyLimit));
  }
  // Checked before any lock or counter is touched: a refused post leaves no
  // trace. The image data is written from the posted bytes, only the
  // segments before it from the rebuilt head.
  filter::StrippedJpeg stripped;
  if (StripLocation && !filter::StripLocation(PostedFileData, stripped)) {
    return Refuse(pages::Outcome::kNotJpeg, NotJpegMessage(BodyLimit), LimitText(BodyLimit));
  }
  const platform::Bytes image =
      StripLocation ? platform::Bytes(stripped.head, stripped.scans, {}) : platform::Bytes(PostedFileData);

  // The second page set shows sized copies; made before any lock, since
  // decoding is most of a post's time. A photo they cannot be made of is
  // stored all the same, and shown as it came.
  imaging::Copies copies;
  if (ModernPages) copies = imaging::MakeSizedCopies(PostedFileData, records::kCopySides);
  std::vector<records::SizedCopyFile> copy_files;
  for (const imaging::Copy& copy : copies.copies) copy_files.push_back({copy.long_side, copy.jpeg});

  const std::string ext = default_file ? records::DefaultFileExtension(PostedFileName) : records::AttachmentExtension(PostedFileName);
  const std::string dir = text::IncludeTrailingDelimiter(UploadPath);
  const platform::Bytes record = records::PostedFileRecord(PostedFields);
  std::string stored;  // the name whose files are in place
  // Taken before the counter's lock, always in this order.
  const platform::FileLock posts = records::LockPosts(dir);
  const records::NameClaim claim = [&](const std::string& name) {
    if (!records::StorePostedFilesNoted(posts, dir, name, ext, image, records::kRecordExtension, record)) return false;
    stored = name;
    // Copies left under this name by a post removed by hand would show
    // that photo for this one.
    records::RemoveSizedCopies(dir, name);
    if (!copy_files.empty()) records::StoreSizedCopies(dir, name, copy_files);
    return true;
  };

  std::string name;
  if (!FileNameTemplate.empty()) {
    if (FileNameCounter.empty()) FileNameCounter = UploadPath + "counter.txt";
    try {
      name = records::NextCounterName(FileNameCounter, FileNameTemplate, dir, ext, records::kRecordExtension, Rng, claim);
    } catch (...) {
      // The counter could not be rewritten after the files were stored: a
      // failed post stores nothing.
      if (!stored.empty()) records::RemovePostedFiles(dir, stored, ext, records::kRecordExtension);
      throw;
    }
  } else if (NameOrder == "num3d") {
    name = records::NextFreeName("###", dir, ext, records::kRecordExtension, claim);
  } else {
    name = records::NextStampName(Stamp, dir, ext, records::kRecordExtension, claim);
  }
  if (name.empty()) return Refuse(pages::Outcome::kNoFreeFileName, texts::NoFreeFileName);
  LogActivity("posted", id_copy, name + ext);
  if (!ModernPages) return pages::FileAcceptedPage();
  // The profile lists the member's posts from this index; a post stands
  // even when it cannot be listed.
  std::string_view title = text::FieldView(PostedFields, "blank-title");
  if (title.empty()) title = text::FieldView(PostedFields, "title");
  if (!records::AppendPostIndex(dir, id_copy, name, ext, title)) records::LogError("post index of " + dir + " cannot be written");
  std::vector<pages::PageLink> links;
  const pages::PageContext context = Context();
  // Where members sign in, the photo opens in a page of the site, with the
  // ways on; elsewhere as the file it is.
  if (SignIn) {
    links.push_back({pages::texts::PageLinkPhoto, PhotoAddress(name + ext)});
  } else if (!context.upload_url.empty()) {
    links.push_back({pages::texts::PageLinkPhoto, context.upload_url + pages::PercentEncode(name + ext)});
  }
  return Succeed(pages::Outcome::kPhotoPosted, {}, id_copy, {}, links);
}

}  // namespace member
