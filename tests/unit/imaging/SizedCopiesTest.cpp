// What a sized copy promises: the size asked, upright, nothing but pixels,
// and a photo that would cost more than its bound is never decoded.
// Photos are made here with the same library, so each case states exactly
// what it is made of.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "filter/Jpeg.h"
#include "imaging/SizedCopies.h"

#include <jpeglib.h>

using namespace std::string_literals;

namespace {

constexpr int kSides[] = {1080, 480};

struct Rgb {
  int r, g, b;
};

// A photo whose top-left quarter is red and the rest blue, so its turning
// can be seen; `scans`: the progressive scans to write, none for baseline.
std::string MakeJpeg(int width, int height, const std::vector<jpeg_scan_info>& scans = {}, int components = 3,
                     int flat = -1, bool arithmetic = false) {
  jpeg_compress_struct info{};
  jpeg_error_mgr errors{};
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = static_cast<JDIMENSION>(width);
  info.image_height = static_cast<JDIMENSION>(height);
  info.input_components = components;
  info.in_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&info);
  info.arith_code = arithmetic ? TRUE : FALSE;
  if (!scans.empty()) {
    info.scan_info = scans.data();
    info.num_scans = static_cast<int>(scans.size());
  }
  jpeg_start_compress(&info, TRUE);
  std::vector<unsigned char> row(static_cast<std::size_t>(width * components));
  while (info.next_scanline < info.image_height) {
    for (int x = 0; x < width; ++x) {
      const bool red = x < width / 2 && static_cast<int>(info.next_scanline) < height / 2;
      for (int c = 0; c < components && flat >= 0; ++c) row[static_cast<std::size_t>(x * components + c)] = static_cast<unsigned char>(flat);
      for (int c = 0; c < components && flat < 0; ++c) {
        row[static_cast<std::size_t>(x * components + c)] =
            static_cast<unsigned char>(components == 1 ? (red ? 250 : 20) : (c == 0 ? (red ? 250 : 10) : c == 2 ? (red ? 10 : 250) : 10));
      }
    }
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&info, rows, 1);
  }
  jpeg_finish_compress(&info);
  std::string out(reinterpret_cast<const char*>(buffer), size);
  std::free(buffer);
  jpeg_destroy_compress(&info);
  return out;
}

// The photo with an Exif block holding the orientation and a GPS pointer,
// put right after the start-of-image.
// In Intel byte order (II) when `little`, as most phones write it.
std::string WithExif(const std::string& jpeg, int orientation, bool little = false) {
  const auto o = static_cast<char>(orientation);
  std::string tiff = little ? "II\x2a\0\x08\0\0\0"s : "MM\0\x2a\0\0\0\x08"s;
  tiff += little ? "\x02\0"s : "\0\x02"s;                                               // two entries
  tiff += little ? "\x12\x01\x03\0\x01\0\0\0"s + o + "\0\0\0"s : "\x01\x12\0\x03\0\0\0\x01"s + '\0' + o + "\0\0"s;
  tiff += little ? "\x25\x88\x04\0\x01\0\0\0\x26\0\0\0"s : "\x88\x25\0\x04\0\0\0\x01\0\0\0\x26"s;  // GPS directory at 38
  tiff += "\0\0\0\0"s;                                                                   // no next directory
  tiff += "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0"s;                                       // an empty GPS directory
  const std::string payload = "Exif\0\0"s + tiff;
  const std::size_t length = payload.size() + 2;
  const std::string segment = "\xff\xe1"s + static_cast<char>(length >> 8) + static_cast<char>(length & 0xff) + payload;
  return jpeg.substr(0, 2) + segment + jpeg.substr(2);
}

struct Decoded {
  int width = 0, height = 0, channels = 0;
  std::vector<unsigned char> pixels;
  Rgb At(int x, int y) const {
    const std::size_t at = static_cast<std::size_t>((y * width + x) * channels);
    return channels == 1 ? Rgb{pixels[at], pixels[at], pixels[at]} : Rgb{pixels[at], pixels[at + 1], pixels[at + 2]};
  }
};

