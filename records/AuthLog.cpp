// The failed-login log (one line per failed password check, appended for
// blocking tools such as fail2ban and for the operator's eyes) and the
// activity log, whose lines follow the same rules.
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/Sjis.h"
#include "platform/System.h"
#include "records/Storage.h"

namespace records {
namespace {

constexpr std::size_t kMaxValueBytes = 256;

void AppendTwoDigits(std::string& out, int value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d", value);
  out += buf;
}

// A Shift_JIS trail byte; a lead byte before any other byte is no
// character, and that byte may be a line end or a blank.
bool IsTrailByte(char c) {
  const auto b = static_cast<unsigned char>(c);
  return b >= 0x40 && b <= 0xfc && b != 0x7f;
}

// The value with every byte that could end the line, split a field or read
// as an escape written as %XX; whole characters only, up to the limit.
void AppendField(std::string& out, std::string_view value) {
  std::size_t taken = 0;
  for (std::size_t pos = 0; pos < value.size();) {
    std::size_t length = platform::CharLength(value, pos);
    if (length == 2 && !IsTrailByte(value[pos + 1])) length = 1;
    if (taken + length > kMaxValueBytes) break;
    const auto c = static_cast<unsigned char>(value[pos]);
    if (length == 1 && (c <= 0x20 || c == 0x7f || c == '%' || platform::IsLeadByte(c))) {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      out += buf;
    } else {
      out.append(value.substr(pos, length));
    }
    taken += length;
    pos += length;
  }
}

// IPv4, IPv6 (with a zone) as a web server writes them, nothing else.
bool IsPlainAddress(std::string_view addr) {
  if (addr.empty() || addr.size() > 64) return false;
  for (const char c : addr) {
    const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
                    c == ':' || c == '%' || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

}  // namespace

std::string FailedLoginLine(const platform::LocalTime& t, std::string_view remote_addr, std::string_view session,
                            std::string_view command, std::string_view id, std::string_view event) {
  std::string line;
  line.reserve(128 + session.size() + command.size() + id.size());
  char date[16];
  std::snprintf(date, sizeof date, "%04d-", t.year);
  line += date;
  AppendTwoDigits(line, t.month);
  line += '-';
  AppendTwoDigits(line, t.day);
  line += ' ';
  AppendTwoDigits(line, t.hour);
  line += ':';
  AppendTwoDigits(line, t.minute);
  line += ':';
  AppendTwoDigits(line, t.second);
  line.append(" orvalengate ").append(event).append(" from ");
  line += IsPlainAddress(remote_addr) ? remote_addr : std::string_view("-");
  line += " session=";
  AppendField(line, session);
  line += " command=";
  AppendField(line, command);
  line += " id=";
  AppendField(line, id);
  line += '\n';
  return line;
}

std::string ActivityLine(const platform::LocalTime& t, std::string_view remote_addr, std::string_view session,
                         std::string_view command, std::string_view id, std::string_view event,
                         std::string_view file) {
  std::string line = FailedLoginLine(t, remote_addr, session, command, id, event);
  if (file.empty()) return line;
  line.pop_back();
  line += " file=";
  AppendField(line, file);
  line += '\n';
  return line;
}

std::string LogField(std::string_view value) {
  std::string out;
  AppendField(out, value);
  return out;
}

}  // namespace records
