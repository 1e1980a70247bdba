// translate-instructions lf|crlf MIB: makes MIB MiB of text and rewrites its
// line ends as CR LF in 1 MiB chunks, as a file is trimmed: each chunk is
// first scanned for a bare line feed and translated only from there. Prints
// the number of input bytes. Run under callgrind with collection toggled on
// FindBareLineFeed and WriteLineEndsAsCrLf, it gives the loop's instructions
// per input byte, a figure free of the machine's noise.
#include "TextSample.h"

#include "engine/trim/LineModel.h"

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
    const char *chunk = text.data() + done;
    const std::size_t size = std::min(kChunk, text.size() - done);
    const char *bare = tailsnip::FindBareLineFeed(chunk, size, afterCarriageReturn);
    if (!bare) {
      written += size;
      afterCarriageReturn = chunk[size - 1] == '\r';
      continue;
    }
    afterCarriageReturn = false;
    const std::size_t clean = static_cast<std::size_t>(bare - chunk);
    written += clean + tailsnip::WriteLineEndsAsCrLf(bare, size - clean, output.data(),
                                                     afterCarriageReturn);
  }
  std::printf("%zu input bytes, %zu output bytes\n", text.size(), written);
  return 0;
}
