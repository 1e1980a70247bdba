#include "engine/trim/CopyWriter.h"

#include "engine/threads/Workers.h"
#include "engine/trim/LineModel.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace tailsnip {

using fs::FsError;

namespace {

// A piece of a copy: `size` bytes of `data`, which are either the entry's
// own from `offset` on (`asIs`: the kernel may copy them itself) or their
// translation.
struct Piece {
  fs::File *input = nullptr;
  fs::File *output = nullptr;
  std::uint64_t offset = 0;
  const char *data = nullptr;
  std::size_t size = 0;
  bool asIs = false;
};

// Writes the pieces of one copy, in order, at the copy's end.
class PieceWriter {
public:
  FsError write(const Piece &piece) {
    if (piece.asIs && kernelCopies_) {
      const FsError error = fs::CopyRange(*piece.input, piece.offset, *piece.output, piece.size);
      if (error != FsError::NotSupported)
        return error;
      kernelCopies_ = false; // where it cannot now, it will not later
    }
    return fs::WriteAll(*piece.output, piece.data, piece.size);
  }

private:
  bool kernelCopies_ = true;
};

} // namespace

// Writes pieces on a thread of its own, one at a time and in the order they
// are put, while the caller reads and translates the next: on a large file
// the reading and the writing overlap. Where no thread can be started, each
// piece is written as it is put.
class WriteBehind {
public:
  // Waits until the piece put before is written and has `writer` write
  // `piece`, unless the one before failed: then returns its error.
  FsError put(PieceWriter &writer, const Piece &piece) {
    if (const FsError before = wait(); before != FsError::None)
      return before;
    const auto write = [this, &writer, piece] { outcome_ = writer.write(piece); };
    if (!writer_.post(write))
      write();
    return FsError::None;
  }

  // Waits until the piece put last is written; how that went.
  FsError wait() {
    writer_.wait();
    return std::exchange(outcome_, FsError::None);
  }

private:
  Workers writer_{1, 1};
  // The last piece's, set by whichever thread wrote it.
  FsError outcome_ = FsError::None;
};

TrimBuffer::TrimBuffer(std::size_t chunk)
    : chunk_(chunk), memory_(new char[6 * chunk]), writeBehind_(new WriteBehind) {}

TrimBuffer::~TrimBuffer() = default;

namespace {

// Reads exactly `size` bytes at `offset`, or fails: a file that shrinks
// while it is read cannot be cut at the place that was found.
FsError ReadFully(fs::File &file, std::uint64_t offset, char *buffer, std::size_t size) {
  while (size > 0) {
    std::size_t got = 0;
    if (const FsError error = fs::ReadAt(file, offset, buffer, size, got); error != FsError::None)
      return error;
    if (got == 0)
      return FsError::Other;
    offset += got;
    buffer += got;
    size -= got;
  }
  return FsError::None;
}

} // namespace

// Writes the first `keep` bytes of `input` to `output`, with CR LF line ends
// unless `keepLineEnds`. `buffer.input()` may already hold the first
// `buffered` bytes. A chunk whose line ends are all CR LF already, or are to
// be kept, is copied by the kernel where it can: it was read only to be
// scanned. A prefix kept as it is and not read yet is not read at all where
// the kernel copies it. Should the entry change between the scan and that
// copy, its new size or time keeps the copy from replacing it. A file of
// several chunks is written behind its reading, from the halves of `buffer`
// in turn, and given up as soon as another program opens it.
bool WriteShortened(fs::File &input, std::uint64_t keep, std::size_t buffered, bool keepLineEnds,
                    fs::File &output, TrimBuffer &buffer, TrimResult &result) {
  if (keepLineEnds && buffered == 0 && keep > 0) {
    const FsError error = fs::CopyRange(input, 0, output, keep);
    if (error == FsError::None) {
      result.bytesWritten += keep;
      return true;
    }
    if (error != FsError::NotSupported) {
      Fail(result, Reason::CannotWriteCopy, error.code());
      return false;
    }
  }
  PieceWriter writer;
  WriteBehind *behind = keep > buffer.chunk() ? &buffer.writeBehind() : nullptr;
  // Whatever happens here, no piece is still being written on return; a
  // failure found meanwhile is the one told.
  struct Finish {
    WriteBehind *behind;
    ~Finish() {
      if (behind)
        behind->wait();
    }
  } finish{behind};
  bool afterCarriageReturn = false;
  int half = 0;
  for (std::uint64_t done = 0; done < keep; half = behind ? 1 - half : 0) {
    // Another program opened the entry: it will be kept, and the rest of its
    // copy would be written for nothing.
    if (done > 0 && input.exclusive() && !fs::StillExclusive(input)) {
      Fail(result, Reason::InUse, {}); // the system said nothing of it
      return false;
    }
    Piece piece{&input, &output, done, buffer.input(half)};
    const std::size_t size =
        static_cast<std::size_t>(std::min<std::uint64_t>(keep - done, buffer.chunk()));
    if (buffered == 0) {
      if (const FsError error = ReadFully(input, done, buffer.input(half), size);
          error != FsError::None) {
        Fail(result, Reason::CannotRead, error.code());
        return false;
      }
      result.bytesRead += size;
    }
    buffered = 0;
    piece.size = size;
    if (const char *bare =
            keepLineEnds ? nullptr : FindBareLineFeed(piece.data, size, afterCarriageReturn)) {
      // What comes before the first bare line feed is already right: copy
      // it as it is and translate only from there, without scanning it again.
      const std::size_t clean = static_cast<std::size_t>(bare - piece.data);
      char *translated = buffer.output(half);
      std::memcpy(translated, piece.data, clean);
      afterCarriageReturn = false; // a bare line feed has none before it
      piece.size =
          clean + WriteLineEndsAsCrLf(bare, size - clean, translated + clean, afterCarriageReturn);
      piece.data = translated;
    } else {
      afterCarriageReturn = piece.data[size - 1] == '\r';
      piece.asIs = true;
    }
    if (const FsError error = behind ? behind->put(writer, piece) : writer.write(piece);
        error != FsError::None) {
      Fail(result, Reason::CannotWriteCopy, error.code());
      return false;
    }
    result.bytesWritten += piece.size;
    done += size;
  }
  if (const FsError error = behind ? behind->wait() : FsError::None; error != FsError::None) {
    Fail(result, Reason::CannotWriteCopy, error.code());
    return false;
  }
  return true;
}

