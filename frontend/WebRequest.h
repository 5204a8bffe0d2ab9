// The request of the CGI interface: variables by fixed index read from its
// connection (the environment of a CGI process), the body read from the
// connection once, at construction, and the raw output side through which
// the response is written.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "frontend/Connection.h"

namespace frontend {

enum class TMethodType { mtAny, mtGet, mtPut, mtPost, mtHead };

// Indexes of the request variables.
enum TRequestVariable : int {
  rvMethod = 0, rvProtocolVersion = 1, rvURL = 2, rvQuery = 3, rvPathInfo = 4, rvPathTranslated = 5,
  rvCacheControl = 6, rvDate = 7, rvAccept = 8, rvFrom = 9, rvHost = 10, rvIfModifiedSince = 11,
  rvReferer = 12, rvUserAgent = 13, rvContentEncoding = 14, rvContentType = 15, rvContentLength = 16,
  rvContentVersion = 17, rvDerivedFrom = 18, rvExpires = 19, rvTitle = 20, rvRemoteAddr = 21,
  rvRemoteHost = 22, rvScriptName = 23, rvServerPort = 24, rvContent = 25, rvConnection = 26,
  rvCookie = 27, rvAuthorization = 28,
};

class TWebRequest {
 public:
  virtual ~TWebRequest() = default;
  TMethodType MethodType() const noexcept { return method_type_; }

  // Virtual operations, in slot order.
  virtual std::string StringVariable(int index) = 0;
  virtual double DateVariable(int index) = 0;
  virtual std::int32_t IntegerVariable(int index) = 0;
  virtual std::string InternalPathInfo() { return StringVariable(rvPathInfo); }
  virtual std::string InternalScriptName() { return StringVariable(rvScriptName); }
  virtual std::size_t ReadBytes(char* buffer, std::size_t count) = 0;
  virtual std::string ReadText(std::int64_t count) = 0;
  virtual std::string TranslateUri(const std::string& uri) = 0;
  virtual std::size_t WriteBytes(const char* buffer, std::size_t count) = 0;
  virtual bool WriteText(std::string_view text) = 0;
  virtual bool WriteHeaderBlock(int status_code, std::string_view status_line, std::string_view headers) = 0;
  virtual std::string FieldByName(const std::string& name) = 0;
  // The CGI variable of exactly that name, without the HTTP_ prefix rule;
  // empty when unset.
  virtual std::string CgiVariable(const std::string& name) = 0;

  std::string PathInfo() { return StringVariable(rvPathInfo); }
  std::string ProtocolVersion() { return StringVariable(rvProtocolVersion); }

  // The body, held once for the whole request. The member service appends
  // bytes that arrive late to it in place rather than copying it.
  std::string& Content() noexcept { return content_; }

 protected:
  TMethodType method_type_ = TMethodType::mtAny;
  std::string content_;
};

// Reads its variables and its body from its connection and writes to it: in
// a CGI process the environment, standard input and standard output.
class TCGIRequest : public TWebRequest {
 public:
  // Construction reads at most this much of the body; the handler reads the
  // rest with ReadText once it knows the body is within its limit, so an
  // oversized body is refused without ever being held in memory.
  static constexpr std::int64_t kReadAhead = 64 * 1024;

  // The connection outlives the request.
  explicit TCGIRequest(TConnection& connection = StandardConnection());
  std::string StringVariable(int index) override;
  double DateVariable(int index) override;
  std::int32_t IntegerVariable(int index) override;
  std::size_t ReadBytes(char* buffer, std::size_t count) override;
  // Reads up to count bytes, growing the result as bytes arrive (never
  // reserving a declared length up front); stops early at end of input.
  std::string ReadText(std::int64_t count) override;
  std::string TranslateUri(const std::string& uri) override;
  std::size_t WriteBytes(const char* buffer, std::size_t count) override;
  bool WriteText(std::string_view text) override;
  bool WriteHeaderBlock(int status_code, std::string_view status_line, std::string_view headers) override;
  std::string FieldByName(const std::string& name) override;
  std::string CgiVariable(const std::string& name) override;

 private:
  TConnection& connection_;
};

// The runtime's integer conversion: leading blanks, an optional sign, decimal
// digits or "$"/"x"/"X"/"0x"/"0X" hexadecimal; the whole rest must be digits
// and the signed value must fit 32 bits. Empty or malformed texts give the
// fallback.
std::int32_t StrToIntDef(std::string_view text, std::int32_t fallback = -1);

// The environment variable behind a request variable index; empty for the
// body (25) and for indexes outside 0-28.
std::string_view RequestVariableName(int index) noexcept;

}  // namespace frontend
