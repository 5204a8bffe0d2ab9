// File-name style masks that select action items by path info. "*" matches
// any run of characters, "?" one character, "[...]" one character of a list
// (with "a-z" ranges and a leading "!" for the complement); anything else
// matches itself. Letter case is ignored and a Shift_JIS double-byte
// character is one character, so "?" never splits it and a mask character
// never matches its second byte. The mask is compiled once; matching is
// O(mask * text) at worst and needs no allocation beyond the text's copy.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Exception.h"

namespace frontend {

// A mask whose list is not closed, is empty or has a range without an end.
class EMaskException : public platform::Exception {
 public:
  using platform::Exception::Exception;
  std::string_view ClassName() const noexcept override { return "EMaskException"; }
};

class TMask {
 public:
  // Throws EMaskException for a malformed list. An empty mask matches only
  // the empty text.
  explicit TMask(std::string_view mask);
  bool Matches(std::string_view text) const;

 private:
  enum class Kind : std::uint8_t { Literal, AnyChar, AnyRun, Set };
  struct Range {
    std::uint16_t low, high;
  };
  struct Element {
    Kind kind;
    bool negate;               // Set only
    std::uint16_t ch;          // Literal only
    std::size_t first, count;  // Set only: a slice of ranges_
  };
  bool ElementMatches(const Element& e, std::uint16_t ch) const;

  std::vector<Element> elements_;
  std::vector<Range> ranges_;
};

}  // namespace frontend
