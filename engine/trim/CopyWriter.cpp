#include "engine/trim/CopyWriter.h"

#include "engine/threads/Workers.h"
#include "engine/trim/LineModel.h"

#include <algorithm>
#include <cstdint>
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

// Writes the pieces of one copy, in order, at the copy's position.
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

namespace {

// The kernel reads into memory that starts a page (or a cache line) three
// to four times faster than into memory 16 bytes past one, where a large
// allocation starts.
constexpr std::size_t kPage = 4096;

} // namespace

TrimBuffer::TrimBuffer(std::size_t chunk)
    : chunk_(chunk), memory_(new char[6 * chunk + kPage]),
      start_(memory_.get() +
             (kPage - reinterpret_cast<std::uintptr_t>(memory_.get()) % kPage) % kPage),
      writeBehind_(new WriteBehind) {}

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
      return FsError::Changed; // cut shorter since it was described
    offset += got;
    buffer += got;
    size -= got;
  }
  return FsError::None;
}

// Writes one copy in order, stored range by stored range, with the holes
// between them left as holes: they hold zeros alone, which neither mode
// changes. A range kept as it is, and not read yet, is not read at all
// where the kernel copies it. A chunk whose line ends are all CR LF
// already, or are to be kept, is copied by the kernel where it can: it was
// read only to be scanned. Should the entry change between the scan and
// such a copy, its new size or time keeps the copy from replacing it. A
// file of several chunks is written behind its reading, from the halves of
// the buffer in turn, and given up as soon as another program opens it.
class CopyStream {
public:
  CopyStream(fs::File &input, fs::File &output, TrimBuffer &buffer, std::size_t buffered,
             bool keepLineEnds, bool writeBehind, TrimResult &result)
      : input_(input), output_(output), buffer_(buffer), buffered_(buffered),
        keepLineEnds_(keepLineEnds), copiesRanges_(keepLineEnds && buffered == 0),
        behind_(writeBehind ? &buffer.writeBehind() : nullptr), result_(result) {}
  // Whatever happens, no piece is still being written once it is gone.
  ~CopyStream() {
    if (behind_)
      behind_->wait();
  }
  CopyStream(const CopyStream &) = delete;
  CopyStream &operator=(const CopyStream &) = delete;

  bool hole(std::uint64_t size) {
    afterCarriageReturn_ = false;
    const FsError before = finished();
    return wrote(before == FsError::None ? fs::LeaveHole(output_, size) : before);
  }

  bool data(std::uint64_t start, std::uint64_t end) {
    if (copiesRanges_) {
      const FsError error = fs::CopyRange(input_, start, output_, end - start);
      if (error == FsError::None) {
        result_.bytesWritten += end - start;
        return true;
      }
      if (error != FsError::NotSupported)
        return wrote(error);
      copiesRanges_ = false; // where it cannot now, it will not later
    }
    for (std::uint64_t done = start; done < end; half_ = behind_ ? 1 - half_ : 0) {
      const std::size_t size =
          static_cast<std::size_t>(std::min<std::uint64_t>(end - done, buffer_.chunk()));
      if (!chunk(done, size))
        return false;
      done += size;
    }
    return true;
  }

  // Waits until every piece is written; false, the result marked failed,
  // when any could not be.
  bool finish() { return wrote(finished()); }

private:
  // Writes the `size` bytes at `offset`, one chunk at most.
  bool chunk(std::uint64_t offset, std::size_t size) {
    // Another program opened the entry: it will be kept, and the rest of its
    // copy would be written for nothing.
    if (offset > 0 && input_.exclusive() && !fs::StillExclusive(input_)) {
      Fail(result_, Reason::InUse, {}); // the system said nothing of it
      return false;
    }
    Piece piece{&input_, &output_, offset, buffer_.input(half_), size};
    if (buffered_ > 0) {
      piece.data += offset;
    } else {
      if (const FsError error = ReadFully(input_, offset, buffer_.input(half_), size);
          error != FsError::None) {
        Fail(result_, ReasonForRead(error), error.code());
        return false;
      }
      result_.bytesRead += size;
    }
    if (const char *bare =
            keepLineEnds_ ? nullptr : FindBareLineFeed(piece.data, size, afterCarriageReturn_)) {
      // What comes before the first bare line feed is already right: copy
      // it as it is and translate only from there, without scanning it again.
      const std::size_t clean = static_cast<std::size_t>(bare - piece.data);
      char *translated = buffer_.output(half_);
      std::memcpy(translated, piece.data, clean);
      afterCarriageReturn_ = false; // a bare line feed has none before it
      piece.size =
          clean + WriteLineEndsAsCrLf(bare, size - clean, translated + clean, afterCarriageReturn_);
      piece.data = translated;
    } else {
      afterCarriageReturn_ = piece.data[size - 1] == '\r';
      piece.asIs = true;
    }
    if (!wrote(behind_ ? behind_->put(writer_, piece) : writer_.write(piece)))
      return false;
    result_.bytesWritten += piece.size;
    return true;
  }

  // Waits until the pieces put so far are written; how that went.
  FsError finished() { return behind_ ? behind_->wait() : FsError::None; }

