// The "postleaf" command: a member posts one image with text fields; the
// image and a record of the fields are stored in the upload directory under
// a new name.
#include <cerrno>
#include <cstdio>
#include <limits>
#include <string>
#include <system_error>
#include <vector>

#include "MemberTexts.h"
#include "filter/Jpeg.h"
#include "member/Members.h"
#include "member/Pages.h"
#include "member/PostIndex.h"
#include "member/Posting.h"
#include "member/Storage.h"
#include "member/WebModule1.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/Sjis.h"
#include "text/Fields.h"
#include "text/NameValueList.h"

namespace member {
namespace {

constexpr std::string_view kRecordExtension = ".txt";
constexpr std::string_view kStoredAsJpeg = ".jpg";
constexpr std::string_view kJpegExtensions[] = {".jpg", ".jpeg", ".jpe", ".jfif", ".pjpeg", ".pjp"};
constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();

// ASCII letters lowered; the second byte of a double-byte character is left
// alone, since it may be any letter.
std::string AsciiLowerSjis(std::string_view text) {
  std::string out(text);
  for (std::size_t pos = 0; pos < out.size();) {
    const std::size_t length = platform::CharLength(out, pos);
    if (length == 1 && out[pos] >= 'A' && out[pos] <= 'Z') out[pos] = static_cast<char>(out[pos] - 'A' + 'a');
    pos += length;
  }
  return out;
}

bool IsBlankOrLineEnd(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Waits for the counter lock on the retry schedule; the random spread keeps
// posters that collided once from colliding again in step.
platform::FileLock LockCounter(const std::string& counter_path, platform::Random& rng, const CounterRetry& retry) {
  const std::string lock_path = platform::LockPathFor(counter_path);
  for (int attempt = 1;; ++attempt) {
    platform::FileLock lock = platform::FileLock::TryAcquire(lock_path);
    if (lock.Held()) return lock;
    if (attempt >= retry.attempts) throw platform::EFOpenError(counter_path, EWOULDBLOCK);
    platform::SleepMilliseconds(retry.base_ms + (retry.spread_ms > 0 ? rng.Below(retry.spread_ms) : 0));
  }
}

// Tries `number`'s name; true when it is free and claimed.
bool TryName(const std::string& name, const std::string& dir, std::string_view ext, std::string_view record_ext,
             const NameClaim& claim) {
  return IsFreeName(dir, name, ext, record_ext) && (!claim || claim(name));
}

}  // namespace

std::string AttachmentExtension(std::string_view file_name) {
  const std::size_t dot = file_name.rfind('.');
  if (dot == std::string_view::npos) return {};
  const std::string ext = AsciiLowerSjis(file_name.substr(dot));
  for (std::string_view allowed : kJpegExtensions) {
    if (ext == allowed) return ext;
  }
  return std::string(kStoredAsJpeg);
}

std::string DefaultFileExtension(std::string_view path) {
  const std::size_t dot = path.rfind('.');
  if (dot == std::string_view::npos) return {};
  for (std::size_t pos = dot + 1; pos < path.size(); pos += platform::CharLength(path, pos)) {
    if (platform::CharLength(path, pos) == 1 && (path[pos] == '/' || path[pos] == '\\' || path[pos] == ':')) {
      return {};
    }
  }
  std::string ext = AsciiLowerSjis(path.substr(dot));
  if (ext == kRecordExtension) return std::string(kStoredAsJpeg);
  return ext;
}

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

platform::Bytes PostedFileRecord(std::string_view fields) {
  return platform::Bytes(texts::PostedRecordStart, fields, texts::PostedRecordEnd);
}

bool IsFreeName(const std::string& dir, std::string_view name, std::string_view ext, std::string_view record_ext) {
  std::string path = dir;
  path += name;
  const std::size_t base = path.size();
  path += record_ext;
  if (text::FileExists(path)) return false;
  path.resize(base);
  path += ext;
  return !text::FileExists(path);
}

bool StorePostedFiles(const std::string& dir, std::string_view name, std::string_view ext,
                      const platform::Bytes& data, std::string_view record_ext, const platform::Bytes& record) {
  const std::string base = dir + std::string(name);
  const std::string data_path = base + std::string(ext);
  if (!CreateFileText(data, data_path)) return false;
  // The data file is our claim on the name. The record's name may still be
  // held by another post (stored with another extension): then the claim is
  // given back and the search goes on.
  bool stored = false;
  try {
    stored = CreateFileText(record, base + std::string(record_ext));
  } catch (...) {
    platform::RemoveFile(data_path);
    throw;
  }
  if (!stored) platform::RemoveFile(data_path);
  return stored;
}

platform::FileLock LockPosts(const std::string& dir) {
  platform::FileLock lock = platform::FileLock::Acquire(platform::LockPathFor(dir + "posts"));
  // A note names a post whose record may be missing: its poster died
  // between the two files. The post was never accepted, yet without this
  // its image would be served under its final name for ever.
  const std::string note = lock.Note();
  if (note.empty()) return lock;
  const std::size_t name_end = note.find("\r\n");
  if (name_end != std::string::npos && note.ends_with("\r\n") && note.size() > name_end + 2) {
    const std::string name = note.substr(0, name_end);
    const std::string ext = note.substr(name_end + 2, note.size() - name_end - 4);
    if (platform::IsPlainFileName(name, ext) && platform::IsPlainFileName(name, kRecordExtension) &&
        !text::FileExists(dir + name + std::string(kRecordExtension))) {
      platform::RemoveFile(dir + name + ext);
    }
  }
  lock.SetNote("");
  return lock;
}

bool StorePostedFilesNoted(const platform::FileLock& posts, const std::string& dir, std::string_view name,
                           std::string_view ext, const platform::Bytes& data, std::string_view record_ext,
                           const platform::Bytes& record) {
  std::string note(name);
  note.append("\r\n").append(ext).append("\r\n");
  posts.SetNote(note);
  const bool stored = StorePostedFiles(dir, name, ext, data, record_ext, record);
  posts.SetNote("");
  return stored;
}

void RemovePostedFiles(const std::string& dir, std::string_view name, std::string_view ext,
                       std::string_view record_ext) {
  const std::string base = dir + std::string(name);
  platform::RemoveFile(base + std::string(record_ext));
  platform::RemoveFile(base + std::string(ext));
}

std::int64_t TemplateNameCount(std::string_view templ) {
  int slots = 0;
  for (std::size_t pos = 0; pos < templ.size(); pos += platform::CharLength(templ, pos)) {
    if (platform::CharLength(templ, pos) == 1 && templ[pos] == '#') ++slots;
  }
  // Ten digits already outnumber the 32-bit counter.
  std::int64_t count = 1;
  for (int i = 0; i < slots && i < 10; ++i) count *= 10;
  return count;
}

std::int32_t ParseCounter(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size() && IsBlankOrLineEnd(text[pos])) ++pos;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) negative = text[pos++] == '-';
  const std::size_t digits_start = pos;
  std::int64_t value = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
    value = value * 10 + (text[pos] - '0');
    if (value > kInt32Max + 1) throw platform::EInOutError(106);
    ++pos;
  }
  if (pos == digits_start || (pos < text.size() && !IsBlankOrLineEnd(text[pos]))) {
    throw platform::EInOutError(106);
  }
  if (negative) value = -value;
  if (value > kInt32Max) throw platform::EInOutError(106);
  return static_cast<std::int32_t>(value);
}

