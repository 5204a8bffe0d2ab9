// The name=value text format shared by every state file and by the request's
// posted fields, and the list through which it is read, queried, changed and
// written. Lines end at CR, LF or CR LF on reading and with CR LF on writing;
// a name is the bytes before the first "="; names match ignoring the case of
// ASCII letters; the first matching line counts; NUL is an ordinary byte.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace text {

class NameValueList {
 public:
  // Replaces all lines by the lines of the text.
  void SetText(std::string_view text);
  // Every line followed by CR LF; no lines give the empty text.
  std::string GetText() const;
  // Reads every byte of the file, then SetText. Throws platform::EFOpenError.
  void LoadFromFile(const std::string& path);
  // Atomically replaces the file with GetText(). Throws platform::EFCreateError
  // or platform::EWriteError; the old file stays whole when it throws.
  void SaveToFile(const std::string& path) const;

  std::size_t Count() const noexcept { return lines_.size(); }
  const std::string& Line(std::size_t index) const { return lines_[index]; }
  // The name of that line; empty for a line without "=".
  std::string_view NameAt(std::size_t index) const;
  // Index of the first line whose name matches; -1 if none.
  long IndexOfName(std::string_view name) const;
  // The value of the first matching line; empty if none.
  std::string_view Value(std::string_view name) const;
  // Non-empty value: replaces the first matching line by name=value (the
  // caller's spelling), or appends one. Empty value: deletes the first
  // matching line, if any.
  void SetValue(std::string_view name, std::string_view value);
  void Delete(std::size_t index);
  void Add(std::string line) { lines_.push_back(std::move(line)); }
  void Clear() noexcept { lines_.clear(); }

 private:
  std::vector<std::string> lines_;
};

// The value of `name` in a name=value text; empty when no line matches.
std::string FieldValue(std::string_view text, std::string_view name);
// The same value as a view into `text`, valid while `text` is unchanged.
std::string_view FieldView(std::string_view text, std::string_view name);
// Removes every line of that name; the text comes back in GetText form.
// A text already in that form is changed in place.
void RemoveField(std::string& text, std::string_view name);
// False when a field whose name contains "blank-" (any letter case, anywhere
// in the name) has an empty value.
bool RequiredFieldsFilled(std::string_view text);

bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);
// The path with one "/" added unless it already ends with one; "" gives "/".
std::string IncludeTrailingDelimiter(std::string_view path);

}  // namespace text
