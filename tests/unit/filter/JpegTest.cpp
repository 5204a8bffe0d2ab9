// What the filter keeps and drops: segments, and the directories of the
// Exif block (read back with exiftool by the e2e checks on files exiftool
// wrote; the fuzz target checks the same on any bytes).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "filter/Jpeg.h"

using namespace std::string_literals;

namespace {

const std::string kApp0 = "\xff\xe0\0\x07JFIF\0"s;
const std::string kIcc = "\xff\xe2\0\x0eICC_PROFILE\0"s;
const std::string kXmp = "\xff\xe1\0\x20" "http://ns.adobe.com/xap/1.0/\0<"s;
const std::string kFrame = "\xff\xc0\0\x0b\x08\0\x01\0\x01\x01\x01\x11\0"s;
const std::string kScans = "\xff\xda\0\x08\x01\x01\0\0\x3f\0\xff\0\xff\xd0\xff\xc4\0\x02\xff\xda\0\x02\x12\xff\xd9"s;

TEST(StripLocation, KeepsTablesAndScansDropsXmpFillBytesAndTrailer) {
  const std::string posted = "\xff\xd8"s + kApp0 + "\xff\xff" + kXmp + kIcc + kFrame + kScans + "MP4";
  filter::StrippedJpeg out;
  ASSERT_TRUE(filter::StripLocation(posted, out));
  EXPECT_EQ(out.head, "\xff\xd8"s + kApp0 + kIcc + kFrame);
  EXPECT_EQ(out.scans, kScans);
}

TEST(StripLocation, RefusesWhatIsNoImage) {
  filter::StrippedJpeg out{"x", "y"};
  for (const std::string& bad : {""s, "\xff\xd8"s + kFrame + "\xff\xd9"s, "\xff\xd8"s + kApp0 + kScans,
                                 "\xff\xd8"s + kFrame + kScans.substr(0, kScans.size() - 2),
                                 "\xff\xd8"s + kFrame + "\xff\x01" + kScans, "GIF89a"s + kFrame + kScans}) {
    EXPECT_FALSE(filter::StripLocation(bad, out)) << bad.size();
    EXPECT_TRUE(out.head.empty() && out.scans.empty());
    EXPECT_FALSE(filter::IsJpeg(bad));
  }
}

// A TIFF block laid out by hand: directories and values at fixed offsets
// over zeros, so that the block a row expects is the same layout with the
// removed pieces left out.
struct Entry {
  std::uint16_t tag, type;
  std::uint32_t count, value;
};
struct Tiff {
  bool little;
  std::string N(std::uint32_t v, int bytes) const {
    std::string out;
    for (int i = 0; i < bytes; ++i) out += static_cast<char>(v >> 8 * (little ? i : bytes - 1 - i));
    return out;
  }
  std::string Dir(const std::vector<Entry>& entries, std::uint32_t next = 0) const {
    std::string out = N(static_cast<std::uint32_t>(entries.size()), 2);
    for (const Entry& e : entries) {
      out += N(e.tag, 2) + N(e.type, 2) + N(e.count, 4);
      out += e.type == 3 && e.count == 1 ? N(e.value, 2) + "\0\0"s : N(e.value, 4);
    }
    return out + N(next, 4);
  }
  // APP1 "Exif" holding `size` bytes with `pieces` at their offsets.
  std::string Block(std::size_t size, const std::vector<std::pair<std::size_t, std::string>>& pieces) const {
    std::string tiff = (little ? "II"s : "MM"s) + N(42, 2) + N(8, 4) + std::string(1024, '\0');
    for (const auto& [at, bytes] : pieces) tiff.replace(at, bytes.size(), bytes);
    tiff.resize(size);
    return "\xff\xe1"s + static_cast<char>((size + 8) >> 8) + static_cast<char>((size + 8) & 0xFF) + "Exif\0\0"s + tiff;
  }
};

// Which parts of a photo are left. Each row's posted photo is SOI, `before`,
// a frame header and `scans`; the stored one SOI, `kept`, the frame header
// and `kept_scans`.
TEST(StripLocation, KeepsWhatShowsThePhotoAndNothingThatPlacesIt) {
  const Tiff mm{false}, ii{true};
  const Entry orientation{0x0112, 3, 1, 6}, exif_version{0x9000, 7, 4, 0x30323330}, gps_at_100{0x8825, 4, 1, 100};
  const std::pair<std::size_t, std::string> gps_mm{100, mm.Dir({{0x0002, 5, 3, 140}})}, gps_ii{100, ii.Dir({{0x0002, 5, 3, 140}})},
      latitude{140, std::string(24, '\x23')};
  const std::string seg = "\xff\xe1\0\x06Exif"s, dri = "\xff\xdd\0\x04\0\x10"s, dqt = "\xff\xdb\0\x03\0"s,
                    dht = "\xff\xc4\0\x02"s, adobe = "\xff\xee\0\x07" "Adobe"s, sos = kScans.substr(0, 10);
  const std::string rst = sos + "\x01\xff\xd0\x02\xff\xd1\xff\xd2\xff\xd3\xff\xd4\xff\xd5\xff\xd6\xff\xd7\x03\xff\xd9";
  const std::string sub_list = mm.N(60, 4) + mm.N(70, 4);
  std::string unordered = mm.Block(24, {{8, mm.Dir({orientation})}});
  unordered.replace(10, 2, "XX");
  struct Row {
    const char* name;
    std::string before, kept, scans = kScans, kept_scans = kScans;
  };
  const Row rows[] = {
      {"GPS pointer in IFD0", mm.Block(164, {{8, mm.Dir({orientation, gps_at_100})}, gps_mm, latitude}),
       mm.Block(164, {{8, mm.Dir({orientation})}})},
      {"GPS pointer in the Exif directory",
       ii.Block(164, {{8, ii.Dir({orientation, {0x8769, 4, 1, 60}})}, {60, ii.Dir({exif_version, gps_at_100})}, gps_ii, latitude}),
       ii.Block(164, {{8, ii.Dir({orientation, {0x8769, 4, 1, 60}})}, {60, ii.Dir({exif_version})}})},
      {"GPS pointer in the second of two SubIFDs",
       mm.Block(164, {{8, mm.Dir({orientation, {0x014A, 4, 2, 40}})}, {40, sub_list}, {60, mm.Dir({})}, {70, mm.Dir({gps_at_100})}, gps_mm, latitude}),
       mm.Block(164, {{8, mm.Dir({orientation, {0x014A, 4, 2, 40}})}, {40, sub_list}, {60, mm.Dir({})}, {70, mm.Dir({})}})},
      {"GPS pointer in the one SubIFD", ii.Block(164, {{8, ii.Dir({orientation, {0x014A, 4, 1, 70}})}, {70, ii.Dir({gps_at_100})}, gps_ii, latitude}),
       ii.Block(164, {{8, ii.Dir({orientation, {0x014A, 4, 1, 70}})}})},
      {"preview (with an Exif block of its own) in IFD1",
       mm.Block(174, {{8, mm.Dir({orientation}, 60)}, {60, mm.Dir({{0x0103, 3, 1, 6}, {0x0201, 4, 1, 110}, {0x0202, 4, 1, 64}})}, {110, "\xff\xd8" + seg + std::string(54, 'G')}}),
       mm.Block(174, {{8, mm.Dir({orientation}, 60)}, {60, mm.Dir({{0x0103, 3, 1, 6}})}})},
      {"XMP, IPTC and Photoshop tags",
       ii.Block(164, {{8, ii.Dir({{0x02BC, 7, 20, 100}, orientation, {0x83BB, 4, 2, 130}, {0x8649, 7, 4, 4}})}, {100, std::string(20, 'X')}, {130, "IPTCcity"}}),
       ii.Block(164, {{8, ii.Dir({orientation})}})},
      {"Exif directory ending where the block ends", mm.Block(86, {{8, mm.Dir({orientation, {0x8769, 4, 1, 60}})}, {60, mm.Dir({exif_version, orientation})}}),
       mm.Block(86, {{8, mm.Dir({orientation, {0x8769, 4, 1, 60}})}, {60, mm.Dir({exif_version, orientation})}})},
      {"Exif directory one byte past the block", mm.Block(85, {{8, mm.Dir({orientation, {0x8769, 4, 1, 60}})}, {60, mm.Dir({exif_version, orientation})}}), ""},
      {"Exif directory two bytes past the block", mm.Block(84, {{8, mm.Dir({orientation, {0x8769, 4, 1, 60}})}, {60, mm.Dir({exif_version, orientation})}}), ""},
      {"IFD0 past the block", mm.Block(20, {{8, mm.Dir({orientation})}}), ""},
      {"no byte order", unordered, ""},
      {"Exif pointer out of the block", mm.Block(64, {{8, mm.Dir({orientation, {0x8769, 4, 1, 900}})}}), ""},
      {"GPS pointer out of the block", mm.Block(64, {{8, mm.Dir({orientation, {0x8825, 4, 1, 900}})}}), ""},
      {"SubIFDs list out of the block", mm.Block(64, {{8, mm.Dir({orientation, {0x014A, 4, 2, 60}})}}), ""},
      // The Exif directory overlaps IFD0: closing it up moves a value of
      // 0x8825.... onto an IFD0 tag, making a GPS pointer there.
      {"GPS pointer made by closing up an overlapping directory",
       mm.Block(164, {{8, mm.Dir({orientation, {0x8769, 4, 0x02BC0001, 24}, {0x0131, 2, 0x86490001, 0}})},
                      {50, mm.Dir({{0x9286, 7, 24, 0x88250004}, {0, 0, 100, 0}}).substr(2)}, gps_mm, latitude}),
       ""},
      {"restart markers in the scan", dri, dri, rst, rst},
      {"only segments that show the photo", kApp0 + "\xff\xe0\0\x07JFXX\0"s + kXmp + "\xff\xe2\0\x06MPF\0"s + kIcc +
           "\xff\xe6\0\x04GP"s + "\xff\xeb\0\x06JP\0\x01"s + "\xff\xed\0\x04PS"s + adobe + "\xff\xfe\0\x06Oslo"s + dqt + dht,
       kApp0 + kIcc + adobe + dqt + dht},
      {"segments after the first scan", "", "", sos + "\x11\xff" + kXmp + "\x12\xff\xfe\0\x03x\xff\xeb\0\x02"s + dht + sos + "\x22\xff\xd9",
       sos + "\x11\x12" + dht + sos + "\x22\xff\xd9"},
  };
  for (const Row& row : rows) {
    const std::string posted = "\xff\xd8"s + row.before + kFrame + row.scans;
    filter::StrippedJpeg out, again;
    ASSERT_TRUE(filter::StripLocation(posted, out) && filter::IsJpeg(posted)) << row.name;
    const std::string stored = out.head + std::string(out.scans);
    EXPECT_EQ(stored, "\xff\xd8"s + row.kept + kFrame + row.kept_scans) << row.name;
    EXPECT_TRUE(filter::StripLocation(stored, again) && again.head + std::string(again.scans) == stored) << row.name;
  }
}

}  // namespace
