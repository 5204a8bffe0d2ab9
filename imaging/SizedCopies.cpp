// libjpeg-turbo (Debian's libjpeg62-turbo; cross-built from Debian's source
// for Windows) decodes and encodes; the averaging and the turning are ours,
// since the library offers neither and both are a few loops over bytes.
// Its errors unwind by longjmp, so every call into it happens inside a
// frame that owns nothing but a pointer to state kept on the heap.
#include "imaging/SizedCopies.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

#include "filter/Jpeg.h"

// jpeglib.h expects FILE and size_t to be declared already.
#include <jpeglib.h>

namespace imaging {
namespace {

// Pixels row after row. Left uninitialised until written: every byte of an
// image is written once, and clearing megabytes first doubled the work of
// a fresh process's pages.
struct Image {
  int width = 0;
  int height = 0;
  int channels = 0;
  std::unique_ptr<unsigned char[]> pixels;
  std::size_t RowSize() const { return static_cast<std::size_t>(width) * static_cast<std::size_t>(channels); }
  const unsigned char* Row(int y) const { return pixels.get() + static_cast<std::size_t>(y) * RowSize(); }
};

// Fault and warning alike end the work: a photo the library finds corrupt
// is shown as it was posted rather than copied with grey bands, and a
// crafted one cannot make it print or work on.
struct ErrorExit {
  jpeg_error_mgr manager{};
  std::jmp_buf jump{};
  char message[JMSG_LENGTH_MAX] = {};
};

[[noreturn]] void OnError(j_common_ptr info) {
  auto* exit = reinterpret_cast<ErrorExit*>(info->err);
  (*info->err->format_message)(info, exit->message);
  std::longjmp(exit->jump, 1);
}

void OnMessage(j_common_ptr info, int level) {
  if (level < 0) OnError(info);
}

ErrorExit* InstallErrorExit(ErrorExit& exit) {
  jpeg_std_error(&exit.manager);
  exit.manager.error_exit = OnError;
  exit.manager.emit_message = OnMessage;
  return &exit;
}

// Called by the decoder as it goes; stops a progressive photo with more
// scans than any encoder writes.
struct ScanLimit {
  jpeg_progress_mgr manager{};
  char message[JMSG_LENGTH_MAX] = {};
};

// Where each output cell of one axis takes its input from: the input cells
// it overlaps, each weighted by the share of the output cell it covers.
struct Axis {
  struct Span {
    int first = 0;
    std::vector<float> weights;
  };
  std::vector<Span> spans;
};

Axis MakeAxis(int from, int to) {
  Axis axis;
  axis.spans.resize(static_cast<std::size_t>(to));
  const double step = static_cast<double>(from) / to;  // input cells per output cell, at least 1
  for (int out = 0; out < to; ++out) {
    const double begin = out * step, end = (out + 1) * step;
    Axis::Span& span = axis.spans[static_cast<std::size_t>(out)];
    span.first = static_cast<int>(begin);
    const int last = std::min(from - 1, static_cast<int>(std::ceil(end)) - 1);
    for (int in = span.first; in <= last; ++in) {
      const double covered = std::min<double>(end, in + 1) - std::max<double>(begin, in);
      span.weights.push_back(static_cast<float>(covered / step));
    }
  }
  return axis;
}

// Averages rows of `from_width` pixels, given one at a time, down to an
// image of `to` size: each input row is averaged across first, then added
// into the output rows it overlaps. An input row overlaps at most two
// output rows and the rows are met in order, so only the output and two
// rows of sums are held.
class Shrinker {
 public:
  Shrinker(int from_width, int from_height, int to_width, int to_height, int channels)
      : columns_(MakeAxis(from_width, to_width)), channels_(channels),
        same_size_(from_width == to_width && from_height == to_height) {
    out_.width = to_width;
    out_.height = to_height;
    out_.channels = channels;
    row_size_ = static_cast<std::size_t>(to_width) * static_cast<std::size_t>(channels);
    out_.pixels.reset(new unsigned char[row_size_ * static_cast<std::size_t>(to_height)]);
    across_.resize(row_size_);
    for (std::vector<float>& sums : sums_) sums.assign(row_size_, 0.0f);
    // Which output rows each input row feeds, with what weight.
    const Axis rows = MakeAxis(from_height, to_height);
    feeds_.resize(static_cast<std::size_t>(from_height));
    for (int out = 0; out < to_height; ++out) {
      const Axis::Span& span = rows.spans[static_cast<std::size_t>(out)];
      for (std::size_t i = 0; i < span.weights.size(); ++i) {
        feeds_[static_cast<std::size_t>(span.first) + i].push_back({out, span.weights[i]});
      }
    }
  }

