// The line model on its own: chunked translation and the backward search
// must agree with a whole-buffer reading whatever the chunk boundaries.
#include "engine/LineModel.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tailsnip {
namespace {

std::string Translate(const std::string &in, std::size_t chunk) {
  std::string out;
  std::vector<char> buffer(2 * chunk);
  bool afterCarriageReturn = false;
  for (std::size_t at = 0; at < in.size(); at += chunk) {
    const std::size_t size = std::min(chunk, in.size() - at);
    const std::size_t written =
        WriteLineEndsAsCrLf(in.data() + at, size, buffer.data(), afterCarriageReturn);
    out.append(buffer.data(), written);
  }
  return out;
}

std::uint64_t KeptLength(const std::string &file, std::size_t block) {
  LastLineSearch search;
  for (std::size_t end = file.size(); end > 0 && !search.found();) {
    const std::size_t start = end > block ? end - block : 0;
    search.feed(file.data() + start, end - start, start);
    end = start;
  }
  return search.keep();
}

TEST(LineModelTest, LineEndsBecomeCrLfAndOtherBytesStay) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"a\nb\n", "a\r\nb\r\n"},
      {"a\r\nb\r\n", "a\r\nb\r\n"},
      {"a\rb\n", "a\rb\r\n"}, // a lone CR is content
      {"a\r\r\n", "a\r\r\n"}, // CR then CR LF: content, then a line end
      {"\n\n", "\r\n\r\n"},
      {std::string("a\0\x1a"
                   "b\n",
                   5),
       std::string("a\0\x1a"
                   "b\r\n",
                   6)},
      {"no line end", "no line end"},
      {"\r", "\r"},
  };
  for (const Case &c : cases)
    for (std::size_t chunk = 1; chunk <= c.in.size() + 1; ++chunk)
      EXPECT_EQ(c.out, Translate(c.in, chunk)) << "chunk " << chunk;
}

TEST(LineModelTest, CarriageReturnAtChunkBoundaryStillJoinsTheLineFeed) {
  // The CR ends one chunk and the LF starts the next.
  EXPECT_EQ("ab\r\ncd\r\n", Translate("ab\r\ncd\n", 3));
  EXPECT_EQ("ab\r\r\n", Translate("ab\r\r\n", 3));
  EXPECT_EQ("a\r\n", Translate("a\r\n", 2));
  EXPECT_EQ("a\r\nb\r\n", Translate("a\nb\n", 2)); // the LF starts a chunk
}

TEST(LineModelTest, KeptLengthDropsExactlyTheLastLine) {
  struct Case {
    std::string file;
    std::uint64_t keep;
  } cases[] = {
      {"a\nb\nc\n", 4},
      {"a\nb\nc", 4},
      {"a\nb\n\n", 4},
      {"one\n", 0},
      {"x", 0},
      {"\n\n", 1},
      {"\n", 0},
      {"a\r\nb\r\n", 3},
      {"a\rb\rc\n", 0}, // carriage returns alone end no line
      {"a\nlong last line without end", 2},
  };
  for (const Case &c : cases)
    for (std::size_t block = 1; block <= c.file.size() + 1; ++block)
      EXPECT_EQ(c.keep, KeptLength(c.file, block))
          << "file \"" << c.file << "\" read in blocks of " << block;
}

} // namespace
} // namespace tailsnip
