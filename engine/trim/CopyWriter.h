// Writing an entry's shortened copy: finding where its last lines start,
// and writing what comes before them, with every line end as CR LF or as
// it is.
//
// The entry is read through a buffer reused from file to file, so that a
// run allocates it once whatever the files' sizes. A failure leaves the copy
// partly written; the caller removes it. The entry itself is only read.
#ifndef TAILSNIP_ENGINE_TRIM_COPYWRITER_H
#define TAILSNIP_ENGINE_TRIM_COPYWRITER_H

#include "engine/Outcome.h"
#include "engine/fs/FileSystem.h"
#include "engine/trim/LineModel.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace tailsnip {

class WriteBehind;

// Memory for reading and writing one file at a time, reused from file to
// file so that a run allocates it once whatever the files' sizes. It comes
// in two halves: while a large file's copy is written from one, the next
// chunk is read into the other.
class TrimBuffer {
public:
  static constexpr std::size_t kDefaultChunk = std::size_t{1} << 20;
  explicit TrimBuffer(std::size_t chunk = kDefaultChunk);
  ~TrimBuffer();
  TrimBuffer(const TrimBuffer &) = delete;
  TrimBuffer &operator=(const TrimBuffer &) = delete;

  std::size_t chunk() const { return chunk_; }
  char *input(int half = 0) { return start_ + static_cast<std::size_t>(half) * 3 * chunk_; }
  char *output(int half = 0) { return input(half) + chunk_; } // holds 2 * chunk bytes
  // The thread that writes a large file's copy behind its reading.
  WriteBehind &writeBehind() { return *writeBehind_; }

private:
  std::size_t chunk_;
  std::unique_ptr<char[]> memory_;
  char *start_; // in `memory_`, on a page's start
  std::unique_ptr<WriteBehind> writeBehind_;
};

// Why reading an entry failed: one that ended before the size it was
// described with was changed meanwhile.
Reason ReasonForRead(const fs::FsError &error);

// Finds how many leading bytes of `input`, described by `entry`, hold every
// line but the last `lines`, reading the file from its end, and how many
// lines follow them (`lines`, or all of a shorter file's). A file that fits
// in one chunk is read whole and stays in `buffer.input()`; `buffered` then
// says how much of it is there. Adds what it read to `result`.
fs::FsError FindKeptLength(fs::File &input, const fs::FileInfo &entry, std::uint64_t lines,
                           TrimBuffer &buffer, std::uint64_t &keep, std::uint64_t &lost,
                           std::size_t &buffered, TrimResult &result);

// Fills `result.lost` with what a shortening to `keep` bytes would remove
// from `input`, `size` bytes long: the `count` lines that follow them.
// `buffer.input()` may already hold the first `buffered` bytes; only what
// LostLines shows of the lines is read beyond them. Adds what it read to
// `result`.
fs::FsError ReadLostLines(fs::File &input, std::uint64_t keep, std::uint64_t size,
                          std::uint64_t count, std::size_t buffered, TrimBuffer &buffer,
                          TrimResult &result);

// Reads the first `keep` bytes of `input`, described by `entry`, to tell
// whether every line end in them is CR LF already (`crLf`), so that its
// shortened copy would be that prefix as it is; stops at the first that is
// not, and passes over the entry's holes. `buffer.input()` may
// already hold the first `buffered` bytes. Adds what it read to `result`;
// on failure marks it failed and returns false. An exclusive `input` that
// another program opens meanwhile fails as InUse.
bool FindOnlyCrLf(fs::File &input, const fs::FileInfo &entry, std::uint64_t keep,
                  std::size_t buffered, TrimBuffer &buffer, bool &crLf, TrimResult &result);

// Writes the first `keep` bytes of `input`, described by `entry`, to
// `output`, with CR LF line ends unless `keepLineEnds`; the holes of the
// entry stay holes in the copy. `buffer.input()` may already hold the
// entry's first `buffered` bytes (0: none of it), at least `keep` of them
// where any. Adds what it read and wrote
// (holes are neither) to `result`; on failure marks it failed, with why and
// what the system said, and returns false. An exclusive `input` that another
// program opens meanwhile fails as InUse.
bool WriteShortened(fs::File &input, const fs::FileInfo &entry, std::uint64_t keep,
                    std::size_t buffered, bool keepLineEnds, fs::File &output, TrimBuffer &buffer,
                    TrimResult &result);

} // namespace tailsnip

#endif
