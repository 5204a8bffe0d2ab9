#include "text/NameValueList.h"

#include <algorithm>
#include <unordered_set>
#include <utility>

#include "platform/Files.h"
#include "platform/Sjis.h"

namespace text {
namespace {

constexpr std::string_view kLineEnd = "\r\n";

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

}  // namespace

void NameValueList::SetText(std::string_view text) {
  lines_.clear();
  std::size_t pos = 0;
  while (pos < text.size()) {
    // A NUL is data like any other byte, so only CR and LF end a line.
    std::size_t end = text.find_first_of(kLineEnd, pos);
    if (end == std::string_view::npos) end = text.size();
    lines_.emplace_back(text.substr(pos, end - pos));
    pos = end;
    // One CR then one LF at most: CR LF is one line end, LF CR two.
    if (pos < text.size() && text[pos] == '\r') ++pos;
    if (pos < text.size() && text[pos] == '\n') ++pos;
  }
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

std::string FieldValue(std::string_view text, std::string_view name) {
  NameValueList list;
  list.SetText(text);
  return std::string(list.Value(name));
}

void RemoveField(std::string& text, std::string_view name) {
  NameValueList kept;
  NameValueList all;
  all.SetText(text);
  // One pass instead of delete-first-match-and-search-again: the same lines
  // go, without quadratic cost on posts with thousands of fields.
  for (std::size_t i = 0; i < all.Count(); ++i) {
    if (!NameMatches(all.Line(i), name)) kept.Add(all.Line(i));
  }
  text = kept.GetText();
}

bool RequiredFieldsFilled(std::string_view text) {
  NameValueList list;
  list.SetText(text);
  // Only the first line of a name decides for every line of that name, and
  // an earlier line of the name would already have answered; so each name is
  // judged once, at its first line. Names are keyed by their ASCII upper
  // case, which is exactly the equality that lookups use.
  std::unordered_set<std::string> judged;
  for (std::size_t i = 0; i < list.Count(); ++i) {
    std::string_view name, value;
    if (!SplitLine(list.Line(i), name, value) || name.empty()) continue;
    std::string lowered(name);
    for (char& c : lowered) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    if (lowered.find("blank-") == std::string::npos) continue;
    if (!judged.insert(platform::AsciiUpperSjis(name)).second) continue;
    if (value.empty()) return false;
  }
  return true;
}

bool FileExists(const std::string& path) { return platform::FileExists(path); }

bool DirectoryExists(const std::string& path) { return platform::DirectoryExists(path); }

std::string IncludeTrailingDelimiter(std::string_view path) {
  std::string out(path);
  if (out.empty() || out.back() != platform::kPathDelimiter) out += platform::kPathDelimiter;
  return out;
}

}  // namespace text
