// The posts of one member in one upload folder, for the second page set's
// profile: a hidden file per member (".posts-" and 32 hex digits of the
// ID's SHA-256, so any ID gives a short plain name), one line per post,
// "NAME<TAB>EXT<TAB>TITLE" and CR LF, appended by the post command under
// the posts lock. A view reads only the index's last bytes, so it costs the
// same for a member with ten posts as for one with a million.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace records {

std::string PostIndexPath(std::string_view upload_dir, std::string_view id);

// Ends the member's index under the posts lock, the posts left as they
// are: a member who leaves takes the listing along, and a later holder of
// the ID starts with none. Nothing happens without an upload folder.
void RemovePostIndex(const std::string& upload_dir, std::string_view id);

// Adds a post; the title (as posted, escaped) is cut to kMaxTitleBytes.
// False when the index cannot be written (the post itself stands).
inline constexpr std::size_t kMaxTitleBytes = 300;
bool AppendPostIndex(std::string_view upload_dir, std::string_view id, std::string_view name, std::string_view ext,
                     std::string_view title);

// A title as the index keeps it: cut to kMaxTitleBytes on a character
// boundary and never inside an entity, tabs and line breaks made blanks.
std::string CutTitle(std::string_view title);

struct PostEntry {
  std::string name;
  std::string ext;
  std::string title;
};

struct PostPage {
  std::vector<PostEntry> posts;  // newest first
  std::int64_t older = -1;       // the `before` of the next page; -1: none
};

// Up to `count` posts whose image is still there, newest first, among the
// entries that end before byte `before` of the index (its end when
// negative). At most 4 x count entries are looked at, within the index's
// last kPostWindowBytes before `before`.
inline constexpr std::size_t kPostWindowBytes = 64 * 1024;
PostPage ReadPostPage(std::string_view upload_dir, std::string_view id, std::int64_t before, std::size_t count);

}  // namespace records