  void AddRow(const unsigned char* row) {
    if (same_size_) {
      std::copy_n(row, row_size_, out_.pixels.get() + static_cast<std::size_t>(next_row_++) * row_size_);
      return;
    }
    const std::size_t channels = static_cast<std::size_t>(channels_);
    for (std::size_t x = 0; x < static_cast<std::size_t>(out_.width); ++x) {
      const Axis::Span& span = columns_.spans[x];
      for (std::size_t c = 0; c < channels; ++c) {
        float sum = 0;
        for (std::size_t i = 0; i < span.weights.size(); ++i) {
          sum += span.weights[i] * row[(static_cast<std::size_t>(span.first) + i) * channels + c];
        }
        across_[x * channels + c] = sum;
      }
    }
    const std::vector<Feed>& feeds = feeds_[static_cast<std::size_t>(next_row_++)];
    if (!feeds.empty()) FlushBefore(feeds.front().row);
    for (const Feed& feed : feeds) {
      std::vector<float>& sums = sums_[static_cast<std::size_t>(feed.row) % 2];
      for (std::size_t i = 0; i < row_size_; ++i) sums[i] += feed.weight * across_[i];
    }
  }

  Image Finish() {
    if (!same_size_) FlushBefore(out_.height);
    return std::move(out_);
  }

 private:
  struct Feed {
    int row;
    float weight;
  };

  // Output rows before `row` have had every input row they take.
  void FlushBefore(int row) {
    for (; flushed_ < row; ++flushed_) {
      std::vector<float>& sums = sums_[static_cast<std::size_t>(flushed_) % 2];
      unsigned char* out = out_.pixels.get() + static_cast<std::size_t>(flushed_) * row_size_;
      for (std::size_t i = 0; i < row_size_; ++i) {
        // Weights sum to one: a sum lies within 0..255 but for rounding.
        out[i] = static_cast<unsigned char>(std::clamp(sums[i] + 0.5f, 0.0f, 255.0f));
        sums[i] = 0;
      }
    }
  }

