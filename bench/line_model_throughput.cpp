// Bytes per second of the line-end translation and of the scan for a bare
// line feed on 1 MiB chunks of text, beside a plain copy of the same chunk:
// the copy is the floor the translation can approach.
#include "TextSample.h"

#include "engine/LineModel.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kChunk = std::size_t{1} << 20;

void Translate(benchmark::State &state, bench::LineEnds ends) {
  const std::string text = bench::MakeText(7, 1, ends).substr(0, kChunk);
  std::vector<char> output(2 * kChunk);
  for (auto _ : state) {
    bool afterCarriageReturn = false;
    benchmark::DoNotOptimize(tailsnip::WriteLineEndsAsCrLf(text.data(), text.size(), output.data(),
                                                           afterCarriageReturn));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kChunk));
}

void TranslateLf(benchmark::State &state) { Translate(state, bench::LineEnds::Lf); }
void TranslateCrLf(benchmark::State &state) { Translate(state, bench::LineEnds::CrLf); }

// Text that already ends its lines with CR LF is only scanned, to learn that
// it can be copied as it is.
void ScanCrLf(benchmark::State &state) {
  const std::string text = bench::MakeText(7, 1, bench::LineEnds::CrLf).substr(0, kChunk);
  for (auto _ : state)
    benchmark::DoNotOptimize(tailsnip::FindBareLineFeed(text.data(), text.size(), false));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kChunk));
}

void CopyChunk(benchmark::State &state) {
  const std::string text = bench::MakeText(7, 1, bench::LineEnds::Lf).substr(0, kChunk);
  std::vector<char> output(2 * kChunk);
  for (auto _ : state) {
    std::memcpy(output.data(), text.data(), text.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kChunk));
}

} // namespace

BENCHMARK(TranslateLf)->MinTime(0.5);
BENCHMARK(TranslateCrLf)->MinTime(0.5);
BENCHMARK(ScanCrLf)->MinTime(0.5);
BENCHMARK(CopyChunk)->MinTime(0.5);
BENCHMARK_MAIN();
