#include "frontend/ErrorPages.h"

#include "FrontendTexts.h"
#include "frontend/TextFormat.h"

namespace frontend {

std::string ApplicationErrorPage(std::string_view message, std::string_view path_info) {
  return FormatText(texts::ApplicationErrorPage, {message, path_info});
}

std::string ServerErrorBody(std::string_view class_name, std::string_view message) {
  return FormatText(texts::ServerErrorPage, {class_name, message});
}

std::string ServerErrorHeader(std::string_view message, std::size_t body_length) {
  std::string header = "Status: 500 ";
  header.reserve(header.size() + message.size() + 64);
  for (char c : message) header += c == '\r' || c == '\n' ? ' ' : c;
  header += "\r\nContent-Type: text/html\r\nContent-Length: ";
  header += std::to_string(body_length);
  header += "\r\n\r\n";
  return header;
}

void WriteServerErrorPage(std::string_view class_name, std::string_view message, TConnection& connection) {
  const std::string body = ServerErrorBody(class_name, message);
  connection.Write(ServerErrorHeader(message, body.size()));
  connection.Write(body);
}

std::string MovedPage(std::string_view uri) { return FormatText(texts::MovedPage, {uri}); }

}  // namespace frontend
