#include "frontend/WebResponse.h"

#include "frontend/ErrorPages.h"
#include "frontend/HttpDate.h"
#include "frontend/WebRequest.h"

namespace frontend {
namespace {

struct Phrase {
  std::int32_t code;
  std::string_view text;
};
constexpr Phrase kPhrases[] = {
    {100, "Continue"}, {101, "Switching Protocols"}, {200, "OK"}, {201, "Created"}, {202, "Accepted"},
    {203, "Non-Authoritative Information"}, {204, "No Content"}, {205, "Reset Content"},
    {206, "Partial Content"}, {300, "Multiple Choices"}, {301, "Moved Permanently"},
    {302, "Moved Temporarily"}, {303, "See Other"}, {304, "Not Modified"}, {305, "Use Proxy"},
    {400, "Bad Request"}, {401, "Unauthorized"}, {402, "Payment Required"}, {403, "Forbidden"},
    {404, "Not Found"}, {405, "Method Not Allowed"}, {406, "None Acceptable"},
    {407, "Proxy Authentication Required"}, {408, "Request Timeout"}, {409, "Conflict"}, {410, "Gone"},
    {411, "Length Required"}, {412, "Unless True"}, {500, "Internal Server Error"},
    {501, "Not Implemented"}, {502, "Bad Gateway"}, {503, "Service Unavailable"}, {504, "Gateway Timeout"},
};

constexpr int kStringCount = 12;
constexpr int kDateCount = 3;
constexpr int kDateExpires = 1;
constexpr int kDateLastModified = 2;

// A header line only when it has a value.
void AddHeader(std::string& headers, std::string_view name, std::string_view value) {
  if (value.empty()) return;
  headers += name;
  headers += ": ";
  headers += value;
  headers += "\r\n";
}

}  // namespace

std::string_view ReasonPhrase(std::int32_t code) noexcept {
  for (const Phrase& p : kPhrases)
    if (p.code == code) return p.text;
  return {};
}

TCGIResponse::TCGIResponse(TWebRequest& request) : TWebResponse(request) { InitResponse(); }

void TCGIResponse::InitResponse() {
  if (request_.ProtocolVersion().empty()) strings_[rsVersion] = "1.0";
  SetStatusCode(200);
  for (double& d : dates_) d = -1.0;
  strings_[rsContentType] = "text/html";
}

std::string TCGIResponse::StringVariable(int index) const {
  return index >= 0 && index < kStringCount ? strings_[index] : std::string();
}

void TCGIResponse::SetStringVariable(int index, std::string_view value) {
  if (index >= 0 && index < kStringCount) strings_[index] = value;
}

double TCGIResponse::DateVariable(int index) const { return index >= 0 && index < kDateCount ? dates_[index] : -1.0; }

void TCGIResponse::SetDateVariable(int index, double value) {
  if (index >= 0 && index < kDateCount) dates_[index] = value;
}

std::int32_t TCGIResponse::IntegerVariable(int index) const { return index == 0 ? content_length_ : -1; }

void TCGIResponse::SetIntegerVariable(int index, std::int32_t value) {
  if (index == 0) content_length_ = value;
}

void TCGIResponse::SetContent(std::string content) {
  content_ = std::move(content);
  content_length_ = content_.size() > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<std::int32_t>(content_.size());
}

void TCGIResponse::SetStatusCode(std::int32_t code) {
  if (code == status_code_) return;
  status_code_ = code;
  strings_[rsReasonString] = ReasonPhrase(code);
}

void TWebResponse::AddCustomHeader(std::string_view name, std::string_view value) {
  const auto unsafe = [](std::string_view text) { return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos; };
  if (name.empty() || unsafe(name) || unsafe(value) || name.find(':') != std::string_view::npos) return;
  custom_headers_.append(name).append(": ").append(value).append("\r\n");
}

void TCGIResponse::SendResponse() {
  // Without SERVER_PROTOCOL there is no header block at all: the content
  // alone goes out.
  if (!request_.ProtocolVersion().empty()) {
    const std::string& reason = strings_[rsReasonString];
    const std::string status_line =
        !reason.empty() && status_code_ > 0 ? std::to_string(status_code_) + " " + reason : std::string("200 OK");
    std::string headers;
    AddHeader(headers, "Location", strings_[rsLocation]);
    AddHeader(headers, "Allow", strings_[rsAllow]);
    AddHeader(headers, "Derived-From", strings_[rsDerivedFrom]);
    if (dates_[kDateExpires] > 0) AddHeader(headers, "Expires", FormatHttpDate(dates_[kDateExpires]));
    if (dates_[kDateLastModified] > 0) AddHeader(headers, "Last-Modified", FormatHttpDate(dates_[kDateLastModified]));
    AddHeader(headers, "Title", strings_[rsTitle]);
    if (strings_[rsRealm].empty()) {
      AddHeader(headers, "WWW-Authenticate", strings_[rsWWWAuthenticate]);
    } else {
      AddHeader(headers, "WWW-Authenticate", strings_[rsWWWAuthenticate] + " Realm=" + strings_[rsRealm]);
    }
    AddHeader(headers, "Content-Version", strings_[rsContentVersion]);
    AddHeader(headers, "Content-Encoding", strings_[rsContentEncoding]);
    AddHeader(headers, "Content-Type", strings_[rsContentType]);
    if (!content_.empty()) AddHeader(headers, "Content-Length", std::to_string(content_length_));
    headers += custom_headers_;
    // Every header block this framework writes ends with a "Content:" line
    // of no value before the empty line; clients of the site have always
    // received it, so it stays.
    headers += "Content:\r\n\r\n";
    request_.WriteHeaderBlock(status_code_, status_line, headers);
  }
  if (!content_.empty()) request_.WriteText(content_);
  sent_ = true;
}

void TCGIResponse::SendRedirect(const std::string& uri) {
  SetStringVariable(rsLocation, uri);
  SetStatusCode(302);
  SetContentType("text/html");
  SetContent(MovedPage(uri));
  SendResponse();
}

}  // namespace frontend