Decoded Decode(const std::string& jpeg) {
  jpeg_decompress_struct info{};
  jpeg_error_mgr errors{};
  info.err = jpeg_std_error(&errors);
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(jpeg.data()), static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&info, TRUE);
  jpeg_start_decompress(&info);
  Decoded out{static_cast<int>(info.output_width), static_cast<int>(info.output_height), info.output_components, {}};
  out.pixels.resize(static_cast<std::size_t>(out.width * out.height * out.channels));
  while (info.output_scanline < info.output_height) {
    JSAMPROW rows[1] = {out.pixels.data() + static_cast<std::size_t>(info.output_scanline) * static_cast<std::size_t>(out.width * out.channels)};
    jpeg_read_scanlines(&info, rows, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return out;
}

bool IsRed(const Rgb& p) { return p.r > 200 && p.b < 60; }
bool IsBlue(const Rgb& p) { return p.b > 200 && p.r < 60; }

// The segments before the first scan other than those that draw the pixels
// and the JFIF header, by marker.
std::string OtherSegments(const std::string& jpeg) {
  std::string others;
  for (std::size_t pos = 2; pos + 4 <= jpeg.size();) {
    const unsigned char marker = static_cast<unsigned char>(jpeg[pos + 1]);
    if (marker == 0xDA) break;
    const bool jfif = marker == 0xE0 && jpeg.compare(pos + 4, 5, "JFIF\0"s) == 0;
    if (!jfif && marker != 0xDB && marker != 0xC0 && marker != 0xC4) others += std::to_string(marker) + " ";
    pos += 2 + (static_cast<std::size_t>(static_cast<unsigned char>(jpeg[pos + 2])) << 8 | static_cast<unsigned char>(jpeg[pos + 3]));
  }
  return others;
}

TEST(SizedCopies, AreTheAskedSizesUprightWithNothingButPixels) {
  struct Case {
    int width, height, orientation;
    int large_w, large_h, small_w, small_h;
    // Where the red quarter lands once upright: left/top.
    bool red_left, red_top;
  };
  // 1600 pixels: a scale of 5/8 falls short of 1080 by less than a tenth,
  // so the large copy is that size, decoded without averaging.
  const Case cases[] = {
      {1600, 1200, 1, 1000, 750, 480, 360, true, true},
      {1600, 1200, 6, 750, 1000, 360, 480, false, true},  // turned right: red top right
      {1600, 1200, 8, 750, 1000, 360, 480, true, false},  // turned left: red bottom left
      {1600, 1200, 3, 1000, 750, 480, 360, false, false},
      {1600, 1200, 2, 1000, 750, 480, 360, false, true},
      {1600, 1200, 4, 1000, 750, 480, 360, true, false},
      {1600, 1200, 5, 750, 1000, 360, 480, true, true},
      {1600, 1200, 7, 750, 1000, 360, 480, false, false},
      {2400, 1600, 1, 1080, 720, 480, 320, true, true},  // 3/8 gives 900: decoded at 4/8, averaged down
      {600, 400, 1, 600, 400, 480, 320, true, true},  // never enlarged
      {300, 200, 6, 200, 300, 200, 300, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " orientation " + std::to_string(c.orientation));
    const std::string photo = WithExif(MakeJpeg(c.width, c.height), c.orientation);
    ASSERT_EQ(filter::ExifOrientation(photo), c.orientation);
    const imaging::Copies made = imaging::MakeSizedCopies(photo, kSides);
    ASSERT_EQ(made.outcome, imaging::CopiesOutcome::kMade) << made.why;
    ASSERT_EQ(made.copies.size(), 2u);
    const int expected[2][2] = {{c.large_w, c.large_h}, {c.small_w, c.small_h}};
    for (std::size_t i = 0; i < 2; ++i) {
      const imaging::Copy& copy = made.copies[i];
      EXPECT_EQ(copy.long_side, kSides[i]);
      const Decoded pixels = Decode(copy.jpeg);
      EXPECT_EQ(pixels.width, expected[i][0]);
      EXPECT_EQ(pixels.height, expected[i][1]);
      EXPECT_EQ(copy.width, pixels.width);
      EXPECT_EQ(copy.height, pixels.height);
      const std::optional<filter::FrameSize> frame = filter::ReadFrameSize(copy.jpeg.substr(0, 1024));
      ASSERT_TRUE(frame);
      EXPECT_EQ(frame->width, pixels.width);
      EXPECT_EQ(frame->height, pixels.height);
      const int left = pixels.width / 5, right = pixels.width * 4 / 5, top = pixels.height / 5, bottom = pixels.height * 4 / 5;
      EXPECT_TRUE(IsRed(pixels.At(c.red_left ? left : right, c.red_top ? top : bottom)));
      EXPECT_TRUE(IsBlue(pixels.At(c.red_left ? right : left, c.red_top ? top : bottom)));
      EXPECT_TRUE(IsBlue(pixels.At(c.red_left ? left : right, c.red_top ? bottom : top)));
      EXPECT_EQ(OtherSegments(copy.jpeg), "");
      EXPECT_EQ(copy.jpeg.find("Exif"), std::string::npos);
      EXPECT_EQ(filter::ExifOrientation(copy.jpeg), 1);
    }
  }
}

// Averaging keeps a flat colour flat: every input row and column counts
// once, with its whole weight, at every size and turn.
TEST(SizedCopies, AFlatPhotoStaysFlat) {
  for (const int orientation : {1, 6}) {
    const imaging::Copies made = imaging::MakeSizedCopies(WithExif(MakeJpeg(2400, 1600, {}, 3, 150), orientation, true), kSides);
    ASSERT_EQ(made.outcome, imaging::CopiesOutcome::kMade) << made.why;
    for (const imaging::Copy& copy : made.copies) {
      const Decoded pixels = Decode(copy.jpeg);
      EXPECT_EQ(pixels.height > pixels.width, orientation == 6);
      const auto [low, high] = std::minmax_element(pixels.pixels.begin(), pixels.pixels.end());
      EXPECT_GE(*low, 146) << copy.long_side;
      EXPECT_LE(*high, 154) << copy.long_side;
    }
  }
}

TEST(SizedCopies, GreyStaysGrey) {
  const imaging::Copies made = imaging::MakeSizedCopies(MakeJpeg(1200, 900, {}, 1), kSides);
  ASSERT_EQ(made.outcome, imaging::CopiesOutcome::kMade) << made.why;
  const Decoded pixels = Decode(made.copies[1].jpeg);
  EXPECT_EQ(pixels.channels, 1);
  EXPECT_EQ(pixels.width, 480);
}

// The frame's declared size patched in: the scans still hold a small photo.
std::string Declaring(std::string jpeg, int width, int height) {
  const std::size_t frame = jpeg.find("\xff\xc0"s) != std::string::npos ? jpeg.find("\xff\xc0"s) : jpeg.find("\xff\xc2"s);
  jpeg[frame + 5] = static_cast<char>(height >> 8);
  jpeg[frame + 6] = static_cast<char>(height & 0xff);
  jpeg[frame + 7] = static_cast<char>(width >> 8);
  jpeg[frame + 8] = static_cast<char>(width & 0xff);
  return jpeg;
}

std::vector<jpeg_scan_info> SimpleProgression() {
  // DC of all components, then each component's AC in two bands.
  std::vector<jpeg_scan_info> scans;
  scans.push_back({3, {0, 1, 2, 0}, 0, 0, 0, 0});
  for (int c = 0; c < 3; ++c) {
    scans.push_back({1, {c, 0, 0, 0}, 1, 5, 0, 0});
    scans.push_back({1, {c, 0, 0, 0}, 6, 63, 0, 0});
  }
  return scans;
}

// Every AC coefficient of every component in a scan of its own: valid, and
// 190 scans, each a pass over the whole frame.
std::vector<jpeg_scan_info> ScanPerCoefficient() {
  std::vector<jpeg_scan_info> scans;
  scans.push_back({3, {0, 1, 2, 0}, 0, 0, 0, 0});
  for (int c = 0; c < 3; ++c) {
    for (int k = 1; k < 64; ++k) scans.push_back({1, {c, 0, 0, 0}, k, k, 0, 0});
  }
  return scans;
}

TEST(SizedCopies, APhotoBeyondItsBoundIsNeverDecoded) {
  const std::string small = MakeJpeg(64, 48);
  struct Case {
    std::string photo;
    imaging::CopiesOutcome outcome;
    std::string why;
  };
  const Case cases[] = {
      // A few hundred bytes declaring 65,535 x 65,535: refused before any pixel.
      {Declaring(small, 65535, 65535), imaging::CopiesOutcome::kOverBound, "65535 x 65535 pixels"},
      {Declaring(small, imaging::kMaxSide + 1, 16), imaging::CopiesOutcome::kOverBound, "over the bound"},
      {Declaring(small, 16, imaging::kMaxSide + 1), imaging::CopiesOutcome::kOverBound, "over the bound"},
      {Declaring(small, 10001, 10000), imaging::CopiesOutcome::kOverBound, "over the bound"},
      // Within the bound but its data runs out: the first warning ends it.
      {Declaring(small, 10000, 10000), imaging::CopiesOutcome::kUndecodable, "Corrupt JPEG data"},
      {Declaring(small, imaging::kMaxSide, 16), imaging::CopiesOutcome::kUndecodable, ""},
      // Progressive within the pixel bound keeps every coefficient: the
      // decoder's memory bound refuses it before the first row.
      {Declaring(MakeJpeg(64, 48, SimpleProgression()), 10000, 10000), imaging::CopiesOutcome::kUndecodable, "Backing store"},
      {MakeJpeg(64, 48, ScanPerCoefficient()), imaging::CopiesOutcome::kUndecodable, "more than 64 scans"},
      {small.substr(0, small.size() / 2), imaging::CopiesOutcome::kUndecodable, "Premature end"},
      // Arithmetic coding: no browser shows it, and its decoding within the
      // pixel bound takes seconds.
      {MakeJpeg(64, 48, {}, 3, -1, true), imaging::CopiesOutcome::kUndecodable, "a coding no browser shows"},
      {"\xff\xd8\xff\xd9"s, imaging::CopiesOutcome::kUndecodable, ""},
  };
  for (const Case& c : cases) {
    const imaging::Copies made = imaging::MakeSizedCopies(c.photo, kSides);
    EXPECT_EQ(made.outcome, c.outcome) << made.why;
    EXPECT_TRUE(made.copies.empty());
    EXPECT_NE(made.why.find(c.why), std::string::npos) << made.why;
  }
  // The same progressive photo at its own size, and ten scans, is copied.
  const imaging::Copies made = imaging::MakeSizedCopies(MakeJpeg(640, 480, SimpleProgression()), kSides);
  EXPECT_EQ(made.outcome, imaging::CopiesOutcome::kMade) << made.why;
}

TEST(FrameSize, IsReadFromTheHeadAlone) {
  const std::string photo = WithExif(MakeJpeg(320, 200), 6);
  const std::optional<filter::FrameSize> size = filter::ReadFrameSize(photo.substr(0, 400));
  ASSERT_TRUE(size);
  EXPECT_EQ(size->width, 320);
  EXPECT_EQ(size->height, 200);
  EXPECT_FALSE(filter::ReadFrameSize(photo.substr(0, 40)));
  EXPECT_FALSE(filter::ReadFrameSize(Declaring(photo, 0, 200)));
  EXPECT_FALSE(filter::ReadFrameSize("GIF89a"));
  // A marker without a length before the frame is passed over, as decoders do.
  const std::optional<filter::FrameSize> after_tem = filter::ReadFrameSize("\xff\xd8\xff\x01\xff\xd0"s + photo.substr(2));
  ASSERT_TRUE(after_tem);
  EXPECT_EQ(after_tem->width, 320);
  EXPECT_EQ(after_tem->marker, 0xC0);
  for (int orientation = 1; orientation <= 8; ++orientation) {
    EXPECT_EQ(filter::ExifOrientation(WithExif(photo, orientation, true)), orientation);
    EXPECT_EQ(filter::ExifOrientation(WithExif(photo, orientation, false)), orientation);
  }
  EXPECT_EQ(filter::ExifOrientation(WithExif(photo, 9, true)), 1);
  EXPECT_EQ(filter::ExifOrientation(MakeJpeg(32, 16)), 1);
}

}  // namespace
