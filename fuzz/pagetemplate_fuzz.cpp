// The second page set's template filler and checker on any template and
// value: filling is one pass (a value is never searched again, so a value
// that looks like a placeholder stays as it is), the output's size is what
// the placeholders found make it, and a template the checker accepts holds
// no placeholder but the names given. Input: the value, "\n%%\n", the template.
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "pages/PageSet.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto parts = fuzz::SplitParts(fuzz::AsView(data, size), 2);
  if (parts.size() < 2) return 0;
  const std::string_view value = parts[0], templ = parts[1];
  constexpr std::string_view kNames[] = {"a", "links"};
  const pages::Slot slots[] = {{"a", value}, {"links", value}};

  fuzz::Check(pages::FillTemplate(templ, {}) == templ, "without slots the template stays as it is", templ);
  const std::string once = pages::FillTemplate(templ, slots);
  // k placeholders filled: one byte each gives the bare size plus k.
  const pages::Slot empty[] = {{"a", ""}, {"links", ""}};
  const pages::Slot one[] = {{"a", "x"}, {"links", "x"}};
  const std::size_t bare = pages::FillTemplate(templ, empty).size();
  const std::size_t k = pages::FillTemplate(templ, one).size() - bare;
  fuzz::Check(once.size() == bare + k * value.size(), "each placeholder is swapped for the value, once", once);
  if (pages::TemplateProblem(templ, kNames).empty()) {
    const pages::Slot marked[] = {{"a", "\x01"}, {"links", "\x01"}};
    const std::string all = pages::FillTemplate(templ, marked);
    const std::string check = pages::TemplateProblem(all, kNames);
    fuzz::Check(check.empty() || check.starts_with("not Shift_JIS") || check.starts_with("larger"),
                "an accepted template, once filled, holds no unknown placeholder", all);
  }
  return 0;
}
