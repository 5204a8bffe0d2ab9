// Byte routines over a posted JPEG file: is it one, and the same image
// without the place it was taken. They know nothing of members or requests;
// time and memory are linear in the file, whatever it holds.
#pragma once

#include <string>
#include <string_view>

namespace filter {

// Whether `data` is a JPEG image: a start-of-image, well-formed segments
// with a frame header up to the first start-of-scan, then scan data and
// segments up to an end-of-image.
bool IsJpeg(std::string_view data);

// A JPEG without its location, in two pieces, so that the image data (most
// of a photo) is written from the posted bytes rather than copied first.
struct StrippedJpeg {
  std::string head;        // the start-of-image and the segments kept, rebuilt
  std::string_view scans;  // a view of the posted bytes: the first start-of-scan through the end-of-image
};

// The image of `data` without its location, into `out`; false, with `out`
// empty, when `data` is no JPEG (as IsJpeg). Of the segments before the
// first start-of-scan:
// - Exif (APP1 "Exif"): kept, but every GPS directory pointer (tag 0x8825)
//   is taken out of its directory and the GPS directory and its values are
//   zeroed; offsets stay valid, the orientation and all other tags stay. An
//   Exif block whose directories cannot be walked soundly is dropped whole.
// - every other APP1 (XMP packets, extended XMP) and APP13 (Photoshop and
//   IPTC, which name city and country): dropped.
// - everything else (JFIF, ICC profile, Adobe, tables, frame header,
//   comments): kept as it is, fill bytes before markers left out.
// The scan data is kept unchanged; whatever follows the end-of-image (a
// phone's appended preview, depth map or video, which carry locations of
// their own) is not. head + scans is never longer than `data`, and
// stripping it again changes nothing.
bool StripLocation(std::string_view data, StrippedJpeg& out);

}  // namespace filter
