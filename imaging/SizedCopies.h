// Smaller copies of a posted photo for pages: decoded at the smallest DCT
// scale that still covers the largest copy, averaged down to each size,
// turned upright by its Exif orientation and encoded again without a byte
// of metadata. They know nothing of members, names or folders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace imaging {

// A photo is copied only when its frame declares at most this many pixels
// and no side over kMaxSide: beyond it the post is stored as it came, its
// pixels never decoded. A few kilobytes may declare 65,535 x 65,535.
inline constexpr std::uint64_t kMaxPixels = 100'000'000;
inline constexpr int kMaxSide = 16384;
// What the decoder may allocate, whatever the photo: a progressive photo
// keeps every coefficient until its last scan, about 3 bytes a pixel.
inline constexpr std::size_t kMaxDecoderBytes = 96u << 20;
// Phones write 1 scan, progressive encoders about 10; each scan over a
// large frame costs a pass over all of it.
inline constexpr int kMaxScans = 64;
inline constexpr int kQuality = 80;

struct Copy {
  int long_side = 0;  // the size asked for
  int width = 0;
  int height = 0;
  std::string jpeg;
};

enum class CopiesOutcome {
  kMade,
  kOverBound,     // over kMaxPixels or kMaxSide: not decoded
  kUndecodable,   // a colour model, a fault or a cost the copies do not take
};

struct Copies {
  CopiesOutcome outcome = CopiesOutcome::kUndecodable;
  std::vector<Copy> copies;  // in the order of `long_sides`, when made
  std::string why;           // what the decoder said, when not made
};

// A copy of `jpeg` for each long side asked (none larger than the photo),
// upright. All or none.
Copies MakeSizedCopies(std::string_view jpeg, std::span<const int> long_sides);

}  // namespace imaging
