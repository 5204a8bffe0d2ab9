// Parser throughput at growing input sizes. Each parser should scale like
// the baseline (one copy of the input): a quadratic parser shows up as a
// time per byte that grows with the size.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "filter/Jpeg.h"
#include "text/Fields.h"
#include "text/Multipart.h"

namespace {

std::string JpegLike(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + 7) & 0xFF);
  return data;
}

std::string MultipartWithFile(std::size_t file_size, int text_fields) {
  const std::string b = "----BenchBoundary7f3a";
  std::string body;
  for (int i = 0; i < text_fields; ++i) {
    body += "--" + b + "\r\nContent-Disposition: form-data; name=\"field" + std::to_string(i) +
            "\"\r\n\r\nvalue number " + std::to_string(i) + " <with> \"quotes\" & blanks\r\n";
  }
  body += "--" + b + "\r\nContent-Disposition: form-data; name=\"leaf\"; filename=\"C:\\pics\\cat.jpg\"\r\n"
          "Content-Type: image/jpeg\r\n\r\n" + JpegLike(file_size) + "\r\n--" + b + "--\r\n";
  return body;
}

std::string UrlEncoded(int fields) {
  std::string body;
  for (int i = 0; i < fields; ++i) {
    if (i) body += '&';
    body += "field" + std::to_string(i) + "=some+value%20with%26escapes%82%A0";
  }
  return body;
}

void BM_CopyBaseline(benchmark::State& state) {
  const std::string body = MultipartWithFile(static_cast<std::size_t>(state.range(0)), 10);
  for (auto _ : state) {
    std::string copy(body);
    benchmark::DoNotOptimize(copy.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
}

void BM_MultipartWithFile(benchmark::State& state) {
  const std::string body = MultipartWithFile(static_cast<std::size_t>(state.range(0)), 10);
  for (auto _ : state) {
    text::PostedForm form;
    text::ParseMultipartBody(form, body);
    benchmark::DoNotOptimize(form.PostedFileData.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
}

void BM_MultipartManyFields(benchmark::State& state) {
  const std::string body = MultipartWithFile(1024, static_cast<int>(state.range(0)));
  for (auto _ : state) {
    text::PostedForm form;
    text::ParseMultipartBody(form, body);
    benchmark::DoNotOptimize(form.PostedFields.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
}

void BM_UrlEncodedFields(benchmark::State& state) {
  const std::string body = UrlEncoded(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    text::PostedForm form;
    text::ParseUrlEncodedBody(form, body);
    benchmark::DoNotOptimize(form.PostedFields.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
}

void BM_FieldValueLastOfMany(benchmark::State& state) {
  text::PostedForm form;
  text::ParseUrlEncodedBody(form, UrlEncoded(static_cast<int>(state.range(0))));
  const std::string last = "field" + std::to_string(state.range(0) - 1);
  for (auto _ : state) benchmark::DoNotOptimize(text::FieldValue(form.PostedFields, last));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * form.PostedFields.size()));
}

void BM_HtmlEscape(benchmark::State& state) {
  std::string input;
  while (input.size() < static_cast<std::size_t>(state.range(0))) input += "a <b> & \"c\"\r\n\x83\x41 ";
  for (auto _ : state) benchmark::DoNotOptimize(text::HtmlEscape(input));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}

// A JPEG of about `size` bytes as a phone writes one: Exif with a GPS
// directory before the frame, then stuffed scan data.
std::string PhoneJpeg(std::size_t size) {
  using namespace std::string_literals;
  std::string jpeg = "\xff\xd8\xff\xe1\x00\x40" "Exif\0\0MM\0*\0\0\0\x08\0\x02"s;
  jpeg += "\x01\x12\0\x03\0\0\0\x01\0\x06\0\0\x88\x25\0\x04\0\0\0\x01\0\0\0\x26\0\0\0\0"s;
  jpeg += "\0\x01\0\x01\0\x02\0\0\0\x02N\0\0\0\0\0\0\0"s;
  jpeg += "\xff\xc0\x00\x0b\x08\x00\x01\x00\x01\x01\x01\x11\x00\xff\xda\x00\x08\x01\x01\x00\x00\x3f\x00"s;
  for (const char c : JpegLike(size)) {
    jpeg.push_back(c);
    if (c == '\xff') jpeg.push_back('\0');
  }
  return jpeg.append("\xff\xd9");
}

void BM_StripLocation(benchmark::State& state) {
  const std::string jpeg = PhoneJpeg(static_cast<std::size_t>(state.range(0)));
  filter::StrippedJpeg out;
  for (auto _ : state) {
    benchmark::DoNotOptimize(filter::StripLocation(jpeg, out));
    benchmark::DoNotOptimize(out.head.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(jpeg.size()));
}

}  // namespace

BENCHMARK(BM_StripLocation)->RangeMultiplier(4)->Range(1 << 20, 16 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyBaseline)->RangeMultiplier(4)->Range(1 << 20, 16 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MultipartWithFile)->RangeMultiplier(4)->Range(1 << 20, 16 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MultipartManyFields)->RangeMultiplier(4)->Range(1000, 64000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UrlEncodedFields)->RangeMultiplier(4)->Range(1000, 64000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FieldValueLastOfMany)->RangeMultiplier(4)->Range(1000, 64000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HtmlEscape)->RangeMultiplier(4)->Range(1 << 16, 1 << 22)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
