// Bytes per second of the line-end translation and of the scan for a bare
// line feed, beside a plain copy of the same bytes: the copy is the floor
// the translation can approach. Each iteration takes the next 64 KiB of
// 8 MiB of text, so that, as in a real file, no piece is seen twice while
// the processor could still remember where its line ends were.
#include "TextSample.h"

#include "engine/trim/LineModel.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kPiece = std::size_t{64} << 10;
constexpr std::size_t kTextMebibytes = 8;

// Runs `work` on each piece of the text in turn, as long as the state asks.
template <typename Work> void OverPieces(benchmark::State &state, bench::LineEnds ends, Work work) {
  const std::string text = bench::MakeText(7, kTextMebibytes, ends);
  const std::size_t pieces = text.size() / kPiece;
  std::size_t next = 0;
  for (auto _ : state) {
    work(text.data() + next * kPiece);
    next = (next + 1) % pieces;
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kPiece));
}

void Translate(benchmark::State &state, bench::LineEnds ends) {
  std::vector<char> output(2 * kPiece);
  OverPieces(state, ends, [&](const char *piece) {
    bool afterCarriageReturn = false;
    benchmark::DoNotOptimize(
        tailsnip::WriteLineEndsAsCrLf(piece, kPiece, output.data(), afterCarriageReturn));
    benchmark::ClobberMemory();
  });
}

void TranslateLf(benchmark::State &state) { Translate(state, bench::LineEnds::Lf); }
void TranslateCrLf(benchmark::State &state) { Translate(state, bench::LineEnds::CrLf); }

// Text that already ends its lines with CR LF is only scanned, to learn that
// it can be copied as it is.
void ScanCrLf(benchmark::State &state) {
  OverPieces(state, bench::LineEnds::CrLf, [](const char *piece) {
    benchmark::DoNotOptimize(tailsnip::FindBareLineFeed(piece, kPiece, false));
  });
}

void CopyPiece(benchmark::State &state) {
  std::vector<char> output(kPiece);
  OverPieces(state, bench::LineEnds::Lf, [&](const char *piece) {
    std::memcpy(output.data(), piece, kPiece);
    benchmark::ClobberMemory();
  });
}

} // namespace

BENCHMARK(TranslateLf)->MinTime(0.5);
BENCHMARK(TranslateCrLf)->MinTime(0.5);
BENCHMARK(ScanCrLf)->MinTime(0.5);
BENCHMARK(CopyPiece)->MinTime(0.5);
BENCHMARK_MAIN();