bool FindOnlyCrLf(fs::File &input, std::uint64_t keep, std::size_t buffered, TrimBuffer &buffer,
                  bool &crLf, TrimResult &result) {
  crLf = true;
  bool afterCarriageReturn = false;
  for (std::uint64_t done = 0; done < keep && crLf; done += buffer.chunk()) {
    const std::size_t size =
        static_cast<std::size_t>(std::min<std::uint64_t>(keep - done, buffer.chunk()));
    if (buffered < keep) {
      if (done > 0 && input.exclusive() && !fs::StillExclusive(input)) {
        Fail(result, Reason::InUse, {});
        return false;
      }
      if (const FsError error = ReadFully(input, done, buffer.input(), size);
          error != FsError::None) {
        Fail(result, Reason::CannotRead, error.code());
        return false;
      }
      result.bytesRead += size;
    }
    crLf = !FindBareLineFeed(buffer.input(), size, afterCarriageReturn);
    afterCarriageReturn = buffer.input()[size - 1] == '\r';
  }
  return true;
}

// Finds how many leading bytes hold every line but the last `lines`, reading
// the file from its end. A file that fits in one chunk is read whole and stays
// in `buffer.input()`; `buffered` then says how much of it is there.
FsError FindKeptLength(fs::File &input, std::uint64_t size, std::uint64_t lines, TrimBuffer &buffer,
                       std::uint64_t &keep, std::uint64_t &lost, std::size_t &buffered,
                       TrimResult &result) {
  LastLineSearch search(lines);
  buffered = 0;
  for (std::uint64_t end = size; end > 0 && !search.found();) {
    const std::uint64_t start = end > buffer.chunk() ? end - buffer.chunk() : 0;
    const std::size_t length = static_cast<std::size_t>(end - start);
    if (const FsError error = ReadFully(input, start, buffer.input(), length);
        error != FsError::None)
      return error;
    result.bytesRead += length;
    search.feed(buffer.input(), length, start);
    if (start == 0)
      buffered = length;
    end = start;
  }
  keep = search.keep();
  lost = search.lostLines();
  return FsError::None;
}

// Reads forward from `keep` only as far as the lines shown need: a chunk at a
// time, the buffered part first.
FsError ReadLostLines(fs::File &input, std::uint64_t keep, std::uint64_t size, std::uint64_t count,
                      std::size_t buffered, TrimBuffer &buffer, TrimResult &result) {
  LostLineSampler sampler(count, result.lost);
  std::uint64_t at = keep;
  bool more = true;
  if (at < buffered) {
    more = sampler.feed(buffer.input() + at, static_cast<std::size_t>(buffered - at));
    at = buffered;
  }
  while (more && at < size) {
    const std::size_t length =
        static_cast<std::size_t>(std::min<std::uint64_t>(size - at, buffer.chunk()));
    if (const FsError error = ReadFully(input, at, buffer.input(), length); error != FsError::None)
      return error;
    result.bytesRead += length;
    more = sampler.feed(buffer.input(), length);
    at += length;
  }
  if (more)
    sampler.finish();
  return FsError::None;
}

} // namespace tailsnip
