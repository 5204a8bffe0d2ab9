#include "records/PostIndex.h"

#include <algorithm>
#include <array>
#include <optional>

#include "platform/Digest.h"
#include "platform/Files.h"
#include "platform/Sjis.h"
#include "records/Posting.h"
#include "text/NameValueList.h"

namespace records {

// Tabs become blanks, so a line of the index holds three fields.
std::string CutTitle(std::string_view title) {
  std::size_t end = 0;
  while (end < title.size()) {
    std::size_t next = end + platform::CharLength(title, end);
    if (title[end] == '&') {
      // Escaping makes short entities ("&amp;", "&#12354;"): look no further.
      const std::size_t semi = title.substr(0, std::min(title.size(), end + 12)).find(';', end);
      if (semi != std::string_view::npos) next = semi + 1;
    }
    if (next > kMaxTitleBytes) break;
    end = next;
  }
  std::string out(title.substr(0, end));
  for (char& c : out) {
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
  }
  return out;
}

std::string PostIndexPath(std::string_view upload_dir, std::string_view id) {
  return text::IncludeTrailingDelimiter(upload_dir) + ".posts-" + platform::Sha256Hex(id).substr(0, 32);
}

void RemovePostIndex(const std::string& upload_dir, std::string_view id) {
  if (upload_dir.empty()) return;
  const std::string dir = text::IncludeTrailingDelimiter(upload_dir);
  const std::string path = PostIndexPath(dir, id);
  if (!text::FileExists(path)) return;
  const platform::FileLock lock = LockPosts(dir);
  if (text::FileExists(path)) platform::RemoveFile(path);
}

bool AppendPostIndex(std::string_view upload_dir, std::string_view id, std::string_view name, std::string_view ext,
                     std::string_view title) {
  std::string line(name);
  line.append("\t").append(ext).append("\t").append(CutTitle(title)).append("\r\n");
  return platform::AppendToFile(PostIndexPath(upload_dir, id), line);
}

PostPage ReadPostPage(std::string_view upload_dir, std::string_view id, std::int64_t before, std::size_t count) {
  PostPage page;
  std::int64_t start = 0;
  const std::optional<std::string> tail = platform::ReadFileTail(PostIndexPath(upload_dir, id), before,
                                                                 kPostWindowBytes, start);
  if (!tail) return page;
  std::string_view rest = *tail;
  // A window that starts inside a line drops that line; the next page
  // starts with it.
  std::size_t first = 0;
  if (start > 0) {
    first = rest.find("\r\n");
    first = first == std::string_view::npos ? rest.size() : first + 2;
  }
  const std::string dir = text::IncludeTrailingDelimiter(upload_dir);
  std::size_t end = rest.size();
  for (std::size_t looked = 0; looked < 4 * count && page.posts.size() < count && end > first; ++looked) {
    // The line ends with its own CR LF; the one before that ends the line
    // before.
    std::size_t line_start = end - first >= 3 ? rest.rfind("\r\n", end - 3) : std::string_view::npos;
    line_start = line_start == std::string_view::npos || line_start < first ? first : line_start + 2;
    std::string_view line = rest.substr(line_start, end - line_start);
    end = line_start;
    if (line.ends_with("\r\n")) line.remove_suffix(2);
    const std::size_t tab1 = line.find('\t');
    const std::size_t tab2 = tab1 == std::string_view::npos ? tab1 : line.find('\t', tab1 + 1);
    if (tab2 == std::string_view::npos) continue;
    PostEntry entry{std::string(line.substr(0, tab1)), std::string(line.substr(tab1 + 1, tab2 - tab1 - 1)),
                    std::string(line.substr(tab2 + 1))};
    // Posts whose image the operator removed are left out.
    if (!platform::IsPlainFileName(entry.name, entry.ext) || !text::FileExists(dir + entry.name + entry.ext)) continue;
    page.posts.push_back(std::move(entry));
  }
  if (end > first || start > 0) page.older = start + static_cast<std::int64_t>(end);
  return page;
}

}  // namespace records
