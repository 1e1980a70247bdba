// translate-instructions lf|crlf MIB: translates MIB MiB of text to CR LF
// line ends in 1 MiB chunks, as a file is trimmed, and prints the number of
// input bytes. Run under callgrind with collection toggled on
// WriteLineEndsAsCrLf, it gives the loop's instructions per input byte, a
// figure free of the machine's noise.
#include "TextSample.h"

#include "engine/LineModel.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char **argv) {
  const std::string style = argc == 3 ? argv[1] : "";
  if (style != "lf" && style != "crlf") {
    std::fprintf(stderr, "usage: translate-instructions lf|crlf MIB\n");
    return 2;
  }
  const std::string text =
      bench::MakeText(7, std::strtoul(argv[2], nullptr, 10),
                      style == "lf" ? bench::LineEnds::Lf : bench::LineEnds::CrLf);
  constexpr std::size_t kChunk = std::size_t{1} << 20;
  std::vector<char> output(2 * kChunk);
  bool afterCarriageReturn = false;
  std::size_t written = 0;
  for (std::size_t done = 0; done < text.size(); done += kChunk) {
    const std::size_t size = std::min(kChunk, text.size() - done);
    written += tailsnip::WriteLineEndsAsCrLf(text.data() + done, size, output.data(),
                                             afterCarriageReturn);
  }
  std::printf("%zu input bytes, %zu output bytes\n", text.size(), written);
  return 0;
}
