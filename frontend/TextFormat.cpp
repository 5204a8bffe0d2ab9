#include "frontend/TextFormat.h"

#include <vector>

namespace frontend {

std::string FormatText(std::string_view pattern, std::initializer_list<std::string_view> args) {
  const std::vector<std::string_view> list(args);
  std::string out;
  out.reserve(pattern.size() + 64);
  std::size_t next = 0;  // a positioned argument moves the sequence on, as in a printf with indexes
  std::size_t i = 0;
  while (i < pattern.size()) {
    const char c = pattern[i];
    if (c != '%' || i + 1 >= pattern.size()) {
      out += c;
      ++i;
      continue;
    }
    const char d = pattern[i + 1];
    if (d == '%') {
      out += '%';
      i += 2;
    } else if (d == 's' || d == 'd') {
      if (next < list.size()) out += list[next];
      ++next;
      i += 2;
    } else if (d >= '0' && d <= '9') {
      std::size_t j = i + 1;
      std::size_t index = 0;
      while (j < pattern.size() && pattern[j] >= '0' && pattern[j] <= '9') {
        index = index * 10 + static_cast<std::size_t>(pattern[j] - '0');
        ++j;
      }
      if (j + 1 < pattern.size() && pattern[j] == ':' && (pattern[j + 1] == 's' || pattern[j + 1] == 'd')) {
        if (index < list.size()) out += list[index];
        next = index + 1;
        i = j + 2;
      } else {
        out += c;
        ++i;
      }
    } else {
      out += c;
      ++i;
    }
  }
  return out;
}

}  // namespace frontend
