// Whole-file writes go through the atomic helpers of the platform layer, so a
// reader (another request, an operator) never sees half a record, half a dump
// or a log entry mixed from two processes.
#include "records/Storage.h"

#include <cstdio>
#include <string>

#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/Sjis.h"
#include "text/NameValueList.h"

namespace records {
namespace {

// Appends the number zero-padded to `width` digits.
void AppendPadded(std::string& out, int value, int width) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*d", width, value);
  out += buf;
}

}  // namespace

std::string ProgramDir() {
  const std::string exe = platform::ExecutablePath();
  const char delimiters[] = {platform::kPathDelimiter, '\0'};
  const std::size_t last = platform::FindLastDelimiterSjis(exe, delimiters);
  if (last == std::string::npos) return text::IncludeTrailingDelimiter("");
  return text::IncludeTrailingDelimiter(std::string_view(exe).substr(0, last + 1));
}

void WriteFileText(std::string_view text, const std::string& path) { platform::ReplaceFile(path, text); }

bool CreateFileText(const platform::Bytes& text, const std::string& path) {
  return platform::CreateFileExclusive(path, text);
}

void ReadFileText(const std::string& path, std::string& text) { text = platform::ReadWholeFile(path); }

void LogError(std::string_view message) {
  // A packaged program's folder is read-only; its error.txt is a link into
  // the log folder.
  const std::string path = platform::LinkTarget(ProgramDir() + "error.txt");
  // The whole entry is built first and replaces the log in one step: two
  // requests logging at once leave one of their entries, never a mix.
  std::string entry = FormatLogTime(platform::Now());
  entry += "\r\n";
  entry += message;
  entry += "\r\n";
  try {
    platform::ReplaceFile(path, entry);
  } catch (const platform::EFCreateError&) {
    // The log is an input/output file: a log that cannot be opened reports
    // the "file not open" number, not the create message of the records.
    throw platform::EInOutError(103);
  } catch (const platform::EWriteError& e) {
    throw platform::EInOutError(platform::InOutNumberFromErrno(e.ErrorNumber()));
  }
}

void WriteDump(std::string_view dump_path, std::string_view day, std::string_view stamp, std::string_view body) {
  const std::string dir = text::IncludeTrailingDelimiter(text::IncludeTrailingDelimiter(dump_path) + std::string(day));
  if (!text::DirectoryExists(dir)) platform::CreateDirectories(dir);
  // Two requests within one millisecond share a Stamp; the name is claimed
  // atomically so the second dump gets its own file instead of replacing
  // the first.
  std::string base = dir;
  base += stamp;
  if (CreateFileText(body, base + ".txt")) return;
  for (unsigned n = 1;; ++n) {
    if (CreateFileText(body, base + "-" + std::to_string(n) + ".txt")) return;
  }
}

std::string FormatDay(const platform::LocalTime& t) {
  std::string out;
  AppendPadded(out, t.year, 4);
  AppendPadded(out, t.month, 2);
  AppendPadded(out, t.day, 2);
  return out;
}

std::string FormatStamp(const platform::LocalTime& t) {
  std::string out = FormatDay(t);
  out += '-';
  AppendPadded(out, t.hour, 2);
  AppendPadded(out, t.minute, 2);
  AppendPadded(out, t.second, 2);
  out += '-';
  AppendPadded(out, t.millisecond, 3);
  return out;
}

std::string FormatLogTime(const platform::LocalTime& t) {
  std::string out = FormatDay(t);
  out += '-';
  AppendPadded(out, t.hour, 2);
  out += ':';
  AppendPadded(out, t.minute, 2);
  out += ':';
  AppendPadded(out, t.second, 2);
  return out;
}

}  // namespace records
