// Posts in the upload folder: the stored names, both files of a post
// created whole or not at all, the counter and the posts lock.
#include <cerrno>
#include <cstdio>
#include <limits>
#include <string>
#include <system_error>
#include <vector>

#include "RecordTexts.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/Sjis.h"
#include "records/PostIndex.h"
#include "records/Posting.h"
#include "records/Storage.h"
#include "text/Fields.h"
#include "text/NameValueList.h"

namespace records {
namespace {

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
  RemoveSizedCopies(dir, name);
}

std::string SizedCopyPath(const std::string& dir, std::string_view name, int side) {
  std::string path = text::IncludeTrailingDelimiter(dir);
  path.append(kSizedFolder).append("/").append(name).append("-").append(std::to_string(side)).append(".jpg");
  return path;
}

bool SizedCopyNamesFit(std::string_view name) {
  for (const int side : kCopySides) {
    // Built by appending: mingw's GCC 12 warns falsely of "-" + a string.
    std::string suffix = std::to_string(side);
    suffix.insert(suffix.begin(), '-');
    suffix += ".jpg";
    if (!platform::IsPlainFileName(name, suffix)) return false;
  }
  return true;
}

bool StoreSizedCopies(const std::string& dir, std::string_view name, const std::vector<SizedCopyFile>& copies) {
  if (!SizedCopyNamesFit(name)) return false;
  const std::string folder = text::IncludeTrailingDelimiter(dir) + std::string(kSizedFolder);
  if (!platform::DirectoryExists(folder)) platform::CreateDirectories(folder);
  bool stored = true;
  for (const SizedCopyFile& copy : copies) {
    const std::string path = SizedCopyPath(dir, name, copy.side);
    try {
      platform::ReplaceFile(path, platform::Bytes(copy.jpeg));
    } catch (const platform::Exception& e) {
      LogError(path + ": " + e.Message());
      stored = false;
    }
  }
  return stored;
}

void RemoveSizedCopies(const std::string& dir, std::string_view name) {
  if (!SizedCopyNamesFit(name)) return;
  for (const int side : kCopySides) {
    const std::string path = SizedCopyPath(dir, name, side);
    if (!text::FileExists(path)) continue;
    platform::RemoveFile(path);
    // Left behind, it would show the photo that was taken down, and show it
    // again for the next post given this name.
    if (text::FileExists(path)) LogError(path + ": the copy of a removed post cannot be removed");
  }
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

namespace {

// A record's field lines, each without its CR LF, up to the empty line or
// the closing tag; calls line(start, end) with offsets into the record.
template <typename Line>
bool ForEachFieldLine(std::string_view record, Line&& line) {
  const std::string_view start = texts::PostedRecordStart;
  if (!record.starts_with(start)) return false;
  for (std::size_t pos = start.size(); pos < record.size();) {
    const std::size_t end = record.find("\r\n", pos);
    const std::size_t line_end = end == std::string_view::npos ? record.size() : end;
    const std::string_view text = record.substr(pos, line_end - pos);
    if (text.empty() || text == "</tslkeys>") break;
    line(pos, line_end);
    if (end == std::string_view::npos) break;
    pos = end + 2;
  }
  return true;
}

// The value of a field line named `name` in any letter case, as every other
// reader of records (and the post's own password check) matches names.
std::optional<std::size_t> ValueStart(std::string_view line, std::string_view name) {
  const std::size_t eq = line.find('=');
  if (eq == std::string_view::npos || !platform::SameTextSjis(line.substr(0, eq), name)) return std::nullopt;
  return eq + 1;
}

std::string WithoutLineBreaks(std::string_view value) {
  std::string out(value);
  for (char& c : out) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return out;
}

}  // namespace

std::optional<std::string> RetitledRecord(std::string_view record, std::string_view title, std::string_view note) {
  struct Span {
    std::size_t start = 0, end = 0;
    bool found = false;
  } title_at, note_at;
  std::size_t fields_end = texts::PostedRecordStart.size();
  const bool is_record = ForEachFieldLine(record, [&](std::size_t start, std::size_t end) {
    const std::string_view line = record.substr(start, end - start);
    fields_end = std::min(end + 2, record.size());
    for (std::string_view key : {std::string_view("blank-title"), std::string_view("title")}) {
      if (const auto value = ValueStart(line, key); !title_at.found && value) title_at = {start + *value, end, true};
    }
    if (const auto value = ValueStart(line, "note"); !note_at.found && value) note_at = {start + *value, end, true};
  });
  if (!is_record) return std::nullopt;
  const std::string new_title = WithoutLineBreaks(title), new_note = WithoutLineBreaks(note);
  // Replaced from the later place to the earlier, so offsets stay right;
  // a field the record lacks goes after its last field.
  std::string out(record);
  struct Edit {
    std::size_t start, end;
    std::string bytes;
  };
  std::vector<Edit> edits;
  edits.push_back(title_at.found ? Edit{title_at.start, title_at.end, new_title}
                                 : Edit{fields_end, fields_end, "title=" + new_title + "\r\n"});
  edits.push_back(note_at.found ? Edit{note_at.start, note_at.end, new_note}
                                : Edit{fields_end, fields_end, "note=" + new_note + "\r\n"});
  if (edits[0].start < edits[1].start || (edits[0].start == edits[1].start && !title_at.found)) std::swap(edits[0], edits[1]);
  for (const Edit& e : edits) out.replace(e.start, e.end - e.start, e.bytes);
  return out;
}

PostWords ReadPostWords(const std::string& record_path) {
  PostWords words;
  std::int64_t start = 0;
  std::optional<std::string> head;
  try {
    head = platform::ReadFileTail(record_path, static_cast<std::int64_t>(kPostHeadBytes), kPostHeadBytes, start);
  } catch (const platform::Exception&) {
    return words;
  }
  if (!head) return words;
  bool have_title = false, have_note = false, have_id = false;
  words.found = ForEachFieldLine(*head, [&](std::size_t from, std::size_t to) {
    const std::string_view line = std::string_view(*head).substr(from, to - from);
    auto take = [&](std::string_view key, std::string& into, bool& have, std::string* whole = nullptr) {
      const std::optional<std::size_t> value = have ? std::nullopt : ValueStart(line, key);
      if (!value) return;
      into = CutTitle(line.substr(*value));
      if (whole) *whole = line.substr(*value);
      have = true;
    };
    take("id", words.id, have_id);
    take("blank-title", words.title, have_title, &words.title_whole);
    take("title", words.title, have_title, &words.title_whole);
    take("note", words.note, have_note, &words.note_whole);
  });
  return words;
}

}  // namespace records
