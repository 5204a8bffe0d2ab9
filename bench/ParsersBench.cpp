// Parser throughput at growing input sizes. Each parser should scale like
// the baseline (one copy of the input): a quadratic parser shows up as a
// time per byte that grows with the size.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

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

}  // namespace

BENCHMARK(BM_CopyBaseline)->RangeMultiplier(4)->Range(1 << 20, 16 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MultipartWithFile)->RangeMultiplier(4)->Range(1 << 20, 16 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MultipartManyFields)->RangeMultiplier(4)->Range(1000, 64000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UrlEncodedFields)->RangeMultiplier(4)->Range(1000, 64000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FieldValueLastOfMany)->RangeMultiplier(4)->Range(1000, 64000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HtmlEscape)->RangeMultiplier(4)->Range(1 << 16, 1 << 22)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