std::string NextCounterName(const std::string& counter_path, std::string_view templ, std::string_view dir,
                            std::string_view ext, std::string_view record_ext, platform::Random& rng,
                            const NameClaim& claim, const CounterRetry& retry) {
  const std::string directory = text::IncludeTrailingDelimiter(dir);
  // One lock across read, search, claim and rewrite: two posters can never
  // read the same number, and none fails because another is busy.
  const platform::FileLock lock = LockCounter(counter_path, rng, retry);
  if (!text::FileExists(counter_path)) CreateFileText("0\r\n", counter_path);
  std::string content;
  ReadFileText(counter_path, content);
  const std::int64_t last = ParseCounter(content);

  const std::int64_t count = TemplateNameCount(templ);
  for (std::int64_t step = 1; step <= count && last + step <= kInt32Max; ++step) {
    const std::int64_t number = last + step;
    const std::string name = text::FormatByTemplate(static_cast<std::int32_t>(number), templ);
    if (!TryName(name, directory, ext, record_ext, claim)) continue;
    WriteFileText(std::to_string(number) + "\r\n", counter_path);
    return name;
  }
  return {};
}

std::string NextFreeName(std::string_view templ, std::string_view dir, std::string_view ext,
                         std::string_view record_ext, const NameClaim& claim) {
  const std::string directory = text::IncludeTrailingDelimiter(dir);
  const std::int64_t count = TemplateNameCount(templ);
  for (std::int64_t number = 1; number <= count && number <= kInt32Max; ++number) {
    const std::string name = text::FormatByTemplate(static_cast<std::int32_t>(number), templ);
    if (TryName(name, directory, ext, record_ext, claim)) return name;
  }
  return {};
}

