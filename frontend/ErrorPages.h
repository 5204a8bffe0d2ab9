// The pages the framework writes by itself: the application error page (an
// action handler raised), the server error page (a failure escaped the
// request cycle) and the moved page of a redirect. Texts are Shift_JIS bytes
// and arguments are inserted as they are.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "frontend/Connection.h"

namespace frontend {

// Three pieces joined by CR LF, no final line break.
std::string ApplicationErrorPage(std::string_view message, std::string_view path_info);

// The body of the server error page: four lines, each ended by CR LF.
std::string ServerErrorBody(std::string_view class_name, std::string_view message);

// "Status: 500 <message>", Content-Type and Content-Length, then the empty
// line; no "Content:" line. CR and LF of the message become blanks, so a
// message can never end the status line early and add a header of its own.
std::string ServerErrorHeader(std::string_view message, std::size_t body_length);

// Writes the server error page to the connection (standard output by
// default) without any response object: the header with one write, then
// the body with one write.
void WriteServerErrorPage(std::string_view class_name, std::string_view message,
                          TConnection& connection = StandardConnection());

// The body of a redirect to uri.
std::string MovedPage(std::string_view uri);

}  // namespace frontend
