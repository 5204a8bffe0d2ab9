// Byte routines over a posted JPEG file: is it one, and the same image
// without the place it was taken. They know nothing of members or requests;
// time and memory are linear in the file, whatever it holds.
#pragma once

#include <optional>
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
  std::string_view scans;  // a view of the posted bytes: the rest of the image through the end-of-image
};

// The image of `data` without its location, into `out`; false, with `out`
// empty, when `data` is no JPEG (as IsJpeg). A keep-list: of the segments
// before the first start-of-scan only those that show the photo right stay
// - the JFIF header (APP0 "JFIF"), the ICC colour profile (APP2
//   "ICC_PROFILE"), Adobe's colour transform (APP14 "Adobe"), the tables,
//   frame headers and restart interval, copied as they are without the fill
//   bytes before their markers;
// - the Exif block (APP1 "Exif"), cleaned in place: in every directory
//   reachable from IFD0 (through next-directory offsets, the Exif,
//   interoperability and SubIFDs pointers) the entries of the GPS pointer
//   (0x8825), XMP (0x02BC), IPTC (0x83BB), Photoshop resources (0x8649) and
//   the embedded preview (0x0201/0x0202, a JPEG with an Exif block of its
//   own) are taken out, and the GPS directory, the packets and the preview
//   are zeroed; offsets stay valid, the orientation and all other tags stay.
//   An Exif block whose directories cannot be walked soundly is dropped
//   whole.
// Every other segment (XMP and other APP1, APP13 Photoshop and IPTC, APP11
// JUMBF and C2PA, APP6 and every other application segment, comments)
// goes. From the first start-of-scan on, the scans, their entropy-coded
// data with restart markers and the tables between them are kept byte for
// byte; any other segment placed among them goes, and so does whatever
// follows the end-of-image (a phone's appended preview, depth map or video,
// which carry locations of their own). `scans` views the posted bytes after
// the last segment dropped among the scans (commonly from the first
// start-of-scan on). head + scans is never longer than `data`, and
// stripping it again changes nothing.
bool StripLocation(std::string_view data, StrippedJpeg& out);

// The pixel size a JPEG's frame header declares, and its marker (0xC0
// baseline, 0xC1 extended, 0xC2 progressive, 0xC9 and up arithmetic ...),
// read from the start of the file alone (the segments before the first
// frame header must all lie in `head`; markers without a length are passed
// over, as decoders do); nothing when no frame header with a width and a
// height is found there.
struct FrameSize {
  int width = 0;
  int height = 0;
  unsigned char marker = 0;
};
std::optional<FrameSize> ReadFrameSize(std::string_view head);

// The Exif orientation (1 to 8) of the first Exif block before the first
// scan: how the stored pixels must be turned to show the photo upright.
// 1, as they stand, when there is none or it cannot be read.
int ExifOrientation(std::string_view data);

}  // namespace filter
