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
//   comments): kept as it is.
// The bytes from the first start-of-scan through the end-of-image are
// copied unchanged; whatever follows the end-of-image (a phone's appended
// preview, depth map or video, which carry locations of their own) is not.
// The result is never longer than `data`, and stripping it again changes
// nothing.
bool StripLocation(std::string_view data, std::string& out);

}  // namespace filter
