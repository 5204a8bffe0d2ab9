// The response of the CGI interface: filled by the handler, sent once as a
// CGI header block and the content through the request's output side.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace frontend {

class TWebRequest;

// String variable indexes.
enum TResponseVariable : int {
  rsVersion = 0, rsReasonString = 1, rsUnnamed = 2, rsWWWAuthenticate = 3, rsRealm = 4, rsAllow = 5,
  rsLocation = 6, rsContentEncoding = 7, rsContentType = 8, rsContentVersion = 9, rsDerivedFrom = 10,
  rsTitle = 11,
};

class TWebResponse {
 public:
  explicit TWebResponse(TWebRequest& request) : request_(request) {}
  virtual ~TWebResponse() = default;

  virtual std::string StringVariable(int index) const = 0;
  virtual void SetStringVariable(int index, std::string_view value) = 0;
  virtual double DateVariable(int index) const = 0;
  virtual void SetDateVariable(int index, double value) = 0;
  virtual std::int32_t IntegerVariable(int index) const = 0;
  virtual void SetIntegerVariable(int index, std::int32_t value) = 0;
  virtual const std::string& Content() const = 0;
  virtual void SetContent(std::string content) = 0;
  virtual std::int32_t StatusCode() const = 0;
  virtual void SetStatusCode(std::int32_t code) = 0;
  virtual void SendResponse() = 0;
  virtual bool Sent() const { return false; }

  void SetContentType(std::string_view type) { SetStringVariable(rsContentType, type); }
  // A header of the program's own (Set-Cookie, ...), sent after the
  // framework's; one whose name or value holds a line break or NUL is
  // dropped, so none can end the header block early.
  void AddCustomHeader(std::string_view name, std::string_view value);
  TWebRequest& Request() noexcept { return request_; }

 protected:
  TWebRequest& request_;
  std::string custom_headers_;  // "Name: value\r\n" each
};

// The reason phrase of a status code; empty for a code without one.
std::string_view ReasonPhrase(std::int32_t code) noexcept;

class TCGIResponse : public TWebResponse {
 public:
  explicit TCGIResponse(TWebRequest& request);
  std::string StringVariable(int index) const override;
  void SetStringVariable(int index, std::string_view value) override;
  double DateVariable(int index) const override;
  void SetDateVariable(int index, double value) override;
  std::int32_t IntegerVariable(int index) const override;
  void SetIntegerVariable(int index, std::int32_t value) override;
  const std::string& Content() const override { return content_; }
  void SetContent(std::string content) override;
  std::int32_t StatusCode() const override { return status_code_; }
  void SetStatusCode(std::int32_t code) override;
  void SendResponse() override;
  bool Sent() const override { return sent_; }

  // Location := uri, status 302, content type "text/html", the moved page
  // as content, then SendResponse.
  void SendRedirect(const std::string& uri);

 private:
  void InitResponse();
  std::int32_t status_code_ = 0;
  std::string strings_[12];
  std::int32_t content_length_ = 0;
  double dates_[3] = {-1.0, -1.0, -1.0};
  std::string content_;
  bool sent_ = false;
};

}  // namespace frontend
