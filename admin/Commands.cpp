// The commands of the operator's tool but check (Check.cpp), their help and
// the argument handling.
#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Version.h"
#include "admin/Admin.h"
#include "credentials/Passwords.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/Sjis.h"
#include "platform/System.h"
#include "records/Maintenance.h"
#include "records/Members.h"
#include "records/PostIndex.h"
#include "imaging/SizedCopies.h"
#include "records/Posting.h"
#include "records/SelfService.h"
#include "records/Storage.h"
#include "text/Fields.h"

namespace admin {
namespace {

// More than any record may hold: a longer line cannot become a password.
constexpr std::size_t kMaxPasswordLine = records::kMaxRecordBytes + 1;

// A value in a column of its own: a posted tab is stored as it came and
// would shift every column after it, so it is shown as the tool's own
// reference (a posted "&" is stored escaped, so none looks like it). No
// trail byte of a double-byte character is a tab.
std::string Cell(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (const char c : value) {
    if (c == '\t') {
      out += "&#9;";
    } else {
      out += c;
    }
  }
  return out;
}

constexpr std::string_view kUsageText =
    "usage: orvalengate-admin [--site DIR] COMMAND [ARGUMENTS]\n"
    "       orvalengate-admin --raw [--site DIR] COMMAND [ARGUMENTS]\n"
    "       orvalengate-admin --version\n"
    "\n"
    "Looks after the files of an orvalengate site while it runs. The site is the\n"
    "folder holding config.txt: the folder of this program unless --site names one.\n"
    "Text is shown and typed in the terminal's character set (the locale's; on\n"
    "Windows the console's), control characters as references (&#27;); --raw\n"
    "passes arguments and output as the site stores them (Shift_JIS).\n"
    "\n"
    "commands:\n"
    "  check                          report what keeps the site from working\n"
    "  members SESSION                list the members: ID and real name\n"
    "  show SESSION ID                print a member's record (password hidden)\n"
    "  reset-password SESSION ID      set a new password (read from standard input)\n"
    "  remove SESSION ID              remove a member's record\n"
    "  hash-passwords SESSION         store every password still in the clear hashed\n"
    "  posts SESSION [--member ID]    list the posted files, newest first\n"
    "  remove-post SESSION NAME       remove a post: its image and its record\n"
    "  size-photos SESSION            make the sized copies posts made before lack\n"
    "  free-id SESSION ID             let a new member take the ID of one who left\n"
    "  recent SESSION                 what members did lately (the activity log)\n"
    "\n"
    "orvalengate-admin COMMAND --help tells more of each.\n"
    "exit codes: 0 ok, 1 check found problems, 2 usage, 3 no such site, session or\n"
    "member, 4 a file could not be read or written, 5 refused\n";

struct Command {
  std::string_view name;
  std::size_t arguments;  // after the command's name, options aside
  std::string_view help;
  std::string_view option = {};  // the one option with a value it takes, if any
};

constexpr Command kCommands[] = {
    {"check", 0,
     "usage: orvalengate-admin [--site DIR] check\n"
     "Reads config.txt, every session file, member record and counter, and reports\n"
     "one line per problem: missing or unwritable folders, unknown keys, leftover\n"
     "temporary files, records the site cannot use, a counter that holds no number.\n"
     "Warnings: request dumps switched on (they keep every posted password), data\n"
     "folders on a FUSE or network file system, passwords still in the clear in a\n"
     "hashing session. Exit 0 when there is no problem (warnings allowed), 1 when\n"
     "there is one. Run it as the web server's user: rights are checked for it.\n"},
    {"members", 1,
     "usage: orvalengate-admin [--site DIR] members SESSION\n"
     "One line per member record of the session: the ID, a tab, the real name, as\n"
     "stored (Shift_JIS, HTML-escaped).\n"},
    {"show", 2,
     "usage: orvalengate-admin [--site DIR] show SESSION ID\n"
     "Prints the member's record line by line; the password shows only whether it\n"
     "is stored in the clear or hashed.\n"},
    {"reset-password", 2,
     "usage: orvalengate-admin [--site DIR] reset-password SESSION ID\n"
     "Reads the new password: typed twice without echo at a terminal, else the\n"
     "first line of standard input, in the terminal's character set as arguments\n"
     "are. It is stored as the site stores a password posted in its form\n"
     "(escaped, at least 5 bytes so), hashed where the session hashes, under the\n"
     "members folder lock. Exit 5 when it is refused.\n"},
    {"remove", 2,
     "usage: orvalengate-admin [--site DIR] remove SESSION ID\n"
     "Removes the member's record under the members folder lock. The member's\n"
     "posts stay.\n"},
    {"hash-passwords", 1,
     "usage: orvalengate-admin [--site DIR] hash-passwords SESSION\n"
     "Rewrites every record whose password is in the clear with the session's\n"
     "hashed form, one record at a time under the members folder lock, each\n"
     "replaced atomically. Prints each ID with what became of it. Exit 5 when the\n"
     "session does not hash (set PasswordHash=argon2id in its file first), or when\n"
     "a record too large to take the hash is left in the clear.\n"},
    {"posts", 1,
     "usage: orvalengate-admin [--site DIR] posts SESSION [--member ID]\n"
     "One line per posted file of the session, newest first: the time of its\n"
     "record, the stored file's name, the poster's ID and the post's title (the\n"
     "first field whose name holds \"title\"), separated by tabs. With --member,\n"
     "only the posts of that ID (as the members command shows it).\n",
     "--member"},
    {"remove-post", 2,
     "usage: orvalengate-admin [--site DIR] remove-post SESSION NAME\n"
     "Removes a post, its image and its record, under the lock every post is\n"
     "stored under, and says what it removed. NAME is the stored file's name as\n"
     "the posts command shows it, or that name without its extension.\n"},
    {"size-photos", 1,
     "usage: orvalengate-admin [--site DIR] size-photos SESSION\n"
     "Makes the smaller copies of each posted photo that the profile pages of the\n"
     "second page set show (in the folder sized of the upload folder), all of\n"
     "them anew for every post that lacks one, newest first; posts that have\n"
     "them are left alone, so running it again does nothing. Each post's copies\n"
     "are written under the lock every post is stored under. Prints one line per\n"
     "post it made copies of or could not, then a count. A photo over 100\n"
     "megapixels or 16,384 pixels a side, or one the decoder refuses, keeps\n"
     "being shown as posted. Exit 4 when a copy could not be written.\n"},
    {"recent", 1,
     "usage: orvalengate-admin [--site DIR] recent SESSION\n"
     "The session's latest lines of the activity log (config.txt's activitylog):\n"
     "registrations, posts, password changes and resets, removals, oldest first,\n"
     "at most 50, from the log's last 1 MiB. Exit 3 when no activity log is set.\n"},
    {"free-id", 2,
     "usage: orvalengate-admin [--site DIR] free-id SESSION ID\n"
     "A member who removes their own account keeps the ID reserved, so that old\n"
     "links to their profile never show someone else. This lets a new member\n"
     "register it (IDs differing only in ASCII letter case count as one). Exit 3\n"
     "when the ID is not reserved.\n"},
};

const Command* FindCommand(std::string_view name) {
  for (const Command& command : kCommands) {
    if (command.name == name) return &command;
  }
  return nullptr;
}

// Loads the member's session and checks that the record exists.
int OpenMember(Site& site, std::string_view session_name, std::string_view id, Session& session, Output& output) {
  if (!LoadSession(site, session_name, session, output.err)) return kNotFound;
  if (site.module.MembersDb.empty()) {
    output.err += session.settings_path + ": membersdb names no folder\n";
    return kNotFound;
  }
  if (!records::IsUsableName(id) || !text::FileExists(records::MemberRecordPath(site.module.MembersDb, id))) {
    output.err += "no member " + Quoted(id) + " in session " + Quoted(session_name) + "\n";
    return kNotFound;
  }
  return kOk;
}

// The log is appended to for ever between rotations: only its end is read.
constexpr std::size_t kRecentLines = 50;
constexpr std::size_t kRecentBytes = 1024 * 1024;

int Recent(Site& site, std::string_view session_name, Output& output) {
  Session session;
  if (!LoadSession(site, session_name, session, output.err)) return kNotFound;
  const std::string& log = site.module.ActivityLog;
  if (log.empty()) {
    output.err += "config.txt sets no activitylog: nothing is logged\n";
    return kNotFound;
  }
  std::int64_t start = 0;
  const std::optional<std::string> tail = platform::ReadFileTail(log, -1, kRecentBytes, start);
  if (!tail) return kOk;  // nothing happened yet
  std::string_view text = *tail;
  // A tail that begins inside a line starts at the next one.
  if (start > 0) text.remove_prefix(std::min(text.size(), text.find('\n') + 1));
  const std::string field = " session=" + records::LogField(session_name) + " ";
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    if (line.find(field) != std::string_view::npos) lines.push_back(line);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
  const std::size_t first = lines.size() > kRecentLines ? lines.size() - kRecentLines : 0;
  for (std::size_t i = first; i < lines.size(); ++i) output.out.append(lines[i]).append("\n");
  return kOk;
}

int Members(Site& site, std::string_view session_name, Output& output) {
  Session session;
  if (!LoadSession(site, session_name, session, output.err)) return kNotFound;
  const std::string& dir = site.module.MembersDb;
  if (dir.empty()) {
    output.err += session.settings_path + ": membersdb names no folder\n";
    return kNotFound;
  }
  for (const std::string& id : records::MemberIds(dir)) {
    text::NameValueList record;
    // A record gone since the listing is no member any more.
    if (!records::IsUsableName(id) || !text::FileExists(records::MemberRecordPath(dir, id))) continue;
    record.LoadFromFile(records::MemberRecordPath(dir, id));
    output.out.append(Cell(id)).append("\t").append(Cell(record.Value("realname"))).append("\n");
  }
  return kOk;
}

int Show(Site& site, std::string_view session_name, std::string_view id, Output& output) {
  Session session;
  if (const int code = OpenMember(site, session_name, id, session, output); code != kOk) return code;
  text::NameValueList record;
  record.LoadFromFile(records::MemberRecordPath(site.module.MembersDb, id));
  const long pw = record.IndexOfName("pw");
  for (std::size_t i = 0; i < record.Count(); ++i) {
    if (static_cast<long>(i) == pw) {
      const bool hashed = credentials::IsPasswordHash(record.Value("pw"));
      output.out.append(record.NameAt(i)).append(hashed ? "=(hashed)\n" : "=(in the clear)\n");
    } else if (platform::SameTextSjis(record.NameAt(i), "pw")) {
      // A later password line (an edit by hand, an old password) is never
      // checked, but is a password all the same.
      output.out.append(record.NameAt(i)).append("=(hidden)\n");
    } else {
      output.out.append(record.Line(i)).append("\n");
    }
  }
  return kOk;
}

// One line of standard input, the line end dropped; false at once at the
// end of input. Stops reading past kMaxPasswordLine bytes.
bool ReadInputLine(std::string& line) {
  line.clear();
  char c = 0;
  bool any = false;
  while (line.size() <= kMaxPasswordLine && platform::ReadStdin(&c, 1) == 1) {
    any = true;
    if (c == '\n') break;
    line.push_back(c);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return any;
}

int ResetPassword(Site& site, std::string_view session_name, std::string_view id, platform::TerminalCharset typed,
                  Output& output) {
  Session session;
  if (const int code = OpenMember(site, session_name, id, session, output); code != kOk) return code;
  std::string password;
  if (platform::StdinIsTerminal()) {
    platform::WriteStderr("New password for " + std::string(id) + ": ");
    std::string again;
    if (!platform::ReadLineWithoutEcho(password)) {
      output.err += "no password typed; nothing changed\n";
      return kRefused;
    }
    platform::WriteStderr("Again: ");
    if (!platform::ReadLineWithoutEcho(again) || again != password) {
      output.err += "the two passwords differ; nothing changed\n";
      return kRefused;
    }
  } else if (!ReadInputLine(password)) {
    output.err += "no password on standard input; nothing changed\n";
    return kRefused;
  }
  // The member types the password into a Shift_JIS form.
  const std::optional<std::string> sjis = FromTerminal(password, typed);
  if (!sjis) {
    output.err += "the password is no UTF-8 text or holds a character Shift_JIS lacks; nothing changed\n";
    return kRefused;
  }
  password = *sjis;
  // Reading stops past what any record may hold: such a line would be cut
  // short, and a hash of the part read stored.
  if (password.size() > records::kMaxRecordBytes) {
    output.err += "the password is longer than a record may hold; nothing changed\n";
    return kRefused;
  }
  // The site stores what its form posts: the typed text escaped. Stored so,
  // the password is the one the member types into the form.
  const std::string posted = text::EscapePostedValue(password);
  if (posted.size() < records::kMinPasswordLength) {
    output.err += "the password is shorter than the site allows (" + std::to_string(records::kMinPasswordLength) +
                  " bytes as stored); nothing changed\n";
    return kRefused;
  }
  const std::string stored = credentials::StoredPassword(session.storage, posted);
  switch (records::SetMemberPassword(site.module.MembersDb, id, stored)) {
    case records::UpdateResult::kRefused:
      output.err += "member " + Quoted(id) + " was removed meanwhile; nothing changed\n";
      return kNotFound;
    case records::UpdateResult::kTooLarge:
      output.err += "the record would exceed " + std::to_string(records::kMaxRecordBytes) +
                    " bytes; nothing changed\n";
      return kRefused;
    case records::UpdateResult::kSaved: break;
  }
  output.out += std::string(id) + ": password set" + (stored == posted ? "\n" : " (hashed)\n");
  return kOk;
}

int Remove(Site& site, std::string_view session_name, std::string_view id, Output& output) {
  Session session;
  if (const int code = OpenMember(site, session_name, id, session, output); code != kOk) return code;
  if (!records::RemoveMember(site.module.MembersDb, id)) {
    output.err += "member " + Quoted(id) + " was removed meanwhile\n";
    return kNotFound;
  }
  // The posts stay (remove-post); their listing on the profile goes, or the
  // next member to register the ID would show them.
  records::RemovePostIndex(site.module.UploadPath, id);
  output.out += std::string(id) + ": removed\n";
  return kOk;
}

int FreeId(Site& site, std::string_view session_name, std::string_view id, Output& output) {
  Session session;
  if (!LoadSession(site, session_name, session, output.err)) return kNotFound;
  if (site.module.MembersDb.empty()) {
    output.err += session.settings_path + ": membersdb names no folder\n";
    return kNotFound;
  }
  if (!records::FreeReservedId(site.module.MembersDb, id)) {
    output.err += "the ID " + Quoted(id) + " is not reserved in session " + Quoted(session_name) + "\n";
    return kNotFound;
  }
  output.out += std::string(id) + ": free to register again\n";
  return kOk;
}

int HashPasswords(Site& site, std::string_view session_name, Output& output) {
  Session session;
  if (!LoadSession(site, session_name, session, output.err)) return kNotFound;
  if (site.module.MembersDb.empty()) {
    output.err += session.settings_path + ": membersdb names no folder\n";
    return kNotFound;
  }
  if (session.storage == credentials::PasswordStorage::kClear) {
    output.err += "session " + Quoted(session_name) +
                  " stores passwords in the clear: set PasswordHash=argon2id in " + session.settings_path +
                  " first; nothing changed\n";
    return kRefused;
  }
  std::map<records::RehashOutcome, int> counts;
  records::RehashPasswords(site.module.MembersDb, session.storage,
                          [&](const std::string& id, records::RehashOutcome outcome) {
                            ++counts[outcome];
                            switch (outcome) {
                              case records::RehashOutcome::kRewritten: output.out += id + ": hashed\n"; break;
                              case records::RehashOutcome::kAlreadyStored: break;
                              case records::RehashOutcome::kNoPassword:
                                output.out += id + ": no pw= line, left as it is\n";
                                break;
                              case records::RehashOutcome::kTooLarge:
                                output.out += id + ": record too large, left as it is\n";
                                break;
                              case records::RehashOutcome::kGone: break;
                            }
                          });
  output.out += std::to_string(counts[records::RehashOutcome::kRewritten]) + " hashed, " +
                std::to_string(counts[records::RehashOutcome::kAlreadyStored]) + " already hashed\n";
  // A script must not take a session for hashed while a password is left
  // in the clear.
  return counts[records::RehashOutcome::kTooLarge] > 0 ? kRefused : kOk;
}

std::string FormatTime(const platform::LocalTime& t) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
  return buf;
}

// The value of the first field whose name holds "title" in any letter case.
std::string_view TitleOf(const text::NameValueList& record) {
  for (std::size_t i = 0; i < record.Count(); ++i) {
    std::string name(record.NameAt(i));
    std::transform(name.begin(), name.end(), name.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    if (name.find("title") != std::string::npos) return record.Value(record.NameAt(i));
  }
  return {};
}

// A post: its record (NAME.txt, "<tslkeys>" first) and its image (NAME with
// the stored extension; empty when it is gone).
struct Post {
  std::string base;
  std::string image;
  platform::LocalTime modified;
  text::NameValueList record;
};

// Calls `each` with the posts of the session's upload folder, newest first,
// one record in memory at a time, until it returns false; false (with the
// reason in `err`) when the session has no upload folder.
template <typename Each>
bool ForEachPost(Site& site, std::string_view session_name, std::string& err, Each&& each) {
  Session session;
  if (!LoadSession(site, session_name, session, err)) return false;
  const std::string& dir = site.module.UploadPath;
  if (dir.empty()) {
    err += session.settings_path + ": path names no folder\n";
    return false;
  }
  const std::vector<platform::DirectoryEntry> entries = platform::ListDirectory(dir);
  std::map<std::string, std::string> files;  // name without extension -> stored file
  std::vector<const platform::DirectoryEntry*> records;
  for (const platform::DirectoryEntry& entry : entries) {
    if (!entry.regular || entry.name.starts_with(".")) continue;
    if (entry.name.ends_with(".txt")) {
      records.push_back(&entry);
    } else {
      const std::size_t dot = entry.name.rfind('.');
      files[entry.name.substr(0, dot)] = entry.name;
    }
  }
  std::sort(records.begin(), records.end(), [](const auto* a, const auto* b) {
    return a->modified != b->modified ? a->modified > b->modified : a->name > b->name;
  });
  for (const platform::DirectoryEntry* entry : records) {
    const std::string path = dir + entry->name;
    if (!text::FileExists(path)) continue;
    const std::string bytes = platform::ReadWholeFile(path);
    if (!bytes.starts_with("<tslkeys>")) continue;  // the counter, or a file of the operator's
    Post post;
    post.base = entry->name.substr(0, entry->name.size() - 4);
    const auto file = files.find(post.base);
    if (file != files.end()) post.image = file->second;
    post.modified = entry->modified_local;
    post.record.SetText(bytes);
    if (!each(post)) break;
  }
  return true;
}

int Posts(Site& site, std::string_view session_name, const std::optional<std::string>& member_id,
          Output& output) {
  const bool listed = ForEachPost(site, session_name, output.err, [&](const Post& post) {
    if (member_id && post.record.Value("id") != *member_id) return true;
    output.out.append(FormatTime(post.modified)).append("\t");
    output.out.append(Cell(post.image.empty() ? post.base + " (no file)" : post.image)).append("\t");
    output.out.append(Cell(post.record.Value("id"))).append("\t").append(Cell(TitleOf(post.record))).append("\n");
    return true;
  });
  return listed ? kOk : kNotFound;
}

int RemovePost(Site& site, std::string_view session_name, std::string_view name, Output& output) {
  std::optional<Post> found;
  const bool listed = ForEachPost(site, session_name, output.err, [&](const Post& post) {
    if (name == post.base || name == post.base + ".txt" || (!post.image.empty() && name == post.image)) {
      found = post;
    }
    return !found;
  });
  if (!listed) return kNotFound;
  if (!found) {
    output.err += "no post " + Quoted(name) + " in session " + Quoted(session_name) + "\n";
    return kNotFound;
  }
  // Under the posts' own lock, so no post is being stored under this name
  // meanwhile. The image goes first: a record left alone is still listed,
  // an image left alone would be served for ever.
  const std::string& dir = site.module.UploadPath;
  const std::string record = found->base + ".txt";
  const platform::FileLock lock = records::LockPosts(dir);
  if (!text::FileExists(dir + record)) {
    output.err += "post " + Quoted(name) + " was removed meanwhile\n";
    return kNotFound;
  }
  const bool had_image = !found->image.empty() && text::FileExists(dir + found->image);
  if (had_image) platform::RemoveFile(dir + found->image);
  records::RemoveSizedCopies(dir, found->base);
  platform::RemoveFile(dir + record);
  output.out += "removed " + (had_image ? found->image + " and " + record : record + " (it had no image)") +
                ", posted by " + std::string(found->record.Value("id")) + "\n";
  return kOk;
}

int SizePhotos(Site& site, std::string_view session_name, Output& output) {
  std::size_t made = 0, had = 0, not_made = 0;
  bool write_failed = false;
  bool told = false;
  const bool listed = ForEachPost(site, session_name, output.err, [&](const Post& post) {
    // Made all the same: the operator may be about to switch the session.
    if (!told && !site.module.ModernPages) {
      output.err += "note: session " + std::string(session_name) + " shows the default page set, which shows no copies\n";
      told = true;
    }
    if (post.image.empty()) return true;
    const std::string& dir = site.module.UploadPath;
    bool missing = false;
    for (const int side : records::kCopySides) missing = missing || !text::FileExists(records::SizedCopyPath(dir, post.base, side));
    if (!missing) {
      ++had;
      return true;
    }
    if (!records::SizedCopyNamesFit(post.base)) {
      ++not_made;
      output.out += Cell(post.image) + ": no copies (the name leaves no room for the copies' suffix); shown as posted\n";
      return true;
    }
    // Decoded before the lock, as a post does: posts wait for nothing but
    // the writing.
    std::string image;
    try {
      image = platform::ReadWholeFile(dir + post.image);
    } catch (const platform::Exception&) {
      return true;  // removed since the folder was listed
    }
    const imaging::Copies copies = imaging::MakeSizedCopies(image, records::kCopySides);
    if (copies.outcome != imaging::CopiesOutcome::kMade) {
      ++not_made;
      output.out += Cell(post.image) + ": no copies (" + copies.why + "); shown as posted\n";
      return true;
    }
    std::vector<records::SizedCopyFile> files;
    for (const imaging::Copy& copy : copies.copies) files.push_back({copy.long_side, copy.jpeg});
    const platform::FileLock lock = records::LockPosts(dir);
    // A post removed meanwhile gets no copies, nor does a new post that
    // took its name: only the photo decoded gets these.
    if (!text::FileExists(dir + post.base + ".txt") || !text::FileExists(dir + post.image) ||
        platform::ReadWholeFile(dir + post.image) != image) {
      return true;
    }
    if (!records::StoreSizedCopies(dir, post.base, files)) {
      output.err += Cell(post.image) + ": a copy could not be written (see the error log)\n";
      write_failed = true;
      return true;
    }
    ++made;
    std::string sizes;
    for (const imaging::Copy& copy : copies.copies) {
      sizes += (sizes.empty() ? "" : ", ") + std::to_string(copy.width) + "x" + std::to_string(copy.height);
    }
    output.out += Cell(post.image) + ": copies made (" + sizes + ")\n";
    return true;
  });
  if (!listed) return kNotFound;
  output.out += std::to_string(made) + " made, " + std::to_string(had) + " had them, " + std::to_string(not_made) +
                " without\n";
  return write_failed ? kIoError : kOk;
}

}  // namespace

int Run(const std::vector<std::string>& args, Output& output, platform::TerminalCharset typed) {
  std::string site_dir;
  std::size_t at = 0;
  if (at < args.size() && (args[at] == "--help" || args[at] == "-h" || args[at] == "help")) {
    const Command* command = at + 1 < args.size() ? FindCommand(args[at + 1]) : nullptr;
    output.out += command ? command->help : kUsageText;
    return kOk;
  }
  if (args.size() == 1 && args[0] == "--version") {
    output.out += "orvalengate-admin " ORVALENGATE_VERSION "\nthe program's build: " ORVALENGATE_FEATURES "\n";
    return kOk;
  }
  if (at < args.size() && args[at].starts_with("--site=")) {
    site_dir = args[at++].substr(7);
  } else if (at < args.size() && args[at] == "--site") {
    if (at + 1 >= args.size()) {
      output.err += "--site needs a folder\n";
      return kUsage;
    }
    site_dir = args[at + 1];
    at += 2;
  }
  if (at < args.size() && site_dir.empty() && args[at].starts_with("--site")) {
    output.err += "--site needs a folder\n";
    return kUsage;
  }
  if (at >= args.size()) {
    output.err += kUsageText;
    return kUsage;
  }
  const Command* command = FindCommand(args[at]);
  if (command == nullptr) {
    output.err += "unknown command " + Quoted(args[at]) + "\n\n";
    output.err += kUsageText;
    return kUsage;
  }
  const std::vector<std::string> rest(args.begin() + static_cast<long>(at) + 1, args.end());
  if (std::find(rest.begin(), rest.end(), "--help") != rest.end()) {
    output.out += command->help;
    return kOk;
  }
  std::optional<std::string> option_value;
  std::vector<std::string> arguments;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    const std::string& arg = rest[i];
    if (!command->option.empty() && arg.starts_with(command->option) &&
        (arg.size() == command->option.size() || arg[command->option.size()] == '=') && !option_value) {
      if (arg.size() > command->option.size()) {
        option_value = arg.substr(command->option.size() + 1);
      } else if (i + 1 < rest.size()) {
        option_value = rest[++i];
      } else {
        output.err += command->help;
        return kUsage;
      }
    } else {
      arguments.push_back(arg);
    }
  }
  if (arguments.size() != command->arguments) {
    output.err += command->help;
    return kUsage;
  }
  if (!site_dir.empty() && !text::DirectoryExists(site_dir)) {
    output.err += "no folder " + site_dir + "\n";
    return kNotFound;
  }
  try {
    Site site;
    LoadSite(site, site_dir);
    const std::vector<std::string>& a = arguments;
    if (command->name == "check") return Check(site, output);
    if (command->name == "members") return Members(site, a[0], output);
    if (command->name == "show") return Show(site, a[0], a[1], output);
    if (command->name == "reset-password") return ResetPassword(site, a[0], a[1], typed, output);
    if (command->name == "remove") return Remove(site, a[0], a[1], output);
    if (command->name == "free-id") return FreeId(site, a[0], a[1], output);
    if (command->name == "recent") return Recent(site, a[0], output);
    if (command->name == "hash-passwords") return HashPasswords(site, a[0], output);
    if (command->name == "remove-post") return RemovePost(site, a[0], a[1], output);
    if (command->name == "size-photos") return SizePhotos(site, a[0], output);
    return Posts(site, a[0], option_value, output);
  } catch (const platform::Exception& e) {
    output.err += e.Message() + "\n";
    return kIoError;
  } catch (const std::bad_alloc&) {
    output.err += "out of memory\n";
    return kIoError;
  }
}

}  // namespace admin
