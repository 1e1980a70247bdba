// Text that looks like what people keep in files: prose, log lines and code
// of varying length, some lines empty. The same seed gives the same text on
// every machine, so figures from different runs describe the same input.
#ifndef TAILSNIP_BENCH_TEXTSAMPLE_H
#define TAILSNIP_BENCH_TEXTSAMPLE_H

#include <cstdint>
#include <random>
#include <string>

namespace bench {

enum class LineEnds { Lf, CrLf, Mixed };

class TextSample {
public:
  explicit TextSample(std::uint32_t seed) : random_(seed) {}

  // Appends one line and, unless `ended` is false, its line end.
  void appendLine(std::string &out, LineEnds ends, bool ended = true);

  // A number below `bound`.
  std::uint32_t below(std::uint32_t bound) {
    return static_cast<std::uint32_t>(random_() % bound);
  }

private:
  void appendWords(std::string &out, std::uint32_t count);

  std::mt19937 random_; // fully specified by the standard, unlike the distributions
};

// `mebibytes` MiB (a little more: the last line is whole) of text.
std::string MakeText(std::uint32_t seed, std::size_t mebibytes, LineEnds ends);

} // namespace bench

#endif
