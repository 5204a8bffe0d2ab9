// Sized copies of any bytes posted as a photo. Whatever the decoder is
// given, it stops within its bounds; when it makes copies, each is a JPEG
// of the size it says, no longer on its long side than was asked, upright
// and without any segment but the JFIF header and what draws the pixels.
// The frame-size and orientation readers, which also read stored files,
// take the same bytes.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "filter/Jpeg.h"
#include "imaging/SizedCopies.h"

namespace {

constexpr int kSides[] = {1080, 880, 480};

// Every segment before the first scan is the JFIF header, a table or a
// frame header.
bool OnlyPixels(std::string_view jpeg) {
  for (std::size_t pos = 2; pos + 4 <= jpeg.size();) {
    const auto marker = static_cast<unsigned char>(jpeg[pos + 1]);
    if (marker == 0xDA) return true;
    const bool jfif = marker == 0xE0 && jpeg.substr(pos + 4, 5) == std::string_view("JFIF\0", 5);
    if (!jfif && marker != 0xDB && marker != 0xC0 && marker != 0xC4) return false;
    pos += 2 + (static_cast<std::size_t>(static_cast<unsigned char>(jpeg[pos + 2])) << 8 |
                static_cast<unsigned char>(jpeg[pos + 3]));
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const int orientation = filter::ExifOrientation(bytes);
  if (orientation < 1 || orientation > 8) fuzz::Fail("orientation out of 1..8");
  const std::optional<filter::FrameSize> frame = filter::ReadFrameSize(bytes);
  if (frame && (frame->width <= 0 || frame->height <= 0)) fuzz::Fail("a frame size of zero");

  const imaging::Copies made = imaging::MakeSizedCopies(bytes, kSides);
  if (made.outcome != imaging::CopiesOutcome::kMade) {
    if (!made.copies.empty()) fuzz::Fail("copies kept from a failed decode");
    return 0;
  }
  if (!frame) fuzz::Fail("copies of bytes without a frame header");
  if (static_cast<std::uint64_t>(frame->width) * static_cast<std::uint64_t>(frame->height) > imaging::kMaxPixels ||
      std::max(frame->width, frame->height) > imaging::kMaxSide) {
    fuzz::Fail("a frame over the bound was decoded");
  }
  if (made.copies.size() != std::size(kSides)) fuzz::Fail("not every copy made");
  for (std::size_t i = 0; i < made.copies.size(); ++i) {
    const imaging::Copy& copy = made.copies[i];
    if (copy.long_side != kSides[i]) fuzz::Fail("copies out of order");
    if (std::max(copy.width, copy.height) > kSides[i] || copy.width < 1 || copy.height < 1) {
      fuzz::Fail("a copy larger than asked");
    }
    const std::optional<filter::FrameSize> copy_size = filter::ReadFrameSize(copy.jpeg);
    if (!copy_size || copy_size->width != copy.width || copy_size->height != copy.height) fuzz::Fail("a copy's size misreported");
    if (!filter::IsJpeg(copy.jpeg) || !OnlyPixels(copy.jpeg)) fuzz::Fail("a copy with more than pixels", copy.jpeg);
    if (filter::ExifOrientation(copy.jpeg) != 1) fuzz::Fail("a copy that is not upright");
  }
  return 0;
}