  Axis columns_;
  int channels_;
  bool same_size_;
  std::size_t row_size_ = 0;
  Image out_;
  std::vector<float> across_;
  std::vector<float> sums_[2];
  std::vector<std::vector<Feed>> feeds_;
  int next_row_ = 0;
  int flushed_ = 0;
};

// The size of a copy: the long side at most `long_side`, the other in
// proportion, never larger than the photo, never zero.
void Fit(int width, int height, int long_side, int& to_width, int& to_height) {
  const int longest = std::max(width, height);
  const int target = std::min(long_side, longest);
  to_width = std::max(1, static_cast<int>(std::lround(static_cast<double>(width) * target / longest)));
  to_height = std::max(1, static_cast<int>(std::lround(static_cast<double>(height) * target / longest)));
}

Image Shrink(const Image& from, int to_width, int to_height) {
  Shrinker shrinker(from.width, from.height, to_width, to_height, from.channels);
  for (int y = 0; y < from.height; ++y) shrinker.AddRow(from.Row(y));
  return shrinker.Finish();
}

// Row `y` of the picture turned as Exif orientation 2 to 8 says, into
// `row`; the rows of an unturned picture are its own.
const unsigned char* UprightRow(const Image& from, int orientation, int y, std::vector<unsigned char>& row) {
  if (orientation <= 1 || orientation > 8) return from.Row(y);
  const bool swaps = orientation >= 5;
  const int width = swaps ? from.height : from.width;
  const int w = from.width, h = from.height;
  const std::size_t channels = static_cast<std::size_t>(from.channels);
  row.resize(static_cast<std::size_t>(width) * channels);
  for (int x = 0; x < width; ++x) {
    int sx = x, sy = y;
    switch (orientation) {
      case 2: sx = w - 1 - x; break;                  // mirrored
      case 3: sx = w - 1 - x; sy = h - 1 - y; break;  // upside down
      case 4: sy = h - 1 - y; break;                  // mirrored upside down
      case 5: sx = y; sy = x; break;                  // mirrored, turned left
      case 6: sx = y; sy = h - 1 - x; break;          // turned left: turn right
      case 7: sx = w - 1 - y; sy = h - 1 - x; break;  // mirrored, turned right
      case 8: sx = w - 1 - y; sy = x; break;          // turned right: turn left
      default: break;
    }
    std::copy_n(from.Row(sy) + static_cast<std::size_t>(sx) * channels, channels,
                row.data() + static_cast<std::size_t>(x) * channels);
  }
  return row.data();
}

struct Decoder {
  jpeg_decompress_struct info{};
  ErrorExit exit;
  ScanLimit scans;
  bool created = false;
  std::unique_ptr<Shrinker> shrinker;
  std::vector<unsigned char> row;
  ~Decoder() {
    if (created) jpeg_destroy_decompress(&info);
  }
};

void OnProgress(j_common_ptr info) {
  const auto* decompress = reinterpret_cast<j_decompress_ptr>(info);
  if (decompress->input_scan_number > kMaxScans) {
    auto* exit = reinterpret_cast<ErrorExit*>(info->err);
    std::snprintf(exit->message, sizeof exit->message, "more than %d scans", kMaxScans);
    std::longjmp(exit->jump, 1);
  }
}

// Decodes at the smallest scale that covers `long_side`, averaged down to
// the size Fit gives; `why` says what stopped it.
CopiesOutcome DecodeTo(std::string_view jpeg, int long_side, Image& out, std::string& why) {
  // Read here first: the library refuses some sizes itself, which would
  // make a crafted size look like a fault.
  const std::optional<filter::FrameSize> frame = filter::ReadFrameSize(jpeg);
  // Baseline, extended and progressive Huffman coding only: no browser shows
  // an arithmetic-coded or hierarchical photo, and arithmetic decoding of a
  // frame within the pixel bound can take seconds.
  if (frame && frame->marker != 0xC0 && frame->marker != 0xC1 && frame->marker != 0xC2) {
    why = "a coding no browser shows";
    return CopiesOutcome::kUndecodable;
  }
  if (frame && (frame->width > kMaxSide || frame->height > kMaxSide ||
                static_cast<std::uint64_t>(frame->width) * static_cast<std::uint64_t>(frame->height) > kMaxPixels)) {
    why = std::to_string(frame->width) + " x " + std::to_string(frame->height) + " pixels, over the bound";
    return CopiesOutcome::kOverBound;
  }
  const auto decoder = std::make_unique<Decoder>();
  Decoder* const d = decoder.get();
  d->info.err = &InstallErrorExit(d->exit)->manager;
  if (setjmp(d->exit.jump)) {
    why = d->exit.message;
    return CopiesOutcome::kUndecodable;
  }
  jpeg_create_decompress(&d->info);
  d->created = true;
  d->info.mem->max_memory_to_use = static_cast<long>(kMaxDecoderBytes);
  d->scans.manager.progress_monitor = OnProgress;
  d->info.progress = &d->scans.manager;
  jpeg_mem_src(&d->info, reinterpret_cast<const unsigned char*>(jpeg.data()), static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&d->info, TRUE);
  if (d->info.arith_code || d->info.data_precision != 8) {
    why = "a coding no browser shows";
    return CopiesOutcome::kUndecodable;
  }
  const std::uint64_t width = d->info.image_width, height = d->info.image_height;
  if (width > kMaxSide || height > kMaxSide || width * height > kMaxPixels) {
    why = std::to_string(width) + " x " + std::to_string(height) + " pixels, over the bound";
    return CopiesOutcome::kOverBound;
  }
  switch (d->info.jpeg_color_space) {
    case JCS_GRAYSCALE: d->info.out_color_space = JCS_GRAYSCALE; break;
    case JCS_YCbCr:
    case JCS_RGB: d->info.out_color_space = JCS_RGB; break;
    default:
      why = "a colour model other than grey, RGB or YCbCr";
      return CopiesOutcome::kUndecodable;
  }
  int to_width = 0, to_height = 0;
  Fit(static_cast<int>(width), static_cast<int>(height), long_side, to_width, to_height);
  // The smallest of the library's eighths whose output still covers the
  // copy; or the one below it when that falls short by a tenth at most: the
  // copy is then that size, decoded with no averaging at all (a phone's
  // 4032 pixels give 1008 at a quarter), which halves the work.
  const std::uint64_t longest = std::max(width, height);
  const std::uint64_t target = static_cast<std::uint64_t>(std::max(to_width, to_height));
  unsigned eighths = 1;
  while (eighths < 8 && (longest * eighths + 7) / 8 < target) ++eighths;
  if (eighths > 1 && (longest * (eighths - 1) + 7) / 8 * 10 >= target * 9) --eighths;
  d->info.scale_num = eighths;
  d->info.scale_denom = 8;
  d->info.dct_method = JDCT_ISLOW;
  jpeg_start_decompress(&d->info);
  const int decoded_width = static_cast<int>(d->info.output_width);
  const int decoded_height = static_cast<int>(d->info.output_height);
  const int channels = d->info.output_components;
  if (std::max(decoded_width, decoded_height) <= std::max(to_width, to_height)) {
    to_width = decoded_width;
    to_height = decoded_height;
  }
  d->shrinker = std::make_unique<Shrinker>(decoded_width, decoded_height, to_width, to_height, channels);
  d->row.resize(static_cast<std::size_t>(decoded_width) * static_cast<std::size_t>(channels));
  while (d->info.output_scanline < d->info.output_height) {
    JSAMPROW rows[1] = {d->row.data()};
    if (jpeg_read_scanlines(&d->info, rows, 1) != 1) {
      why = "no more rows";
      return CopiesOutcome::kUndecodable;
    }
    d->shrinker->AddRow(d->row.data());
  }
  // Whatever follows the last row (a trailer, the end-of-image) is not read.
  jpeg_abort_decompress(&d->info);
  out = d->shrinker->Finish();
  return CopiesOutcome::kMade;
}

// The encoder's output, straight into a string that grows as it must; the
// library's own memory destination leaves its caller a freed pointer when
// an error ends it after the buffer grew.
struct StringDestination {
  jpeg_destination_mgr manager{};
  std::string* out = nullptr;
};

void StartOutput(j_compress_ptr info) {
  auto* destination = reinterpret_cast<StringDestination*>(info->dest);
  destination->out->resize(64 * 1024);
  destination->manager.next_output_byte = reinterpret_cast<JOCTET*>(destination->out->data());
  destination->manager.free_in_buffer = destination->out->size();
}

boolean GrowOutput(j_compress_ptr info) {
  auto* destination = reinterpret_cast<StringDestination*>(info->dest);
  std::string& out = *destination->out;
  const std::size_t used = out.size();  // the library calls this only when the buffer is full
  out.resize(used * 2);
  destination->manager.next_output_byte = reinterpret_cast<JOCTET*>(out.data() + used);
  destination->manager.free_in_buffer = out.size() - used;
  return TRUE;
}

void EndOutput(j_compress_ptr info) {
  auto* destination = reinterpret_cast<StringDestination*>(info->dest);
  destination->out->resize(destination->out->size() - destination->manager.free_in_buffer);
}

struct Encoder {
  jpeg_compress_struct info{};
  ErrorExit exit;
  StringDestination destination;
  bool created = false;
  std::vector<unsigned char> row;
  ~Encoder() {
    if (created) jpeg_destroy_compress(&info);
  }
};

// The picture turned upright as baseline JPEG with optimised Huffman
// tables and a JFIF header only: no Exif, no colour profile, no comment.
// Turned row by row as it is encoded, never held turned whole.
bool Encode(const Image& image, int orientation, std::string& out, std::string& why) {
  const auto encoder = std::make_unique<Encoder>();
  Encoder* const e = encoder.get();
  e->info.err = &InstallErrorExit(e->exit)->manager;
  if (setjmp(e->exit.jump)) {
    why = e->exit.message;
    return false;
  }
  jpeg_create_compress(&e->info);
  e->created = true;
  e->destination.out = &out;
  e->destination.manager.init_destination = StartOutput;
  e->destination.manager.empty_output_buffer = GrowOutput;
  e->destination.manager.term_destination = EndOutput;
  e->info.dest = &e->destination.manager;
  const bool swaps = orientation >= 5 && orientation <= 8;
  e->info.image_width = static_cast<JDIMENSION>(swaps ? image.height : image.width);
  e->info.image_height = static_cast<JDIMENSION>(swaps ? image.width : image.height);
  e->info.input_components = image.channels;
  e->info.in_color_space = image.channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&e->info);
  jpeg_set_quality(&e->info, kQuality, TRUE);
  e->info.optimize_coding = TRUE;
  e->info.dct_method = JDCT_ISLOW;
  jpeg_start_compress(&e->info, TRUE);
  while (e->info.next_scanline < e->info.image_height) {
    const unsigned char* row = UprightRow(image, orientation, static_cast<int>(e->info.next_scanline), e->row);
    // The library takes rows it does not change through a pointer to non-const.
    JSAMPROW rows[1] = {const_cast<unsigned char*>(row)};
    jpeg_write_scanlines(&e->info, rows, 1);
  }
  jpeg_finish_compress(&e->info);
  return true;
}

}  // namespace

