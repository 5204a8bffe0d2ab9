// The JPEG segment walker and the Exif directory walker behind IsJpeg and
// StripLocation. No library serves both the Linux and the Windows build
// (Debian packages libexif and exiv2 for Linux only), and what is needed is
// small: the segment structure through the end-of-image and the TIFF
// directories of an Exif block.
#include "filter/Jpeg.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>

namespace filter {
namespace {

constexpr unsigned char kMarkerByte = 0xFF;
constexpr unsigned char kStartOfImage = 0xD8;
constexpr unsigned char kEndOfImage = 0xD9;
constexpr unsigned char kStartOfScan = 0xDA;

constexpr std::string_view kExifSignature{"Exif\0", 5};
constexpr std::size_t kExifHeaderSize = 6;  // "Exif", NUL and a pad byte

constexpr std::uint16_t kExifPointerTag = 0x8769;
constexpr std::uint16_t kInteropPointerTag = 0xA005;
constexpr std::uint16_t kSubDirectoriesTag = 0x014A;
constexpr std::uint16_t kGpsPointerTag = 0x8825;
constexpr std::uint16_t kPreviewOffsetTag = 0x0201;
constexpr std::uint16_t kPreviewLengthTag = 0x0202;
constexpr std::size_t kHeaderSize = 8;  // byte order, 42, the offset of IFD0
constexpr std::size_t kEntrySize = 12;
// Cameras and phones write five to eight directories (IFD0, Exif, GPS,
// interoperability, the preview's, a raw file's sub-images); more is a
// crafted block.
constexpr std::size_t kMaxDirectories = 32;

unsigned char Byte(std::string_view data, std::size_t pos) { return static_cast<unsigned char>(data[pos]); }

bool IsFrameHeader(unsigned char marker) {
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// Markers followed by a length: every one from 0xC0 up but the restart
// markers, start- and end-of-image.
bool HasLength(unsigned char marker) {
  return marker >= 0xC0 && marker != kMarkerByte && (marker < 0xD0 || marker > kEndOfImage);
}

// Segments a decoder needs to draw the pixels: frame headers, Huffman,
// arithmetic and quantisation tables, restart interval, line count, the
// hierarchical ones and scan headers. They hold numbers only, no text.
bool IsCoding(unsigned char marker) {
  return IsFrameHeader(marker) || marker == 0xC4 || marker == 0xCC || (marker >= 0xDA && marker <= 0xDF);
}

// Tags whose values locate the photo or carry a packet that may: the GPS
// directory, XMP, IPTC and Photoshop resources, and the embedded preview
// (a JPEG of its own, with an Exif block of its own). Their entries leave
// the directory and what they point to is zeroed.
bool IsRemovedTag(std::uint16_t tag) {
  return tag == kGpsPointerTag || tag == 0x02BC || tag == 0x83BB || tag == 0x8649 || tag == kPreviewOffsetTag ||
         tag == kPreviewLengthTag;
}

// One segment: its marker and where its bytes (from the 0xFF on) lie.
struct Segment {
  unsigned char marker = 0;
  std::size_t fill = 0;   // the first of the fill bytes before it (its start when none)
  std::size_t start = 0;  // the 0xFF before the marker
  std::size_t end = 0;
};

// The segment at `pos` (fill bytes 0xFF allowed before it), when its
// marker takes a length and the length stays inside the data.
std::optional<Segment> SegmentAt(std::string_view data, std::size_t pos) {
  if (pos >= data.size() || Byte(data, pos) != kMarkerByte) return std::nullopt;
  const std::size_t fill = pos;
  while (pos + 1 < data.size() && Byte(data, pos + 1) == kMarkerByte) ++pos;
  if (pos + 4 > data.size() || !HasLength(Byte(data, pos + 1))) return std::nullopt;
  const std::size_t length = std::size_t{Byte(data, pos + 2)} << 8 | Byte(data, pos + 3);
  if (length < 2 || pos + 2 + length > data.size()) return std::nullopt;
  return Segment{Byte(data, pos + 1), fill, pos, pos + 2 + length};
}

// Calls `each(segment, scanned)` with every segment of `data`, `scanned`
// from the first start-of-scan on; returns the end of the end-of-image, or
// nothing when `data` is no JPEG: a start-of-image, well-formed segments
// with a frame header before the first scan, then entropy-coded data (its
// stuffed bytes and restart markers), segments and further scans up to an
// end-of-image.
template <typename Each>
std::optional<std::size_t> WalkJpeg(std::string_view data, Each&& each) {
  if (data.size() < 2 || Byte(data, 0) != kMarkerByte || Byte(data, 1) != kStartOfImage) return std::nullopt;
  bool frame = false;
  std::size_t pos = 2;
  for (;;) {
    const std::optional<Segment> segment = SegmentAt(data, pos);
    if (!segment || (segment->marker == kStartOfScan && !frame)) return std::nullopt;
    pos = segment->end;
    if (segment->marker == kStartOfScan) {
      each(*segment, true);
      break;
    }
    frame = frame || IsFrameHeader(segment->marker);
    each(*segment, false);
  }
  while (pos < data.size()) {
    const void* found = std::memchr(data.data() + pos, kMarkerByte, data.size() - pos);
    if (found == nullptr) return std::nullopt;
    const std::size_t fill = static_cast<std::size_t>(static_cast<const char*>(found) - data.data());
    std::size_t at = fill;
    while (at + 1 < data.size() && Byte(data, at + 1) == kMarkerByte) ++at;
    if (at + 1 >= data.size()) return std::nullopt;
    const unsigned char next = Byte(data, at + 1);
    if (next == 0x00 || (next >= 0xD0 && next <= 0xD7)) {
      pos = at + 2;
    } else if (next == kEndOfImage) {
      return at + 2;
    } else {
      const std::optional<Segment> segment = SegmentAt(data, fill);
      if (!segment) return std::nullopt;
      each(*segment, true);
      pos = segment->end;
    }
  }
  return std::nullopt;
}

// The TIFF structure of an Exif block, in its own byte order, over bytes
// that may be changed in place.
class Tiff {
 public:
  // The block runs from `start` to the end of `bytes`.
  Tiff(std::string& bytes, std::size_t start)
      : bytes_(bytes), start_(start), size_(start <= bytes.size() ? bytes.size() - start : 0) {}

  // Takes every removed tag's entry out of the directories and zeroes what
  // it pointed to (the GPS directory and its values, a packet, the preview);
  // false when the directories cannot be walked soundly (then the block
  // must go). Entries close up inside their own directory and nothing else
  // moves, so every offset that stays is still valid.
  bool Clean() {
    if (size_ < kHeaderSize) return false;
    if (At(0) == 'I' && At(1) == 'I') {
      little_ = true;
    } else if (!(At(0) == 'M' && At(1) == 'M')) {
      return false;
    }
    if (Read16(2) != 42) return false;
    if (!Walk([&](std::size_t dir, std::uint16_t count) { return CleanDirectory(dir, count); })) return false;
    // Zeroing what a crafted block points at twice, or a directory that
    // overlaps another, can leave or bring back a removed tag; such a block
    // goes whole.
    return Walk([&](std::size_t dir, std::uint16_t count) {
      for (std::uint16_t i = 0; i < count; ++i) {
        if (IsRemovedTag(Read16(dir + 2 + i * kEntrySize))) return false;
      }
      return true;
    });
  }

 private:
  unsigned char At(std::size_t pos) const { return static_cast<unsigned char>(bytes_[start_ + pos]); }
  char* Ptr(std::size_t pos) { return bytes_.data() + start_ + pos; }
  std::uint16_t Read16(std::size_t pos) const {
    return static_cast<std::uint16_t>(little_ ? At(pos) | At(pos + 1) << 8 : At(pos) << 8 | At(pos + 1));
  }
  std::uint32_t Read32(std::size_t pos) const {
    const std::uint32_t a = Read16(pos), b = Read16(pos + 2);
    return little_ ? b << 16 | a : a << 16 | b;
  }
  void Write16(std::size_t pos, std::uint16_t value) {
    const auto high = static_cast<char>(value >> 8), low = static_cast<char>(value & 0xFF);
    *Ptr(pos) = little_ ? low : high;
    *Ptr(pos + 1) = little_ ? high : low;
  }

  // Whether a directory's count and entries lie inside the block, past its
  // header (which nothing may overwrite).
  bool DirectoryFits(std::size_t dir) const {
    return dir >= kHeaderSize && dir + 2 <= size_ && dir + 2 + std::size_t{Read16(dir)} * kEntrySize <= size_;
  }

  // Calls `each` (offset, entry count) once for every directory reachable
  // from IFD0 through next-directory offsets and the Exif,
  // interoperability and sub-directory pointers, until `each` says false.
  // False for a directory or pointer list outside the block or more
  // directories than any camera writes; a directory met twice (a loop) is
  // visited once.
  template <typename Each>
  bool Walk(Each&& each) {
    std::array<std::uint32_t, kMaxDirectories> seen{};
    std::array<std::uint32_t, kMaxDirectories> pending{};
    std::size_t seen_count = 0, pending_count = 0;
    const auto push = [&](std::uint32_t dir) {
      if (pending_count == pending.size()) return false;
      pending[pending_count++] = dir;
      return true;
    };
    // IFD0 must be there; a zero offset elsewhere means none.
    pending[pending_count++] = Read32(4);
    if (!DirectoryFits(pending[0])) return false;
    while (pending_count > 0) {
      const std::uint32_t dir = pending[--pending_count];
      const auto seen_end = seen.begin() + static_cast<std::ptrdiff_t>(seen_count);
      if (dir == 0 || std::find(seen.begin(), seen_end, dir) != seen_end) continue;
      if (seen_count == seen.size() || !DirectoryFits(dir)) return false;
      seen[seen_count++] = dir;
      const std::uint16_t count = Read16(dir);
      for (std::uint16_t i = 0; i < count; ++i) {
        const std::size_t entry = dir + 2 + i * kEntrySize;
        const std::uint16_t tag = Read16(entry);
        if (tag == kExifPointerTag || tag == kInteropPointerTag) {
          if (!push(Read32(entry + 8))) return false;
        } else if (tag == kSubDirectoriesTag) {
          // A list of offsets, in the entry itself when there is one.
          const std::uint32_t subs = Read32(entry + 4);
          if (subs > pending.size()) return false;
          const std::size_t list = subs == 1 ? entry + 8 : Read32(entry + 8);
          if (subs > 1 && (list < kHeaderSize || list + std::size_t{subs} * 4 > size_)) return false;
          for (std::uint32_t j = 0; j < subs; ++j) {
            if (!push(Read32(list + j * 4))) return false;
          }
        }
      }
      const std::size_t next = dir + 2 + std::size_t{count} * kEntrySize;
      const std::uint32_t next_dir = next + 4 <= size_ ? Read32(next) : 0;
      if (!each(dir, count)) return false;
      if (next_dir != 0 && !push(next_dir)) return false;
    }
    return true;
  }

  // Takes the removed tags' entries out of one directory, zeroing what
  // they point to.
  bool CleanDirectory(std::size_t dir, std::uint16_t count) {
    std::uint16_t kept = 0;
    std::optional<std::uint32_t> preview;
    std::uint64_t preview_length = size_;  // unknown: all it could be
    for (std::uint16_t i = 0; i < count; ++i) {
      const std::size_t entry = dir + 2 + i * kEntrySize;
      const std::uint16_t tag = Read16(entry);
      if (!IsRemovedTag(tag)) {
        if (kept != i) std::memmove(Ptr(dir + 2 + kept * kEntrySize), Ptr(entry), kEntrySize);
        ++kept;
        continue;
      }
      bool zeroed = true;
      if (tag == kGpsPointerTag) {
        zeroed = ZeroDirectory(Read32(entry + 8));
      } else if (tag == kPreviewOffsetTag) {
        preview = Read32(entry + 8);
      } else if (tag == kPreviewLengthTag) {
        preview_length = Read16(entry + 2) == 3 ? Read16(entry + 8) : Read32(entry + 8);
      } else {
        zeroed = ZeroValue(entry);
      }
      if (!zeroed) return false;
    }
    if (preview && !Zero(*preview, preview_length)) return false;
    if (kept == count) return true;
    // The entries close up and the next-directory offset follows them.
    const std::size_t next = dir + 2 + std::size_t{count} * kEntrySize;
    const std::size_t tail = std::min<std::size_t>(4, size_ - next);
    std::memmove(Ptr(dir + 2 + kept * kEntrySize), Ptr(next), tail);
    const std::size_t freed = static_cast<std::size_t>(count - kept) * kEntrySize;
    std::memset(Ptr(dir + 2 + kept * kEntrySize + tail), 0, freed);
    Write16(dir, kept);
    return true;
  }

  // Zeroes `length` bytes at `offset`, as far as they lie inside the block.
  // The zeroed bytes may not add up to more than the block (only
  // overlapping, crafted values would), so the work stays linear.
  bool Zero(std::uint64_t offset, std::uint64_t length) {
    if (length == 0) return true;
    if (offset < kHeaderSize) return false;
    if (offset >= size_) return true;
    const std::uint64_t inside = std::min<std::uint64_t>(length, size_ - offset);
    zeroed_ += inside;
    if (zeroed_ > size_) return false;
    std::memset(Ptr(static_cast<std::size_t>(offset)), 0, static_cast<std::size_t>(inside));
    return true;
  }

  // Zeroes an entry's value when it lies outside the entry.
  bool ZeroValue(std::size_t entry) {
    static constexpr std::array<std::uint64_t, 14> kTypeSize{0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
    const std::uint16_t type = Read16(entry + 2);
    const std::uint64_t length = (type < kTypeSize.size() ? kTypeSize[type] : 1) * Read32(entry + 4);
    return length <= 4 || Zero(Read32(entry + 8), length);
  }

  // Zeroes a GPS directory and the values it keeps outside its entries.
  bool ZeroDirectory(std::uint32_t dir) {
    if (dir == 0 || !DirectoryFits(dir)) return false;
    const std::uint16_t count = Read16(dir);
    for (std::uint16_t i = 0; i < count; ++i) {
      if (!ZeroValue(dir + 2 + i * kEntrySize)) return false;
    }
    return Zero(dir, std::size_t{count} * kEntrySize + 6);
  }

  std::string& bytes_;
  std::size_t start_;
  std::size_t size_;
  bool little_ = false;
  std::uint64_t zeroed_ = 0;
};

// Whether a segment before the first scan is one a viewer needs to show
// the photo right: the coding segments, the JFIF header, the Exif block
// (orientation; cleaned before it is kept), the ICC colour profile and
// Adobe's colour transform. Comments go too: free text nothing draws.
bool IsShown(unsigned char marker, std::string_view payload) {
  switch (marker) {
    case 0xE0: return payload.starts_with(std::string_view("JFIF\0", 5));
    case 0xE1: return payload.starts_with(kExifSignature);
    case 0xE2: return payload.starts_with(std::string_view("ICC_PROFILE\0", 12));
    case 0xEE: return payload.starts_with("Adobe");
    default: return IsCoding(marker);
  }
}

}  // namespace

std::optional<FrameSize> ReadFrameSize(std::string_view head) {
  if (head.size() < 2 || Byte(head, 0) != kMarkerByte || Byte(head, 1) != kStartOfImage) return std::nullopt;
  for (std::size_t pos = 2;;) {
    // Fill bytes may stand before any marker; TEM and restart markers stand
    // alone.
    while (pos + 2 < head.size() && Byte(head, pos) == kMarkerByte && Byte(head, pos + 1) == kMarkerByte) ++pos;
    if (pos + 1 < head.size() && Byte(head, pos) == kMarkerByte &&
        (Byte(head, pos + 1) == 0x01 || (Byte(head, pos + 1) >= 0xD0 && Byte(head, pos + 1) <= 0xD7))) {
      pos += 2;
      continue;
    }
    const std::optional<Segment> segment = SegmentAt(head, pos);
    if (!segment || segment->marker == kStartOfScan) return std::nullopt;
    // The length, the precision, then the height and the width.
    if (IsFrameHeader(segment->marker) && segment->end - segment->start >= 9) {
      const std::size_t at = segment->start + 5;
      const FrameSize size{Byte(head, at + 2) << 8 | Byte(head, at + 3), Byte(head, at) << 8 | Byte(head, at + 1),
                           segment->marker};
      if (size.width == 0 || size.height == 0) return std::nullopt;
      return size;
    }
    pos = segment->end;
  }
}

int ExifOrientation(std::string_view data) {
  constexpr std::uint16_t kOrientationTag = 0x0112;
  if (data.size() < 2 || Byte(data, 0) != kMarkerByte || Byte(data, 1) != kStartOfImage) return 1;
  for (std::size_t pos = 2;;) {
    const std::optional<Segment> segment = SegmentAt(data, pos);
    if (!segment || segment->marker == kStartOfScan) return 1;
    pos = segment->end;
    const std::string_view payload = data.substr(segment->start + 4, segment->end - segment->start - 4);
    if (segment->marker != 0xE1 || !payload.starts_with(kExifSignature)) continue;
    // Only IFD0 is read, in place: the tag lives there and nothing is changed.
    const std::string_view tiff = payload.substr(std::min(payload.size(), kExifHeaderSize));
    if (tiff.size() < kHeaderSize) return 1;
    const bool little = tiff[0] == 'I' && tiff[1] == 'I';
    if (!little && !(tiff[0] == 'M' && tiff[1] == 'M')) return 1;
    const auto read16 = [&](std::size_t at) {
      return static_cast<std::uint16_t>(little ? Byte(tiff, at) | Byte(tiff, at + 1) << 8
                                               : Byte(tiff, at) << 8 | Byte(tiff, at + 1));
    };
    const auto read32 = [&](std::size_t at) {
      const std::uint32_t a = read16(at), b = read16(at + 2);
      return little ? b << 16 | a : a << 16 | b;
    };
    const std::size_t dir = read32(4);
    if (dir < kHeaderSize || dir + 2 > tiff.size()) return 1;
    const std::size_t count = read16(dir);
    for (std::size_t i = 0; i < count && dir + 2 + (i + 1) * kEntrySize <= tiff.size(); ++i) {
      const std::size_t entry = dir + 2 + i * kEntrySize;
      if (read16(entry) != kOrientationTag) continue;
      // A SHORT, one of them, held in the entry itself.
      if (read16(entry + 2) != 3 || read32(entry + 4) != 1) return 1;
      const int value = read16(entry + 8);
      return value >= 1 && value <= 8 ? value : 1;
    }
    return 1;
  }
}

bool IsJpeg(std::string_view data) {
  return WalkJpeg(data, [](const Segment&, bool) {}).has_value();
}

bool StripLocation(std::string_view data, StrippedJpeg& out) {
  std::string& head = out.head;
  head.clear();
  out.scans = {};
  head.append(data.substr(0, 2));
  // Before the first scan each segment kept is copied from its own marker
  // on (fill bytes before it left behind); from the first scan on the
  // posted bytes are kept in runs, and a segment that goes ends one: what
  // ran up to its fill bytes is copied (a fill byte left before the bytes
  // that follow the segment would make a marker of them), the next run
  // starts after it.
  std::size_t run = std::string_view::npos;
  const std::optional<std::size_t> end = WalkJpeg(data, [&](const Segment& segment, bool scanned) {
    const std::string_view bytes = data.substr(segment.start, segment.end - segment.start);
    if (scanned) {
      if (run == std::string_view::npos) {
        run = segment.start;
      } else if (!IsCoding(segment.marker)) {
        head.append(data.substr(run, segment.fill - run));
        run = segment.end;
      }
      return;
    }
    if (!IsShown(segment.marker, bytes.substr(4))) return;
    const std::size_t kept = head.size();
    head.append(bytes);
    if (segment.marker == 0xE1 && !Tiff(head, kept + 4 + kExifHeaderSize).Clean()) head.resize(kept);
  });
  if (!end) {
    head.clear();
    return false;
  }
  out.scans = data.substr(run, *end - run);
  return true;
}

}  // namespace filter
