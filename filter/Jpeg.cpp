// The JPEG segment walker and the Exif directory walker behind IsJpeg and
// StripLocation. No library serves both the Linux and the Windows build
// (Debian packages libexif and exiv2 for Linux only), and what is needed is
// small: the segment structure up to the first scan, the end of the scans,
// and the TIFF directories of an Exif block.
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
constexpr unsigned char kApp1 = 0xE1;
constexpr unsigned char kApp13 = 0xED;

constexpr std::string_view kExifSignature{"Exif\0", 5};
constexpr std::size_t kExifHeaderSize = 6;  // "Exif", NUL and a pad byte

constexpr std::uint16_t kGpsPointerTag = 0x8825;
constexpr std::uint16_t kExifPointerTag = 0x8769;
constexpr std::uint16_t kInteropPointerTag = 0xA005;
constexpr std::size_t kHeaderSize = 8;  // byte order, 42, the offset of IFD0
constexpr std::size_t kEntrySize = 12;
// Cameras and phones write five or six directories (IFD0, Exif, GPS,
// interoperability, the thumbnail's); more is a crafted block.
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

// One segment: its marker and where its bytes (from the 0xFF on) lie.
struct Segment {
  unsigned char marker = 0;
  std::size_t start = 0;  // the 0xFF before the marker
  std::size_t end = 0;
};

// The segment at `pos` (fill bytes 0xFF allowed before it), when its
// marker takes a length and the length stays inside the data.
std::optional<Segment> SegmentAt(std::string_view data, std::size_t pos) {
  if (pos >= data.size() || Byte(data, pos) != kMarkerByte) return std::nullopt;
  while (pos + 1 < data.size() && Byte(data, pos + 1) == kMarkerByte) ++pos;
  if (pos + 4 > data.size() || !HasLength(Byte(data, pos + 1))) return std::nullopt;
  const std::size_t length = std::size_t{Byte(data, pos + 2)} << 8 | Byte(data, pos + 3);
  if (length < 2 || pos + 2 + length > data.size()) return std::nullopt;
  return Segment{Byte(data, pos + 1), pos, pos + 2 + length};
}

// From the end of a start-of-scan segment: past the entropy-coded data, its
// stuffed bytes and restart markers, and any further tables and scans, to
// the end of the end-of-image marker; nothing when the data ends first.
std::optional<std::size_t> EndOfImage(std::string_view data, std::size_t pos) {
  while (pos < data.size()) {
    const void* found = std::memchr(data.data() + pos, kMarkerByte, data.size() - pos);
    if (found == nullptr) return std::nullopt;
    std::size_t at = static_cast<std::size_t>(static_cast<const char*>(found) - data.data());
    while (at + 1 < data.size() && Byte(data, at + 1) == kMarkerByte) ++at;
    if (at + 1 >= data.size()) return std::nullopt;
    const unsigned char next = Byte(data, at + 1);
    if (next == 0x00 || (next >= 0xD0 && next <= 0xD7)) {
      pos = at + 2;
    } else if (next == kEndOfImage) {
      return at + 2;
    } else {
      const std::optional<Segment> segment = SegmentAt(data, at);
      if (!segment) return std::nullopt;
      pos = segment->end;
    }
  }
  return std::nullopt;
}

// Calls `each` with every segment before the first start-of-scan; returns
// the start of that scan's segment and the end of the image, or nothing
// when `data` is no JPEG.
template <typename Each>
std::optional<std::pair<std::size_t, std::size_t>> WalkJpeg(std::string_view data, Each&& each) {
  if (data.size() < 2 || Byte(data, 0) != kMarkerByte || Byte(data, 1) != kStartOfImage) return std::nullopt;
  bool frame = false;
  for (std::size_t pos = 2;;) {
    const std::optional<Segment> segment = SegmentAt(data, pos);
    if (!segment) return std::nullopt;
    if (segment->marker == kStartOfScan) {
      if (!frame) return std::nullopt;
      const std::optional<std::size_t> end = EndOfImage(data, segment->end);
      if (!end) return std::nullopt;
      return std::pair{segment->start, *end};
    }
    frame = frame || IsFrameHeader(segment->marker);
    each(*segment);
    pos = segment->end;
  }
}

// The TIFF structure of an Exif block, in its own byte order, over bytes
// that may be changed in place.
class Tiff {
 public:
  // The block runs from `start` to the end of `bytes`.
  Tiff(std::string& bytes, std::size_t start)
      : bytes_(bytes), start_(start), size_(start <= bytes.size() ? bytes.size() - start : 0) {}

