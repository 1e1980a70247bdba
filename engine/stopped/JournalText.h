// The journal's text, written and read a chunk at a time so that memory
// stays small whatever the journal's length; internal to the journal.
#ifndef TAILSNIP_ENGINE_STOPPED_JOURNALTEXT_H
#define TAILSNIP_ENGINE_STOPPED_JOURNALTEXT_H

#include "engine/fs/FileSystem.h"

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tailsnip::journal {

// Text written into a buffer that goes to the file a chunk at a time.
class Writer {
public:
  explicit Writer(fs::File &file);

  Writer &number(std::uint64_t value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    text_.append(digits, end);
    return *this;
  }
  Writer &text(const char *words) {
    text_ += words;
    return *this;
  }
  Writer &character(char c) {
    text_ += c;
    return *this;
  }
  // A name may hold any byte, line feeds too: its length goes first.
  Writer &name(const char *bytes, std::size_t length) {
    number(length).character('\n');
    text_.append(bytes, length);
    return character('\n');
  }
  fs::FsError flushIfFull();
  fs::FsError flush();

private:
  fs::File &file_;
  std::string text_;
};

// Reads a journal a chunk at a time, in memory no larger than the journal.
class Reader {
public:
  Reader(fs::File file, std::uint64_t size);

  // The bytes up to the next line feed, which is consumed.
  bool line(std::string &text);
  // `length` bytes and the line feed after them.
  bool bytes(std::size_t length, std::string &text);

private:
  bool fill();
  fs::File file_;
  std::vector<char> chunk_;
  std::size_t at_ = 0, size_ = 0;
};

// Splits "word n1 n2 ..." into its numbers; false unless exactly `count`.
bool Numbers(const std::string &line, const char *word, std::uint64_t *values, std::size_t count);

} // namespace tailsnip::journal

#endif
