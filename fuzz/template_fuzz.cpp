// FormatByTemplate on any number and template: the name has the template's
// length, only "#" slots change, and a non-negative number reads back from
// its slots (modulo 10 to the number of slots). Input: four bytes of number
// (little-endian), then the template.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "text/Fields.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  std::uint32_t raw = 0;
  for (int i = 3; i >= 0; --i) raw = raw << 8 | data[i];
  std::int32_t number = 0;
  std::memcpy(&number, &raw, sizeof number);
  const std::string_view templ = fuzz::AsView(data + 4, size - 4);

  const std::string name = text::FormatByTemplate(number, templ);
  fuzz::Check(name.size() == templ.size(), "the name has the template's length", templ);
  std::string slots;
  for (std::size_t i = 0; i < templ.size(); ++i) {
    if (name[i] == templ[i] && templ[i] != '#') continue;
    fuzz::Check(templ[i] == '#', "only # slots change", templ);
    if (name[i] != '#') slots += name[i];
  }
  if (number < 0 || slots.empty()) return 0;
  // A "#" kept as it is was part of a double-byte character; every slot
  // that was filled holds a digit.
  std::uint64_t modulus = 1;
  std::uint64_t read_back = 0;
  for (char c : slots) {
    fuzz::Check(c >= '0' && c <= '9', "a slot holds a digit", name);
    read_back = read_back * 10 + static_cast<std::uint64_t>(c - '0');
    if (modulus < 1'000'000'000'000ULL) modulus *= 10;
    read_back %= 1'000'000'000'000ULL;
  }
  fuzz::Check(read_back % modulus == static_cast<std::uint64_t>(number) % modulus, "the number reads back", name);
  return 0;
}
