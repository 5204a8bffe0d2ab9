// The JPEG filter on any bytes. IsJpeg and StripLocation agree on what is a
// JPEG; a stripped image is a JPEG again, never longer than the posted one;
// before its first scan it keeps only JFIF, Exif, ICC, Adobe and coding
// segments, with no GPS pointer, XMP, IPTC, Photoshop or preview tag in the
// Exif block's IFD0, IFD1 or Exif directory; from its first scan on it is
// the posted bytes with the segments other than tables and scans taken out
// and nothing after the end-of-image; stripping it again changes nothing.
// The segments are read here by a walk of its own, so a fault in the
// filter's walker shows.
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "filter/Jpeg.h"

namespace {

unsigned Byte(std::string_view s, std::size_t i) { return static_cast<unsigned char>(s[i]); }

std::size_t Length(std::string_view s, std::size_t pos) { return Byte(s, pos + 2) << 8 | Byte(s, pos + 3); }

// Frame headers, tables, restart interval, line count, hierarchical and
// scan headers.
bool IsCoding(unsigned marker) {
  return (marker >= 0xC0 && marker <= 0xCF && marker != 0xC8) || (marker >= 0xDA && marker <= 0xDF);
}

// The offset of the first start-of-scan marker of a JPEG the filter took;
// `each` sees every segment (marker, payload) before it.
template <typename Each>
std::size_t FirstScan(std::string_view jpeg, Each&& each) {
  std::size_t pos = 2;
  for (;;) {
    while (Byte(jpeg, pos + 1) == 0xFF) ++pos;
    const unsigned marker = Byte(jpeg, pos + 1);
    if (marker == 0xDA) return pos;
    const std::size_t length = Length(jpeg, pos);
    each(marker, jpeg.substr(pos + 4, length - 2));
    pos += 2 + length;
  }
}

// From a first start-of-scan through the end-of-image, without the
// segments that are no tables or scans and the fill bytes before them (and
// without what follows).
std::string KeptScans(std::string_view s) {
  std::string kept;
  for (std::size_t i = 0; i < s.size();) {
    std::size_t at = i;
    while (Byte(s, i) == 0xFF && at + 1 < s.size() && Byte(s, at + 1) == 0xFF) ++at;
    const unsigned next = at + 1 < s.size() ? Byte(s, at + 1) : 0;
    if (Byte(s, i) != 0xFF || next == 0x00 || (next >= 0xD0 && next <= 0xD7)) {
      kept += s.substr(i, Byte(s, i) == 0xFF ? at + 2 - i : 1);
      i += Byte(s, i) == 0xFF ? at + 2 - i : 1;
    } else if (next == 0xD9) {
      return kept + std::string(s.substr(i, at + 2 - i));
    } else {
      const std::size_t end = at + 2 + Length(s, at);
      if (IsCoding(next)) kept += s.substr(i, end - i);
      i = end;
    }
  }
  return kept;
}

// Whether an Exif payload's IFD0, IFD1 or Exif directory holds an entry
// that places the photo or carries a packet or preview that may.
bool HasRemovedTag(std::string_view exif) {
  if (exif.size() < 14) return false;
  const std::string_view tiff = exif.substr(6);
  const bool little = tiff[0] == 'I';
  auto read = [&](std::size_t at, std::size_t bytes) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < bytes; ++i) v |= std::uint32_t{Byte(tiff, at + i)} << 8 * (little ? i : bytes - 1 - i);
    return v;
  };
  std::size_t dirs[3] = {read(4, 4), 0, 0};
  for (std::size_t d = 0; d < 3; ++d) {
    const std::size_t dir = dirs[d];
    if (dir == 0 || dir + 2 > tiff.size()) continue;
    const std::size_t n = read(dir, 2);
    for (std::size_t i = 0; i < n && dir + 14 + 12 * i <= tiff.size(); ++i) {
      const std::uint32_t tag = read(dir + 2 + 12 * i, 2);
      if (tag == 0x8825 || tag == 0x02BC || tag == 0x83BB || tag == 0x8649 || tag == 0x0201 || tag == 0x0202) return true;
      if (d == 0 && tag == 0x8769) dirs[2] = read(dir + 10 + 12 * i, 4);
    }
    if (d == 0 && dir + 6 + 12 * n <= tiff.size()) dirs[1] = read(dir + 2 + 12 * n, 4);
  }
  return false;
}

bool StartsWith(std::string_view payload, std::string_view signature) { return payload.substr(0, signature.size()) == signature; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view in = fuzz::AsView(data, size);
  filter::StrippedJpeg stripped;
  const bool jpeg = filter::StripLocation(in, stripped);
  fuzz::Check(jpeg == filter::IsJpeg(in), "StripLocation takes exactly what IsJpeg takes");
  if (!jpeg) {
    fuzz::Check(stripped.head.empty() && stripped.scans.empty(), "nothing comes out of what is no JPEG");
    return 0;
  }
  const std::string out = stripped.head + std::string(stripped.scans);
  fuzz::Check(out.size() <= in.size(), "the result is never longer");
  fuzz::Check(filter::IsJpeg(out), "the result is a JPEG");

  const std::size_t scan_in = FirstScan(in, [](unsigned, std::string_view) {});
  const std::size_t scan_out = FirstScan(out, [](unsigned marker, std::string_view payload) {
    const bool shown = IsCoding(marker) || (marker == 0xE0 && StartsWith(payload, {"JFIF\0", 5})) ||
                       (marker == 0xE1 && StartsWith(payload, {"Exif\0", 5})) ||
                       (marker == 0xE2 && StartsWith(payload, {"ICC_PROFILE\0", 12})) ||
                       (marker == 0xEE && StartsWith(payload, "Adobe"));
    fuzz::Check(shown, "only segments that show the photo are left", payload);
    if (marker == 0xE1) fuzz::Check(!HasRemovedTag(payload), "no location, packet or preview tag is left in the Exif block");
  });
  fuzz::Check(std::string_view(out).substr(scan_out) == KeptScans(in.substr(scan_in)),
              "from the first scan on, the posted bytes without the segments that are no tables or scans");

  filter::StrippedJpeg again;
  fuzz::Check(filter::StripLocation(out, again) && again.head + std::string(again.scans) == out,
              "stripping again changes nothing");
  return 0;
}