Copies MakeSizedCopies(std::string_view jpeg, std::span<const int> long_sides) {
  Copies result;
  if (long_sides.empty()) return result;
  const int largest = *std::max_element(long_sides.begin(), long_sides.end());
  Image decoded;
  result.outcome = DecodeTo(jpeg, largest, decoded, result.why);
  if (result.outcome != CopiesOutcome::kMade) return result;
  const int orientation = filter::ExifOrientation(jpeg);
  // Largest first, each averaged from the one before it: fewer pixels to
  // average, and what a copy shows is what the larger showed.
  std::vector<std::size_t> order(long_sides.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return long_sides[a] > long_sides[b]; });
  result.copies.resize(long_sides.size());
  Image smaller;
  const Image* source = &decoded;
  for (const std::size_t i : order) {
    int width = 0, height = 0;
    Fit(source->width, source->height, long_sides[i], width, height);
    if (width != source->width || height != source->height) {
      smaller = Shrink(*source, width, height);
      source = &smaller;
    }
    const bool swaps = orientation >= 5 && orientation <= 8;
    Copy& copy = result.copies[i];
    copy = {long_sides[i], swaps ? height : width, swaps ? width : height, {}};
    if (!Encode(*source, orientation, copy.jpeg, result.why)) {
      result.outcome = CopiesOutcome::kUndecodable;
      result.copies.clear();
      return result;
    }
  }
  return result;
}

}  // namespace imaging
