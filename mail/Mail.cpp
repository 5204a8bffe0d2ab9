#include "mail/Mail.h"

#include <cstdio>
#include <string>
#include <vector>

#include "platform/Digest.h"
#include "platform/Process.h"
#include "text/Base64.h"

namespace mail {
namespace {

constexpr std::size_t kMaxAddressBytes = 254;
// A mail program that has not taken the message by then is stuck: the
// member's request must end (a local mail server takes it in milliseconds).
constexpr int kMailProgramMilliseconds = 10000;

bool IsLocalPartByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("!#$%'*+/=?^_`{|}~.-").find(c) != std::string_view::npos;
}

bool IsDomainByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

// Encoded words of at most 75 characters, each holding whole UTF-8
// characters, folded onto lines of their own.
std::string EncodedSubject(std::string_view subject) {
  constexpr std::size_t kPieceBytes = 39;  // 52 base64 digits + 12 around them
  std::string out;
  while (!subject.empty()) {
    std::size_t cut = std::min(kPieceBytes, subject.size());
    while (cut < subject.size() && cut > 0 && (static_cast<unsigned char>(subject[cut]) & 0xC0) == 0x80) --cut;
    if (cut == 0) cut = std::min(kPieceBytes, subject.size());
    if (!out.empty()) out += "\n ";
    out += "=?UTF-8?B?";
    text::AppendBase64(out, subject.substr(0, cut), text::Base64Padding::kPadded);
    out += "?=";
    subject.remove_prefix(cut);
  }
  return out;
}

}  // namespace

bool IsPlainMailAddress(std::string_view address) {
  if (address.empty() || address.size() > kMaxAddressBytes || address.front() == '-') return false;
  const std::size_t at = address.find('@');
  if (at == 0 || at == std::string_view::npos || at + 1 == address.size()) return false;
  const std::string_view local = address.substr(0, at), domain = address.substr(at + 1);
  for (const char c : local) {
    if (!IsLocalPartByte(c)) return false;
  }
  for (const char c : domain) {
    if (!IsDomainByte(c)) return false;
  }
  return domain.front() != '.' && domain.front() != '-' && domain.back() != '.' &&
         domain.find("..") == std::string_view::npos;
}

std::string MailDate(std::int64_t now) {
  // Days to a civil date (Howard Hinnant's algorithm), valid far beyond any
  // clock this program meets.
  const std::int64_t days = now >= 0 ? now / 86400 : (now - 86399) / 86400;
  const std::int64_t seconds = now - days * 86400;
  const std::int64_t z = days + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  constexpr const char* kDays[] = {"Thu", "Fri", "Sat", "Sun", "Mon", "Tue", "Wed"};
  constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::int64_t weekday = ((days % 7) + 7) % 7;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s, %02d %s %04lld %02d:%02d:%02d +0000", kDays[weekday], static_cast<int>(day),
                kMonths[month - 1], static_cast<long long>(year), static_cast<int>(seconds / 3600),
                static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
  return buf;
}

std::string BuildMail(const MailMessage& message, std::int64_t now) {
  const std::string_view domain = message.from.substr(message.from.find('@') + 1);
  std::string out;
  out.reserve(512 + message.body.size() * 4 / 3);
  out.append("From: ").append(message.from).append("\n");
  out.append("To: ").append(message.to).append("\n");
  out.append("Subject: ").append(EncodedSubject(message.subject)).append("\n");
  out.append("Date: ").append(MailDate(now)).append("\n");
  out.append("Message-ID: <").append(platform::RandomHex(16)).append("@").append(domain).append(">\n");
  out.append("MIME-Version: 1.0\n");
  out.append("Content-Type: text/plain; charset=UTF-8\n");
  out.append("Content-Transfer-Encoding: base64\n");
  // Mail programs answer no automatic reply to such a message.
  out.append("Auto-Submitted: auto-generated\n");
  out.append("\n");
  std::string body;
  text::AppendBase64(body, message.body, text::Base64Padding::kPadded);
  for (std::size_t pos = 0; pos < body.size(); pos += 76) out.append(body, pos, 76).append("\n");
  return out;
}

bool SendMail(const std::string& program, std::string_view envelope_from, std::string_view message, std::string& why,
              int detach_after_ms) {
  std::vector<std::string> arguments = {"-t", "-i"};
  // Never an option of the mail program's: only a plain address goes on its
  // command line.
  if (IsPlainMailAddress(envelope_from)) arguments.insert(arguments.end(), {"-f", std::string(envelope_from)});
  const platform::ProgramRun run =
      platform::RunProgram(program, arguments, message, kMailProgramMilliseconds, detach_after_ms);
  if (run.Succeeded() || run.detached) return true;
  if (!run.started) {
    why = "the mail program " + program + " cannot be started";
  } else if (!run.input_taken) {
    why = "the mail program " + program + " did not read the whole message";
  } else if (run.timed_out) {
    why = "the mail program " + program + " did not finish within " +
          std::to_string(kMailProgramMilliseconds / 1000) + " s";
  } else {
    why = "the mail program " + program + " failed (exit " + std::to_string(run.exit_code) + ")";
  }
  return false;
}

}  // namespace mail
