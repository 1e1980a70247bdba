// The file format: lines ended by a line feed, written back as CR LF pairs
// unless the line ends are to be kept as they are.
//
// A line is a run of bytes ended by a line feed (0x0A), or the bytes after the
// last line feed. A carriage return directly before a line feed belongs to the
// line end; any other carriage return, zero byte or 0x1A is content.
#ifndef TAILSNIP_ENGINE_LINEMODEL_H
#define TAILSNIP_ENGINE_LINEMODEL_H

#include "engine/Outcome.h"
#include "engine/trim/Backup.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace tailsnip {

// What a shortening removes from each file, and how it writes the rest.
struct TrimSettings {
  std::uint64_t lines = 1;   // how many lines go, from the end; at least 1
  bool keepLineEnds = false; // the rest byte for byte, rather than with CR LF line ends
  BackupSettings backup;     // how the original is kept, if at all
  bool operator==(const TrimSettings &other) const {
    return lines == other.lines && keepLineEnds == other.keepLineEnds && backup == other.backup;
  }
  bool operator!=(const TrimSettings &other) const { return !(*this == other); }
};

// The settings a command gave, each only where its option was given: a
// stopped run is resumed only where they agree with its own.
struct AskedSettings {
  std::optional<std::uint64_t> lines;
  std::optional<bool> keepLineEnds;
  std::optional<BackupSettings> backup;
  // `trim` with each setting given in place of its own.
  TrimSettings over(TrimSettings trim) const {
    trim.lines = lines.value_or(trim.lines);
    trim.keepLineEnds = keepLineEnds.value_or(trim.keepLineEnds);
    trim.backup = backup.value_or(trim.backup);
    return trim;
  }
};

// Finds where a file's last `lines` lines begin by reading it backwards:
// feed the block that ends the file first, then each block before the
// previous one, until found() is true or the file's start is reached. keep()
// is then the number of leading bytes that hold every line but those (0 when
// the file has no more lines than that).
class LastLineSearch {
public:
  explicit LastLineSearch(std::uint64_t lines = 1) : lines_(lines), remaining_(lines) {}
  // `block` holds `size` bytes of the file starting at offset `start`.
  void feed(const char *block, std::size_t size, std::uint64_t start);
  bool found() const { return found_; }
  std::uint64_t keep() const { return keep_; }
  // How many lines the bytes from keep() on hold, once found() or the start
  // of a file with any bytes has been fed: `lines`, or all of a shorter file's.
  std::uint64_t lostLines() const { return found_ ? lines_ : lines_ - remaining_ + 1; }

private:
  std::uint64_t lines_;
  std::uint64_t remaining_; // line starts still to be found
  bool atEnd_ = true;
  bool found_ = false;
  std::uint64_t keep_ = 0;
};

// Splits the bytes a shortening removes, fed from the first on, into lines
// and keeps what LostLines shows of them: of each of the first
// LostLines::kLinesShown, its first LostLines::kBytesShown bytes. What is
// kept stays that small however long the lines are, and feeding stops as
// soon as all of it is known.
class LostLineSampler {
public:
  // `lost` is to hold the `count` lines that the bytes fed hold.
  LostLineSampler(std::uint64_t count, LostLines &lost);
  // `block` holds the `size` bytes that follow those fed before. Returns
  // whether more are wanted.
  bool feed(const char *block, std::size_t size);
  // The bytes fed were all: a last line without a line end ends there.
  void finish();

private:
  void endLine(bool byLineFeed);

  LostLines &lost_;
  std::size_t wanted_;    // lines to show
  std::string line_;      // the current line's first bytes, one past those it shows
  bool overflow_ = false; // the current line has more bytes than line_ holds
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