std::string NextStampName(std::string_view stamp, std::string_view dir, std::string_view ext,
                          std::string_view record_ext, const NameClaim& claim, std::size_t limit) {
  const std::string directory = text::IncludeTrailingDelimiter(dir);
  std::string name(stamp);
  if (TryName(name, directory, ext, record_ext, claim)) return name;
  for (std::size_t i = 0; i < limit; ++i) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "%03zu", i);
    name.resize(stamp.size());
    name += suffix;
    if (TryName(name, directory, ext, record_ext, claim)) return name;
  }
  return {};
}

std::string TWebModule1::CommandPostLeaf() {
  // Views into the field list, used before the list changes below.
  const std::string_view id = text::FieldView(PostedFields, "id");
  const std::string_view pw = text::FieldView(PostedFields, "pw");
  const int account = CheckMemberPassword(MembersDb, id, pw, Passwords);
  // The ID outlives the field list's changes below.
  const std::string id_copy(id);
  if (account != 0) LogFailedLogin(id);
  // The password never reaches the stored record.
  text::RemoveField(PostedFields, "pw");

  switch (account) {
    case 2: return Refuse(Outcome::kUnknownMember, texts::MemberDoesNotExist, id_copy);
    case 1: return Refuse(Outcome::kWrongPassword, texts::PasswordWrong);
    default: break;
  }
  if (!text::RequiredFieldsFilled(PostedFields)) return Refuse(Outcome::kBlank, texts::Blank);

  bool default_file = false;
  if (PostedFileData.empty() && !DefaultImgFile.empty() && text::FileExists(DefaultImgFile)) {
    PostedFileName = DefaultImgFile;
    ReadFileText(DefaultImgFile, DefaultImgData);
    PostedFileData = DefaultImgData;
    default_file = true;
  }
  if (PostedFileName.empty() || PostedFileData.empty()) {
    // A PNG or a text file is no attached file to the default set.
    return Refuse(OtherFileSent ? Outcome::kNotJpeg : Outcome::kNoAttachedFile, texts::NoAttachedFile,
                  std::to_string(BodyLimit));
  }
  // Checked before any lock or counter is touched: a refused post leaves no
  // trace. The image data is written from the posted bytes, only the
  // segments before it from the rebuilt head.
  filter::StrippedJpeg stripped;
  if (StripLocation && !filter::StripLocation(PostedFileData, stripped)) {
    return Refuse(Outcome::kNotJpeg, NotJpegMessage(BodyLimit), std::to_string(BodyLimit));
  }
  const platform::Bytes image =
      StripLocation ? platform::Bytes(stripped.head, stripped.scans, {}) : platform::Bytes(PostedFileData);

  const std::string ext = default_file ? DefaultFileExtension(PostedFileName) : AttachmentExtension(PostedFileName);
  const std::string dir = text::IncludeTrailingDelimiter(UploadPath);
  const platform::Bytes record = PostedFileRecord(PostedFields);
  std::string stored;  // the name whose files are in place
  // Taken before the counter's lock, always in this order.
  const platform::FileLock posts = LockPosts(dir);
  const NameClaim claim = [&](const std::string& name) {
    if (!StorePostedFilesNoted(posts, dir, name, ext, image, kRecordExtension, record)) return false;
    stored = name;
    return true;
  };

  std::string name;
  if (!FileNameTemplate.empty()) {
    if (FileNameCounter.empty()) FileNameCounter = UploadPath + "counter.txt";
    try {
      name = NextCounterName(FileNameCounter, FileNameTemplate, dir, ext, kRecordExtension, Rng, claim);
    } catch (...) {
      // The counter could not be rewritten after the files were stored: a
      // failed post stores nothing.
      if (!stored.empty()) RemovePostedFiles(dir, stored, ext, kRecordExtension);
      throw;
    }
  } else if (NameOrder == "num3d") {
    name = NextFreeName("###", dir, ext, kRecordExtension, claim);
  } else {
    name = NextStampName(Stamp, dir, ext, kRecordExtension, claim);
  }
  if (name.empty()) return Refuse(Outcome::kNoFreeFileName, texts::NoFreeFileName);
  if (!ModernPages) return FileAcceptedPage();
  // The profile lists the member's posts from this index; a post stands
  // even when it cannot be listed.
  std::string_view title = text::FieldView(PostedFields, "blank-title");
  if (title.empty()) title = text::FieldView(PostedFields, "title");
  if (!AppendPostIndex(dir, id_copy, name, ext, title)) LogError("post index of " + dir + " cannot be written");
  std::vector<PageLink> links;
  const PageContext context = Context();
  if (!context.upload_url.empty()) links.push_back({texts::PageLinkPhoto, context.upload_url + PercentEncode(name + ext)});
  return Succeed(Outcome::kPhotoPosted, {}, id_copy, {}, links);
}

}  // namespace member
