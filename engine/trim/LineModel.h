// The file format: lines ended by a line feed, written back as CR LF pairs.
//
// A line is a run of bytes ended by a line feed (0x0A), or the bytes after the
// last line feed. A carriage return directly before a line feed belongs to the
// line end; any other carriage return, zero byte or 0x1A is content.
#ifndef TAILSNIP_ENGINE_LINEMODEL_H
#define TAILSNIP_ENGINE_LINEMODEL_H

#include <cstddef>
#include <cstdint>

namespace tailsnip {

// Finds where a file's last line begins by reading it backwards: feed the
// block that ends the file first, then each block before the previous one,
// until found() is true or the file's start is reached. keep() is then the
// number of leading bytes that hold every line but the last (0 when the file
// has at most one line).
class LastLineSearch {
public:
  // `block` holds `size` bytes of the file starting at offset `start`.
  void feed(const char *block, std::size_t size, std::uint64_t start);
  bool found() const { return found_; }
  std::uint64_t keep() const { return keep_; }

private:
  bool atEnd_ = true;
  bool found_ = false;
  std::uint64_t keep_ = 0;
};

// Returns the first line feed in `in` without a carriage return before it,
// or nullptr when `in` needs no rewriting. `afterCarriageReturn` says whether
// the byte before `in` was a carriage return.
const char *FindBareLineFeed(const char *in, std::size_t size, bool afterCarriageReturn);

// Rewrites `in` with every line end as CR LF, into `out`, which must hold
// 2 * size bytes; those past the returned count may be overwritten too.
// `afterCarriageReturn` says whether the byte before `in` was a carriage
// return and is updated for the next chunk, so a file may be translated in
// chunks of any size. Returns the number of bytes written.
std::size_t WriteLineEndsAsCrLf(const char *in, std::size_t size, char *out,
                                bool &afterCarriageReturn);

} // namespace tailsnip

#endif
