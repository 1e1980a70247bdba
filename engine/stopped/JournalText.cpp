// The journal's chunked writer and reader, and the parsing of its lines of
// numbers: the text alone, apart from what the journal says with it.
#include "engine/stopped/JournalText.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <utility>

namespace tailsnip::journal {

using fs::FsError;

namespace {

constexpr std::size_t kWriteChunk = std::size_t{1} << 20;

} // namespace

Writer::Writer(fs::File &file) : file_(file) { text_.reserve(kWriteChunk + 4096); }

FsError Writer::flushIfFull() { return text_.size() >= kWriteChunk ? flush() : FsError::None; }

FsError Writer::flush() {
  const FsError error = fs::WriteAll(file_, text_.data(), text_.size());
  text_.clear();
  return error;
}

Reader::Reader(fs::File file, std::uint64_t size)
    : file_(std::move(file)),
      chunk_(static_cast<std::size_t>(std::min<std::uint64_t>(size + 1, kWriteChunk))) {}

bool Reader::line(std::string &text) {
  text.clear();
  for (;;) {
    if (at_ == size_ && !fill())
      return false;
    const char *start = chunk_.data() + at_;
    const void *end = std::memchr(start, '\n', size_ - at_);
    if (end) {
      const std::size_t length = static_cast<std::size_t>(static_cast<const char *>(end) - start);
      text.append(start, length);
      at_ += length + 1;
      return true;
    }
    text.append(start, size_ - at_);
    at_ = size_;
  }
}

bool Reader::bytes(std::size_t length, std::string &text) {
  text.clear();
  while (text.size() < length) {
    if (at_ == size_ && !fill())
      return false;
    const std::size_t take = std::min(length - text.size(), size_ - at_);
    text.append(chunk_.data() + at_, take);
    at_ += take;
  }
  std::string end;
  return line(end) && end.empty();
}

bool Reader::fill() {
  at_ = size_ = 0;
  return fs::ReadSome(file_, chunk_.data(), chunk_.size(), size_) == FsError::None && size_ > 0;
}

bool Numbers(const std::string &line, const char *word, std::uint64_t *values, std::size_t count) {
  const std::size_t wordLength = std::strlen(word);
  if (line.compare(0, wordLength, word) != 0)
    return false;
  const char *at = line.data() + wordLength;
  const char *end = line.data() + line.size();
  for (std::size_t i = 0; i < count; ++i) {
    if (at == end || *at != ' ')
      return false;
    const auto parsed = std::from_chars(at + 1, end, values[i]);
    if (parsed.ec != std::errc())
      return false;
    at = parsed.ptr;
  }
  return at == end;
}

} // namespace tailsnip::journal
