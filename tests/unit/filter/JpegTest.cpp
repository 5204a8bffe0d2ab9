// What the filter keeps and drops around the Exif block (whose GPS removal
// the e2e checks read back with exiftool, and the fuzz target checks).
#include <gtest/gtest.h>

#include <string>

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

}  // namespace