  bool wrote(const FsError &error) {
    if (error == FsError::None)
      return true;
    // The kernel's copy reads the entry too: it may find it cut shorter.
    Fail(result_, error == FsError::Changed ? Reason::ChangedDuringRun : Reason::CannotWriteCopy,
         error.code());
    return false;
  }

  fs::File &input_;
  fs::File &output_;
  TrimBuffer &buffer_;
  const std::size_t buffered_;
  const bool keepLineEnds_;
  bool copiesRanges_;
  WriteBehind *const behind_;
  TrimResult &result_;
  PieceWriter writer_;
  bool afterCarriageReturn_ = false;
  int half_ = 0;
};

} // namespace

Reason ReasonForRead(const FsError &error) {
  return error == FsError::Changed ? Reason::ChangedDuringRun : Reason::CannotRead;
}

// Writes the first `keep` bytes of `input` to `output`, with CR LF line ends
// unless `keepLineEnds`, skipping the holes of an entry that may have any.
bool WriteShortened(fs::File &input, const fs::FileInfo &entry, std::uint64_t keep,
                    std::size_t buffered, bool keepLineEnds, fs::File &output, TrimBuffer &buffer,
                    TrimResult &result) {
  CopyStream copy(input, output, buffer, buffered, keepLineEnds, keep > buffer.chunk(), result);
  for (std::uint64_t done = 0; done < keep;) {
    fs::DataRange data{done, keep};
    if (entry.mayHaveHoles)
      if (const FsError error = fs::FindData(input, done, keep, data); error != FsError::None) {
        Fail(result, Reason::CannotRead, error.code());
        return false;
      }
    const bool hole = data.start > done;
    if (!(hole ? copy.hole(data.start - done) : copy.data(done, data.end)))
      return false;
    done = hole ? data.start : data.end;
  }
  return copy.finish();
}

bool FindOnlyCrLf(fs::File &input, const fs::FileInfo &entry, std::uint64_t keep,
                  std::size_t buffered, TrimBuffer &buffer, bool &crLf, TrimResult &result) {
  crLf = true;
  bool afterCarriageReturn = false;
  for (std::uint64_t done = 0; done < keep && crLf;) {
    fs::DataRange data{done, keep};
    if (buffered < keep && entry.mayHaveHoles)
      if (const FsError error = fs::FindData(input, done, keep, data); error != FsError::None) {
        Fail(result, Reason::CannotRead, error.code());
        return false;
      }
    if (data.start > done) {
      // Zeros hold no line end, and no carriage return goes on across them.
      afterCarriageReturn = false;
      done = data.start;
      continue;
    }
    const std::size_t size =
        static_cast<std::size_t>(std::min<std::uint64_t>(data.end - done, buffer.chunk()));
    if (buffered < keep) {
      if (done > 0 && input.exclusive() && !fs::StillExclusive(input)) {
        Fail(result, Reason::InUse, {});
        return false;
      }
      if (const FsError error = ReadFully(input, done, buffer.input(), size);
          error != FsError::None) {
        Fail(result, ReasonForRead(error), error.code());
        return false;
      }
      result.bytesRead += size;
    }
    crLf = !FindBareLineFeed(buffer.input(), size, afterCarriageReturn);
    afterCarriageReturn = buffer.input()[size - 1] == '\r';
    done += size;
  }
  return true;
}

// Finds how many leading bytes hold every line but the last `lines`, reading
// the file from its end and passing over the chunks that lie in a hole. A
// file that fits in one chunk is read whole and stays in `buffer.input()`;
// `buffered` then says how much of it is there.
FsError FindKeptLength(fs::File &input, const fs::FileInfo &entry, std::uint64_t lines,
                       TrimBuffer &buffer, std::uint64_t &keep, std::uint64_t &lost,
                       std::size_t &buffered, TrimResult &result) {
  LastLineSearch search(lines);
  buffered = 0;
  // A file larger than a chunk is searched in a small window at its end
  // first (64 KiB of the 1 MiB chunk): last lines are mostly short, and then
  // finding one costs the same whatever the file's size. A smaller file is
  // read whole, once.
  std::uint64_t window =
      entry.size > buffer.chunk() ? std::max<std::size_t>(1, buffer.chunk() / 16) : buffer.chunk();
  for (std::uint64_t end = entry.size; end > 0 && !search.found(); window = buffer.chunk()) {
    const std::uint64_t start = end > window ? end - window : 0;
    const std::size_t length = static_cast<std::size_t>(end - start);
    fs::DataRange data{start, end};
    if (entry.mayHaveHoles)
      if (const FsError error = fs::FindData(input, start, end, data); error != FsError::None)
        return error;
    if (data.start == end) {
      // Zeros hold no line feed: one of them stands for the whole chunk.
      static const char kZero = 0;
      search.feed(&kZero, 1, end - 1);
    } else {
      if (const FsError error = ReadFully(input, start, buffer.input(), length);
          error != FsError::None)
        return error;
      result.bytesRead += length;
      search.feed(buffer.input(), length, start);
      if (start == 0)
        buffered = length;
    }
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
