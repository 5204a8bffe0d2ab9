// The site's mails: a plain text message in UTF-8 that Japanese mail readers
// show, built whole by the program and handed to the system's mail program,
// which reads the recipient from the message (never from its command line).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace mail {

// Whether a stored mail value is one plain address a mail may go to:
// local@domain in ASCII, no blank, quote, comma, angle bracket or line
// break, not starting with "-", at most 254 bytes. Anything else (several
// addresses, a header of its own, an option for the mail program) gets no
// mail.
bool IsPlainMailAddress(std::string_view address);

struct MailMessage {
  std::string_view from;     // a plain address
  std::string_view to;       // a plain address
  std::string_view subject;  // UTF-8
  std::string_view body;     // UTF-8, lines ended by LF
};

// The message as the mail program reads it: From, To, Subject (encoded
// words), Date, Message-ID, MIME headers, the body in base64, every line
// ended by LF as sendmail -t expects. `now`: seconds since 1970 (UTC).
std::string BuildMail(const MailMessage& message, std::int64_t now);

// "Wed, 09 Dec 2026 20:31:59 +0000".
std::string MailDate(std::int64_t now);

// Hands the message to the mail program (`program -t -i -f FROM`: FROM, a
// plain address, is the envelope sender, to which bounces go, where the
// mail transport lets the caller set it; empty: `program -t -i`); false, with the
// reason in `why`, when it could not be started, did not take the whole
// message, failed or took too long. Given `detach_after_ms`, a program
// still running then is left to finish alone, and counts as handed over.
bool SendMail(const std::string& program, std::string_view envelope_from, std::string_view message, std::string& why,
              int detach_after_ms = -1);

}  // namespace mail
