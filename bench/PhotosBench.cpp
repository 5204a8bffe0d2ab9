// What a post through the second page set costs beside storing the photo:
// the location filter and the sized copies of a phone's 12-megapixel photo,
// alone and together. The photo is ORVALENGATE_BENCH_PHOTO when set (a
// real one reads truer), else one made here of gradients and noise, which
// compresses about as a phone's does.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "filter/Jpeg.h"
#include "imaging/SizedCopies.h"

#include <jpeglib.h>

namespace {

constexpr int kSides[] = {1080, 880, 480};

std::string MadePhoto() {
  const int width = 4032, height = 3024;
  jpeg_compress_struct info{};
  jpeg_error_mgr errors{};
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = width;
  info.image_height = height;
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, 92, TRUE);
  jpeg_start_compress(&info, TRUE);
  std::mt19937 noise(7);
  std::vector<unsigned char> row(static_cast<std::size_t>(width) * 3);
  while (info.next_scanline < info.image_height) {
    const int y = static_cast<int>(info.next_scanline);
    for (int x = 0; x < width; ++x) {
      const int grain = static_cast<int>(noise() % 24);
      row[static_cast<std::size_t>(x) * 3] = static_cast<unsigned char>((x * 200 / width + grain) & 0xff);
      row[static_cast<std::size_t>(x) * 3 + 1] = static_cast<unsigned char>((y * 200 / height + grain) & 0xff);
      row[static_cast<std::size_t>(x) * 3 + 2] = static_cast<unsigned char>(((x ^ y) % 160 + grain) & 0xff);
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

const std::string& Photo() {
  static const std::string photo = [] {
    if (const char* path = std::getenv("ORVALENGATE_BENCH_PHOTO")) {
      std::ifstream in(path, std::ios::binary);
      return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return MadePhoto();
  }();
  return photo;
}

void BM_StripLocation12MP(benchmark::State& state) {
  filter::StrippedJpeg out;
  for (auto _ : state) benchmark::DoNotOptimize(filter::StripLocation(Photo(), out));
  state.counters["photo_bytes"] = static_cast<double>(Photo().size());
}

void BM_SizedCopies12MP(benchmark::State& state) {
  std::size_t bytes = 0;
  for (auto _ : state) {
    const imaging::Copies copies = imaging::MakeSizedCopies(Photo(), kSides);
    if (copies.outcome != imaging::CopiesOutcome::kMade) state.SkipWithError(copies.why.c_str());
    bytes = 0;
    for (const imaging::Copy& copy : copies.copies) bytes += copy.jpeg.size();
  }
  state.counters["copies_bytes"] = static_cast<double>(bytes);
}

void BM_StripAndCopies12MP(benchmark::State& state) {
  filter::StrippedJpeg out;
  for (auto _ : state) {
    benchmark::DoNotOptimize(filter::StripLocation(Photo(), out));
    benchmark::DoNotOptimize(imaging::MakeSizedCopies(Photo(), kSides));
  }
}

}  // namespace

BENCHMARK(BM_StripLocation12MP)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SizedCopies12MP)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StripAndCopies12MP)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