  // Takes every GPS pointer out of the directories and zeroes the GPS
  // directories it pointed to; false when the directories cannot be walked
  // soundly (then the block must go).
  bool RemoveGps() {
    if (size_ < kHeaderSize) return false;
    if (At(0) == 'I' && At(1) == 'I') {
      little_ = true;
    } else if (!(At(0) == 'M' && At(1) == 'M')) {
      return false;
    }
    if (Read16(2) != 42) return false;
    // More GPS pointers than directories a camera writes would leave
    // directories unzeroed; such a block goes whole.
    std::array<std::uint32_t, kMaxDirectories> gps{};
    std::size_t gps_count = 0;
    bool too_many = false;
    const bool walked = Walk([&](std::size_t dir, std::uint16_t count) {
      std::uint16_t kept = 0;
      for (std::uint16_t i = 0; i < count; ++i) {
        const std::size_t entry = dir + 2 + i * kEntrySize;
        if (Read16(entry) == kGpsPointerTag) {
          too_many = too_many || gps_count == gps.size();
          if (!too_many) gps[gps_count++] = Read32(entry + 8);
          continue;
        }
        if (kept != i) std::memmove(Ptr(dir + 2 + kept * kEntrySize), Ptr(entry), kEntrySize);
        ++kept;
      }
      if (kept == count) return;
      // The entries close up and the next-directory offset follows them;
      // nothing else moves, so every offset stays valid.
      const std::size_t next = dir + 2 + std::size_t{count} * kEntrySize;
      const std::size_t tail = std::min<std::size_t>(4, size_ - next);
      std::memmove(Ptr(dir + 2 + kept * kEntrySize), Ptr(next), tail);
      const std::size_t freed = std::size_t{count} * kEntrySize - std::size_t{kept} * kEntrySize;
      std::memset(Ptr(dir + 2 + kept * kEntrySize + tail), 0, freed);
      Write16(dir, kept);
    });
    if (!walked || too_many) return false;
    for (std::size_t i = 0; i < gps_count; ++i) {
      if (!ZeroDirectory(gps[i])) return false;
    }
    // Closing up a directory that overlaps another (only a crafted block
    // does that) could make a pointer appear; such a block goes whole.
    bool clean = true;
    const bool rewalked = Walk([&](std::size_t dir, std::uint16_t count) {
      for (std::uint16_t i = 0; i < count; ++i) {
        if (Read16(dir + 2 + i * kEntrySize) == kGpsPointerTag) clean = false;
      }
    });
    return rewalked && clean;
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
  // from IFD0 through next-directory offsets and the Exif and
  // interoperability pointers. False for a directory outside the block or
  // more directories than any camera writes; a directory met twice (a loop)
  // is visited once.
  template <typename Each>
  bool Walk(Each&& each) {
    std::array<std::uint32_t, kMaxDirectories> seen{};
    std::array<std::uint32_t, kMaxDirectories> pending{};
    std::size_t seen_count = 0, pending_count = 0;
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
        if (tag != kExifPointerTag && tag != kInteropPointerTag) continue;
        if (pending_count == pending.size()) return false;
        pending[pending_count++] = Read32(entry + 8);
      }
      const std::size_t next = dir + 2 + std::size_t{count} * kEntrySize;
      const std::uint32_t next_dir = next + 4 <= size_ ? Read32(next) : 0;
      each(dir, count);
      if (next_dir != 0) {
        if (pending_count == pending.size()) return false;
        pending[pending_count++] = next_dir;
      }
    }
    return true;
  }

  // Zeroes a GPS directory and the values it keeps outside its entries. The
  // zeroed bytes may not add up to more than the block (only overlapping,
  // crafted values would), so the work stays linear.
  bool ZeroDirectory(std::uint32_t dir) {
    if (dir == 0 || !DirectoryFits(dir)) return false;
    static constexpr std::array<std::uint64_t, 13> kTypeSize{0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
    const std::uint16_t count = Read16(dir);
    std::uint64_t zeroed = 0;
    for (std::uint16_t i = 0; i < count; ++i) {
      const std::size_t entry = dir + 2 + i * kEntrySize;
      const std::uint16_t type = Read16(entry + 2);
      const std::uint64_t length = (type < kTypeSize.size() ? kTypeSize[type] : 1) * Read32(entry + 4);
      if (length <= 4) continue;
      const std::uint64_t offset = Read32(entry + 8);
      if (offset < kHeaderSize) return false;
      if (offset >= size_) continue;
      const std::uint64_t inside = std::min<std::uint64_t>(length, size_ - offset);
      zeroed += inside;
      if (zeroed > size_) return false;
      std::memset(Ptr(static_cast<std::size_t>(offset)), 0, static_cast<std::size_t>(inside));
    }
    const std::size_t end = std::min<std::size_t>(size_, dir + 2 + std::size_t{count} * kEntrySize + 4);
    std::memset(Ptr(dir), 0, end - dir);
    return true;
  }

  std::string& bytes_;
  std::size_t start_;
  std::size_t size_;
  bool little_ = false;
};

}  // namespace

bool IsJpeg(std::string_view data) {
  return WalkJpeg(data, [](const Segment&) {}).has_value();
}

bool StripLocation(std::string_view data, StrippedJpeg& out) {
  std::string& head = out.head;
  head.clear();
  out.scans = {};
  head.append(data.substr(0, 2));
  // Fill bytes before a marker are left behind: every segment is copied from
  // its own marker on.
  const auto image = WalkJpeg(data, [&](const Segment& segment) {
    const std::string_view bytes = data.substr(segment.start, segment.end - segment.start);
    if (segment.marker == kApp13) return;
    if (segment.marker == kApp1 && !bytes.substr(4).starts_with(kExifSignature)) return;
    const std::size_t kept = head.size();
    head.append(bytes);
    if (segment.marker == kApp1 && !Tiff(head, kept + 4 + kExifHeaderSize).RemoveGps()) head.resize(kept);
  });
  if (!image) {
    head.clear();
    return false;
  }
  out.scans = data.substr(image->first, image->second - image->first);
  return true;
}

}  // namespace filter
