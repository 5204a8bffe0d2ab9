#include "text/NameValueList.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <utility>

#include "platform/Files.h"
#include "platform/Sjis.h"

namespace text {
namespace {

constexpr std::string_view kLineEnd = "\r\n";

char AsciiLower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Splits a line at its first "=". False for a line without one: such a line
// has no name and must never answer a lookup, not even of the empty name.
bool SplitLine(std::string_view line, std::string_view& name, std::string_view& value) {
  const std::size_t eq = line.find('=');
  if (eq == std::string_view::npos) return false;
  name = line.substr(0, eq);
  value = line.substr(eq + 1);
  return true;
}

bool NameMatches(std::string_view line, std::string_view name) {
  std::string_view line_name, value;
  return SplitLine(line, line_name, value) && platform::SameTextSjis(line_name, name);
}

// Calls visit(line, end, next) for every line in order, where `end` is the
// position of its line end and `next` that of the following line, as
// SetText splits them; stops when visit returns false. Nothing is copied.
template <typename Visit>
void ForEachLine(std::string_view text, Visit&& visit) {
  // The next CR and the next LF are each looked for with memchr and kept
  // until passed: a field list of many megabytes is searched at memchr's
  // speed, and still only once for each of the two bytes. A NUL is data
  // like any other byte, so only CR and LF end a line.
  auto next_of = [text](char c, std::size_t from) {
    const std::size_t found = text.find(c, from);
    return found == std::string_view::npos ? text.size() : found;
  };
  std::size_t cr = next_of('\r', 0);
  std::size_t lf = next_of('\n', 0);
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (cr < pos) cr = next_of('\r', pos);
    if (lf < pos) lf = next_of('\n', pos);
    const std::size_t end = std::min(cr, lf);
    std::size_t next = end;
    // One CR then one LF at most: CR LF is one line end, LF CR two.
    if (next < text.size() && text[next] == '\r') ++next;
    if (next < text.size() && text[next] == '\n') ++next;
    if (!visit(text.substr(pos, end - pos), end, next)) return;
    pos = next;
  }
}

bool ContainsNoCase(std::string_view text, std::string_view lower_word) {
  for (std::size_t pos = 0; pos + lower_word.size() <= text.size(); ++pos) {
    std::size_t i = 0;
    while (i < lower_word.size() && AsciiLower(text[pos + i]) == lower_word[i]) ++i;
    if (i == lower_word.size()) return true;
  }
  return false;
}

// A set of names, views into one text, equal as lookups find them equal
// (ASCII case ignored outside double-byte characters). Open addressing over
// a table of views; the hash is seeded per process so that no poster can
// choose names that all fall into one chain.
class NameSet {
 public:
  // False when an equal name is already in the set.
  bool Insert(std::string_view name) {
    if (2 * (used_ + 1) > slots_.size()) Grow();
    std::size_t i = Hash(name) & (slots_.size() - 1);
    while (slots_[i].data() != nullptr) {
      if (platform::SameTextSjis(slots_[i], name)) return false;
      i = (i + 1) & (slots_.size() - 1);
    }
    slots_[i] = name;
    ++used_;
    return true;
  }

 private:
  static std::uint64_t Hash(std::string_view name) {
    static const std::uint64_t seed = (static_cast<std::uint64_t>(std::random_device{}()) << 32) ^ std::random_device{}();
    std::uint64_t h = seed ^ 0xcbf29ce484222325ULL;
    for (std::size_t pos = 0; pos < name.size();) {
      const std::size_t length = platform::CharLength(name, pos);
      for (std::size_t i = 0; i < length; ++i) {
        const char c = length == 1 ? AsciiLower(name[pos]) : name[pos + i];
        h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
      }
      pos += length;
    }
    return h ^ (h >> 29);
  }
  void Grow() {
    std::vector<std::string_view> old(slots_.empty() ? 16 : 2 * slots_.size());
    old.swap(slots_);
    used_ = 0;
    for (std::string_view name : old) {
      if (name.data() != nullptr) Insert(name);
    }
  }

  std::vector<std::string_view> slots_;
  std::size_t used_ = 0;
};

}  // namespace

void NameValueList::SetText(std::string_view text) {
  lines_.clear();
  ForEachLine(text, [this](std::string_view line, std::size_t, std::size_t) {
    lines_.emplace_back(line);
    return true;
  });
}

