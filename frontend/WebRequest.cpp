#include "frontend/WebRequest.h"

#include <algorithm>

#include "frontend/HttpDate.h"
#include "platform/Sjis.h"

namespace frontend {
namespace {

// Indexes 15 and 16 hold the HTTP_ names; the lookup rule reaches the CGI
// names CONTENT_TYPE and CONTENT_LENGTH by dropping the prefix.
constexpr std::string_view kVariableNames[29] = {
    "REQUEST_METHOD", "SERVER_PROTOCOL", "URL", "QUERY_STRING", "PATH_INFO", "PATH_TRANSLATED",
    "HTTP_CACHE_CONTROL", "HTTP_DATE", "HTTP_ACCEPT", "HTTP_FROM", "HTTP_HOST", "HTTP_IF_MODIFIED_SINCE",
    "HTTP_REFERER", "HTTP_USER_AGENT", "HTTP_CONTENT_ENCODING", "HTTP_CONTENT_TYPE", "HTTP_CONTENT_LENGTH",
    "HTTP_CONTENT_VERSION", "HTTP_DERIVED_FROM", "HTTP_EXPIRES", "HTTP_TITLE", "REMOTE_ADDR",
    "REMOTE_HOST", "SCRIPT_NAME", "SERVER_PORT", "", "HTTP_CONNECTION", "HTTP_COOKIE", "HTTP_AUTHORIZATION",
};

// The body arrives in pieces of at most this size, and the buffer grows only
// by what actually arrived: a declared length is a claim of the client, not
// a promise, and must not decide how much memory is taken up front.
constexpr std::size_t kReadChunk = 64 * 1024;

TMethodType MethodFromText(std::string_view method) {
  if (platform::SameTextSjis(method, "GET")) return TMethodType::mtGet;
  if (platform::SameTextSjis(method, "PUT")) return TMethodType::mtPut;
  if (platform::SameTextSjis(method, "POST")) return TMethodType::mtPost;
  if (platform::SameTextSjis(method, "HEAD")) return TMethodType::mtHead;
  return TMethodType::mtAny;
}

int DigitValue(char c, int base) {
  int v = -1;
  if (c >= '0' && c <= '9') v = c - '0';
  else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
  else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
  return v < base ? v : -1;
}

}  // namespace

std::int32_t StrToIntDef(std::string_view text, std::int32_t fallback) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n && text[i] == ' ') ++i;
  bool negative = false;
  if (i < n && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  int base = 10;
  if (i < n && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    base = 16;
    ++i;
  } else if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= n) return fallback;
  const std::uint64_t limit = negative ? 2147483648ULL : 2147483647ULL;
  std::uint64_t value = 0;
  for (; i < n; ++i) {
    const int d = DigitValue(text[i], base);
    if (d < 0) return fallback;
    value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
    if (value > limit) return fallback;
  }
  const auto signed_value = static_cast<std::int64_t>(value);
  return static_cast<std::int32_t>(negative ? -signed_value : signed_value);
}

std::string_view RequestVariableName(int index) noexcept {
  if (index < 0 || index > 28) return {};
  return kVariableNames[index];
}

TCGIRequest::TCGIRequest(TConnection& connection) : connection_(connection) {
  method_type_ = MethodFromText(StringVariable(rvMethod));
  content_ = ReadText(std::min<std::int64_t>(IntegerVariable(rvContentLength), kReadAhead));
}

std::string TCGIRequest::StringVariable(int index) {
  if (index == rvContent) return content_;
  const std::string_view name = RequestVariableName(index);
  if (name.empty()) return {};
  return FieldByName(std::string(name));
}

double TCGIRequest::DateVariable(int index) {
  const std::string text = StringVariable(index);
  if (text.empty()) return -1.0;
  return ParseHttpDate(text);
}

std::int32_t TCGIRequest::IntegerVariable(int index) { return StrToIntDef(StringVariable(index), -1); }

std::size_t TCGIRequest::ReadBytes(char* buffer, std::size_t count) { return connection_.Read(buffer, count); }

std::string TCGIRequest::ReadText(std::int64_t count) {
  std::string out;
  if (count <= 0) return out;
  auto missing = static_cast<std::uint64_t>(count);
  while (missing > 0) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(missing, kReadChunk));
    const std::size_t had = out.size();
    out.resize(had + want);
    // A failing read counts as end of input (the connection gives 0), so a broken
    // connection ends the body instead of looping.
    const std::size_t got = ReadBytes(out.data() + had, want);
    out.resize(had + got);
    if (got == 0) break;
    missing -= got;
  }
  return out;
}

std::string TCGIRequest::TranslateUri(const std::string& uri) {
  const std::string translated = StringVariable(rvPathTranslated);
  if (translated.empty()) return uri;
  const std::string path_info = StringVariable(rvPathInfo);
  if (translated.size() >= path_info.size() &&
      translated.compare(translated.size() - path_info.size(), path_info.size(), path_info) == 0) {
    return translated.substr(0, translated.size() - path_info.size()) + uri;
  }
  return uri;
}

std::size_t TCGIRequest::WriteBytes(const char* buffer, std::size_t count) {
  return connection_.Write(std::string_view(buffer, count)) ? count : 0;
}

bool TCGIRequest::WriteText(std::string_view text) {
  if (text.empty()) return false;
  return connection_.Write(text);
}

bool TCGIRequest::WriteHeaderBlock(int /*status_code*/, std::string_view status_line, std::string_view headers) {
  std::string block;
  block.reserve(10 + status_line.size() + headers.size());
  block += "Status: ";
  block += status_line;
  block += "\r\n";
  block += headers;
  return WriteText(block);
}

std::string TCGIRequest::FieldByName(const std::string& name) {
  std::string value = connection_.Variable(name);
  if (!value.empty()) return value;
  constexpr std::string_view kPrefix = "HTTP_";
  if (name.compare(0, kPrefix.size(), kPrefix) == 0) return connection_.Variable(name.substr(kPrefix.size()));
  return connection_.Variable(std::string(kPrefix) + name);
}

std::string TCGIRequest::CgiVariable(const std::string& name) { return connection_.Variable(name); }

}  // namespace frontend
