// File posting: the extension rules, the posted-file record and the three
// ways of choosing a new name (counter template, three-digit numbers, time
// stamp). Every name search can claim the name it finds, so two posts at
// once never store under one name.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Files.h"

#include "platform/System.h"

namespace records {

// What a post's record is stored with, beside its image.
inline constexpr std::string_view kRecordExtension = ".txt";

// The extension an attached file is stored with: the lower-cased extension
// when it is one of .jpg .jpeg .jpe .jfif .pjpeg .pjp, empty when the name
// has no ".", and ".jpg" for anything else, so an upload can never be stored
// as a script, a page or a record.
std::string AttachmentExtension(std::string_view file_name);

// The extension the default file is stored with: its name from the last "."
// on, lower-cased, unless a "/", "\" or ":" follows that "." (then empty);
// ".txt" would collide with the records and becomes ".jpg".
std::string DefaultFileExtension(std::string_view path);

// "<tslkeys>", the fields (each line ended by CR LF), an empty line and
// "</tslkeys>", every line ended by CR LF; the fields are not copied.
platform::Bytes PostedFileRecord(std::string_view fields);

// The record with its title (the first "blank-title" or "title" field, the
// names in any letter case;
// "title" added when it has neither) and its note ("note") set to the
// given values, line breaks in them made blanks; nothing when the bytes are
// no post record.
std::optional<std::string> RetitledRecord(std::string_view record, std::string_view title, std::string_view note);

// Who posted (the first "id" field, its name in any letter case), its
// title and its note, read from the record's first
// kPostHeadBytes alone, so a record of any size costs a page the same; a
// value cut by that bound ends where the bound falls.
inline constexpr std::size_t kPostHeadBytes = 8 * 1024;
struct PostWords {
  std::string id;
  std::string title;
  std::string note;
  // Title and note as stored (uncut but for the head's bound): what a form
  // that saves them back must show.
  std::string title_whole;
  std::string note_whole;
  bool found = false;  // the record was there and was a post record
};
PostWords ReadPostWords(const std::string& record_path);

// True when neither dir + name + record_ext nor dir + name + ext exists.
bool IsFreeName(const std::string& dir, std::string_view name, std::string_view ext, std::string_view record_ext);

// Creates dir + name + ext with the data and dir + name + record_ext with
// the record, each only where nothing of that name exists. False, with
// nothing left behind, when either name was taken; either file appears
// whole or not at all.
bool StorePostedFiles(const std::string& dir, std::string_view name, std::string_view ext,
                      const platform::Bytes& data, std::string_view record_ext, const platform::Bytes& record);
// The lock every post of an upload directory stores under (".posts.lock"
// there). Taking it undoes what a poster that died holding it left: the
// image it had stored without its record, named in the lock's note.
platform::FileLock LockPosts(const std::string& dir);
// Stores a post as StorePostedFiles does, under the lock of LockPosts, with
// the image's name in the lock's note while the two files are incomplete.
bool StorePostedFilesNoted(const platform::FileLock& posts, const std::string& dir, std::string_view name,
                           std::string_view ext, const platform::Bytes& data, std::string_view record_ext,
                           const platform::Bytes& record);
// Removes both files of a stored post and its sized copies (used to undo
// one whose post failed).
void RemovePostedFiles(const std::string& dir, std::string_view name, std::string_view ext,
                       std::string_view record_ext);

// Smaller copies of a post's image for the pages, by their long side: in
// the folder "sized" of the upload folder, N-480.jpg, N-880.jpg and
// N-1080.jpg for the post N: a phone at one device pixel to a CSS pixel
// takes the first, a phone at 1.75 to 2 (most) the second even for a photo
// taken upright, a sharper phone or a desktop the last. A folder is no name any naming rule can take (they look for
// regular files), every listing of the upload folder passes over folders,
// and the web servers serve it as part of the upload folder.
inline constexpr std::string_view kSizedFolder = "sized";
inline constexpr std::array<int, 3> kCopySides{1080, 880, 480};
std::string SizedCopyPath(const std::string& dir, std::string_view name, int side);
struct SizedCopyFile {
  int side = 0;
  std::string_view jpeg;
};
// Whether every copy's name of post `name` is a plain file name (a long
// name may leave no room for the suffix): a post without is shown as it
// was posted.
bool SizedCopyNamesFit(std::string_view name);
// Stores the copies of post `name` (the folder made when missing), each
// replaced whole: whatever stood under those names belonged to no live
// post (the name was just claimed, or checked under the lock). Called
// under the posts lock. False when one could not be written (logged).
bool StoreSizedCopies(const std::string& dir, std::string_view name, const std::vector<SizedCopyFile>& copies);
// Removes every copy of post `name`; a copy already gone is no error, one
// that stays is logged.
void RemoveSizedCopies(const std::string& dir, std::string_view name);

// Called with each free name a search finds; returns false when the name
// was taken meanwhile, and the search goes on with the next. An empty claim
// accepts the first free name.
using NameClaim = std::function<bool(const std::string& name)>;

// How many different names a "#" template yields: 10 to the power of its
// "#" count (1 without any), capped far beyond what a directory can hold.
std::int64_t TemplateNameCount(std::string_view templ);

// The number a counter file holds: leading blanks and line ends skipped,
// then a 32-bit signed decimal ended by a blank, a line end or the end.
// Throws platform::EInOutError(106) when there is none.
std::int32_t ParseCounter(std::string_view text);

// The waiting schedule for the counter lock.
struct CounterRetry {
  int attempts = 100;
  int base_ms = 300;
  int spread_ms = 300;  // each wait is base_ms + a random 0..spread_ms-1
};

// Under an exclusive lock on the counter file: creates it holding 0 when it
// is missing, reads n, tries the template formatted with n+1, n+2, ... and
// takes the first free name that `claim` accepts; then rewrites the counter
// with that number and returns the name. Returns empty, with the counter
// unchanged, when every name the template can yield is taken. Throws when
// the lock cannot be had within the schedule (platform::EFOpenError), the
// counter file cannot be created or read, or holds no number.
std::string NextCounterName(const std::string& counter_path, std::string_view templ, std::string_view dir,
                            std::string_view ext, std::string_view record_ext, platform::Random& rng,
                            const NameClaim& claim = {}, const CounterRetry& retry = {});

// The first free name of the template formatted with 1, 2, ... that `claim`
// accepts; empty when every name the template can yield is taken.
std::string NextFreeName(std::string_view templ, std::string_view dir, std::string_view ext,
                         std::string_view record_ext, const NameClaim& claim = {});

// How many numbered suffixes the time-stamp rule tries after the bare stamp.
inline constexpr std::size_t kStampSuffixLimit = 100000;

// The stamp itself if free, else the stamp followed by 000, 001, ..., 999,
// 1000, ...; empty when `limit` suffixes were all taken.
std::string NextStampName(std::string_view stamp, std::string_view dir, std::string_view ext,
                          std::string_view record_ext, const NameClaim& claim = {},
                          std::size_t limit = kStampSuffixLimit);

}  // namespace records
