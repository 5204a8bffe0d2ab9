// The JPEG filter on any bytes. IsJpeg and StripLocation agree on what is a
// JPEG; a stripped image is a JPEG again, never longer than the posted one,
// with the scan data (first start-of-scan through end-of-image) unchanged,
// no GPS pointer in any Exif IFD0 and no XMP or IPTC segment, and stripping
// it again changes nothing. The segments are read here by a walk of its own,
// so a fault in the filter's walker shows.
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "filter/Jpeg.h"

namespace {

unsigned Byte(std::string_view s, std::size_t i) { return static_cast<unsigned char>(s[i]); }

// The offset of the first start-of-scan marker of a JPEG the filter took;
// `each` sees every segment (marker, payload) before it.
template <typename Each>
std::size_t FirstScan(std::string_view jpeg, Each&& each) {
  std::size_t pos = 2;
  for (;;) {
    while (Byte(jpeg, pos + 1) == 0xFF) ++pos;
    const unsigned marker = Byte(jpeg, pos + 1);
    if (marker == 0xDA) return pos;
    const std::size_t length = Byte(jpeg, pos + 2) << 8 | Byte(jpeg, pos + 3);
    each(marker, jpeg.substr(pos + 4, length - 2));
    pos += 2 + length;
  }
}

// Whether IFD0 of an Exif payload names a GPS directory.
bool Ifd0HasGps(std::string_view exif) {
  if (exif.size() < 14) return false;
  const std::string_view tiff = exif.substr(6);
  const bool little = tiff[0] == 'I';
  auto read = [&](std::size_t at, std::size_t bytes) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < bytes; ++i) v |= std::uint32_t{Byte(tiff, at + i)} << 8 * (little ? i : bytes - 1 - i);
    return v;
  };
  const std::size_t dir = read(4, 4);
  if (dir + 2 > tiff.size()) return false;
  for (std::size_t i = 0, n = read(dir, 2); i < n && dir + 14 + 12 * i <= tiff.size(); ++i) {
    if (read(dir + 2 + 12 * i, 2) == 0x8825) return true;
  }
  return false;
}

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
    fuzz::Check(marker != 0xED, "no IPTC (APP13) segment is left");
    if (marker != 0xE1) return;
    fuzz::Check(payload.starts_with(std::string_view("Exif\0", 5)), "no APP1 but Exif is left", payload);
    fuzz::Check(!Ifd0HasGps(payload), "no GPS pointer is left in IFD0");
  });
  const std::string_view scans = std::string_view(out).substr(scan_out);
  fuzz::Check(in.substr(scan_in, scans.size()) == scans && scans == stripped.scans, "the scan data is the posted one");
  fuzz::Check(scans.ends_with("\xFF\xD9"), "the image ends with its end-of-image");

  filter::StrippedJpeg again;
  fuzz::Check(filter::StripLocation(out, again) && again.head + std::string(again.scans) == out,
              "stripping again changes nothing");
  return 0;
}
