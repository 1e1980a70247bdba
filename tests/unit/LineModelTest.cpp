// The line model on its own: chunked translation and the backward search
// must agree with a whole-buffer reading whatever the chunk boundaries.
#include "engine/trim/LineModel.h"

#include "ReferenceModel.h"

#include <gtest/gtest.h>

#include <random>
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

std::uint64_t KeptLength(const std::string &file, std::size_t block, std::uint64_t lines = 1) {
  LastLineSearch search(lines);
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

// Texts long enough to be scanned many bytes at a time, with line ends at
// every place within and across those blocks, and the texts whose copy
// grows most (every byte a line feed) or not at all.
std::vector<std::string> LongTexts() {
  std::vector<std::string> texts = {std::string(300, '\n'), std::string(300, '\r')};
  std::mt19937 random(2024);
  for (const std::string alphabet : {"a\n", "ab\r\n", "\r\n", "aaaaaaaaaaaaaa\r\n"}) {
    std::string text(300, ' ');
    for (char &c : text)
      c = alphabet[random() % alphabet.size()];
    texts.push_back(text);
  }
  return texts;
}

TEST(LineModelTest, LongTextAgreesWithTheReferenceAtEveryChunkSize) {
  for (const std::string &text : LongTexts())
    for (std::size_t chunk = 1; chunk <= text.size() + 1; ++chunk)
      ASSERT_EQ(reference::LineEndsAsCrLf(text), Translate(text, chunk))
          << "text \"" << text << "\", chunk " << chunk;
}

TEST(LineModelTest, FirstBareLineFeedIsFoundFromEveryStart) {
  for (const std::string &text : LongTexts())
    for (std::size_t start = 0; start < text.size(); ++start) {
      const bool afterCarriageReturn = start > 0 && text[start - 1] == '\r';
      std::size_t expected = start;
      while (expected < text.size() &&
             !(text[expected] == '\n' && (expected == 0 || text[expected - 1] != '\r')))
        ++expected;
      const char *found =
          FindBareLineFeed(text.data() + start, text.size() - start, afterCarriageReturn);
      ASSERT_EQ(expected, found ? static_cast<std::size_t>(found - text.data()) : text.size())
          << "text \"" << text << "\", from " << start;
    }
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

TEST(LineModelTest, LastLinesAgreeWithTheReferenceAtEveryChunkSize) {
  // The kept prefix is the copy with its line ends kept, and its translation
  // the copy with CR LF, whichever number of lines goes.
  std::vector<std::string> texts = LongTexts();
  for (const char *text : {"a\nb\nc\n", "a\nb\nc", "\n\n\n", "a\r\nb\rc\n\nd", "x"})
    texts.push_back(text);
  for (const std::string &text : texts)
    for (const std::uint64_t lines : {1u, 2u, 3u, 7u, 1000u})
      for (std::size_t chunk = 1; chunk <= text.size() + 1; ++chunk) {
        const auto keep = static_cast<std::size_t>(KeptLength(text, chunk, lines));
        ASSERT_EQ(reference::KeptLength(text, lines), keep)
            << "text \"" << text << "\", " << lines << " lines, chunk " << chunk;
        ASSERT_EQ(reference::Shortened(text, lines, true), text.substr(0, keep));
        ASSERT_EQ(reference::Shortened(text, lines), Translate(text.substr(0, keep), chunk))
            << "text \"" << text << "\", " << lines << " lines, chunk " << chunk;
      }
}

} // namespace
} // namespace tailsnip