std::string NameValueList::GetText() const {
  std::size_t total = 0;
  for (const std::string& line : lines_) total += line.size() + kLineEnd.size();
  std::string out;
  out.reserve(total);
  for (const std::string& line : lines_) {
    out += line;
    out += kLineEnd;
  }
  return out;
}

void NameValueList::LoadFromFile(const std::string& path) { SetText(platform::ReadWholeFile(path)); }

// Written beside the target and renamed over it, so a reader sees the old
// record or the new one, and a failed write never leaves a truncated file.
void NameValueList::SaveToFile(const std::string& path) const { platform::ReplaceFile(path, GetText()); }

std::string_view NameValueList::NameAt(std::size_t index) const {
  std::string_view name, value;
  return SplitLine(lines_[index], name, value) ? name : std::string_view();
}

long NameValueList::IndexOfName(std::string_view name) const {
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    if (NameMatches(lines_[i], name)) return static_cast<long>(i);
  }
  return -1;
}

std::string_view NameValueList::Value(std::string_view name) const {
  const long index = IndexOfName(name);
  if (index < 0) return {};
  std::string_view line_name, value;
  SplitLine(lines_[static_cast<std::size_t>(index)], line_name, value);
  return value;
}

void NameValueList::SetValue(std::string_view name, std::string_view value) {
  const long index = IndexOfName(name);
  if (value.empty()) {
    // An empty value removes the field rather than writing "name=".
    if (index >= 0) Delete(static_cast<std::size_t>(index));
    return;
  }
  std::string line;
  line.reserve(name.size() + 1 + value.size());
  line.append(name).append(1, '=').append(value);
  if (index >= 0) {
    lines_[static_cast<std::size_t>(index)] = std::move(line);
  } else {
    lines_.push_back(std::move(line));
  }
}

void NameValueList::Delete(std::size_t index) { lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(index)); }

std::string_view FieldView(std::string_view text, std::string_view name) {
  std::string_view found;
  ForEachLine(text, [&](std::string_view line, std::size_t, std::size_t) {
    std::string_view line_name, value;
    if (!SplitLine(line, line_name, value) || !platform::SameTextSjis(line_name, name)) return true;
    found = value;
    return false;
  });
  return found;
}

std::string FieldValue(std::string_view text, std::string_view name) { return std::string(FieldView(text, name)); }

void RemoveField(std::string& text, std::string_view name) {
  // The posted field list is already in written form, every line ended by
  // CR LF: then the kept lines move up in place, and no second copy of a
  // list that may be many times the body is ever made.
  bool written_form = true;
  ForEachLine(text, [&](std::string_view, std::size_t end, std::size_t next) {
    written_form = next - end == kLineEnd.size() && text.compare(end, kLineEnd.size(), kLineEnd) == 0;
    return written_form;
  });
  if (!written_form) {
    NameValueList all;
    all.SetText(text);
    std::string out;
    for (std::size_t i = 0; i < all.Count(); ++i) {
      if (!NameMatches(all.Line(i), name)) out.append(all.Line(i)).append(kLineEnd);
    }
    text = std::move(out);
    return;
  }
  std::size_t kept = 0;
  ForEachLine(text, [&](std::string_view line, std::size_t end, std::size_t next) {
    const std::size_t start = end - line.size();
    if (!NameMatches(line, name)) {
      if (kept != start) std::memmove(text.data() + kept, text.data() + start, next - start);
      kept += next - start;
    }
    return true;
  });
  text.resize(kept);
}

bool RequiredFieldsFilled(std::string_view text) {
  // Only the first line of a name decides for every line of that name, and
  // an earlier line of the name would already have answered; so each name is
  // judged once, at its first line, remembered in a set of views.
  NameSet judged;
  bool filled = true;
  ForEachLine(text, [&](std::string_view line, std::size_t, std::size_t) {
    std::string_view name, value;
    if (!SplitLine(line, name, value) || name.empty() || !ContainsNoCase(name, "blank-")) return true;
    if (!judged.Insert(name)) return true;
    filled = !value.empty();
    return filled;
  });
  return filled;
}

bool FileExists(const std::string& path) { return platform::FileExists(path); }

bool DirectoryExists(const std::string& path) { return platform::DirectoryExists(path); }

std::string IncludeTrailingDelimiter(std::string_view path) {
  std::string out(path);
  if (out.empty() || out.back() != platform::kPathDelimiter) out += platform::kPathDelimiter;
  return out;
}

}  // namespace text
