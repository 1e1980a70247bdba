#include "engine/trim/LineModel.h"

#include <algorithm>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tailsnip {

namespace {

const char *FindLastLineFeed(const char *data, std::size_t size) {
#if defined(__GLIBC__)
  return static_cast<const char *>(memrchr(data, '\n', size));
#else
  for (std::size_t i = size; i > 0; --i)
    if (data[i - 1] == '\n')
      return data + i - 1;
  return nullptr;
#endif
}

#if defined(__SSE2__)
// Text is looked at 32 bytes at a time, through masks with bit i set when
// byte i is a line feed without a carriage return before it. Which blocks
// hold one cannot be predicted, so the loops below branch on little else:
// a branch per line costs more than the rest of the work.
constexpr std::ptrdiff_t kBlock = 32;

__m128i Load(const char *from) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(from)); }

void Store(char *to, __m128i bytes) { _mm_storeu_si128(reinterpret_cast<__m128i *>(to), bytes); }

std::uint32_t Matches(__m128i low, __m128i high, char byte) {
  const __m128i pattern = _mm_set1_epi8(byte);
  return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(low, pattern))) |
         static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(high, pattern))) << 16;
}

// The bare line feeds of the block at `at`, which holds `low` and `high`;
// `at[-1]` must be readable.
std::uint32_t BareLineFeeds(const char *at, __m128i low, __m128i high) {
  const std::uint32_t carriageReturns = Matches(low, high, '\r') << 1 | (at[-1] == '\r');
  return Matches(low, high, '\n') & ~carriageReturns;
}
#endif

} // namespace

void LastLineSearch::feed(const char *block, std::size_t size, std::uint64_t start) {
  if (found_ || size == 0)
    return;
  std::size_t searched = size;
  // A final line feed ends the last line; it does not start an empty one.
  if (atEnd_ && block[searched - 1] == '\n')
    --searched;
  atEnd_ = false;
  while (const char *lineFeed = FindLastLineFeed(block, searched)) {
    searched = static_cast<std::size_t>(lineFeed - block);
    if (--remaining_ == 0) {
      keep_ = start + searched + 1;
      found_ = true;
      return;
    }
  }
}

namespace {

// Of a line being read: the bytes it may show, and one more, since a
// carriage return there belongs to the line end if a line feed follows.
constexpr std::size_t kLineBytesHeld = LostLines::kBytesShown + 1;

} // namespace

LostLineSampler::LostLineSampler(std::uint64_t count, LostLines &lost)
    : lost_(lost),
      wanted_(static_cast<std::size_t>(std::min<std::uint64_t>(count, LostLines::kLinesShown))) {
  lost_.count = count;
  lost_.shown.clear();
}

bool LostLineSampler::feed(const char *block, std::size_t size) {
  const char *const end = block + size;
  for (const char *at = block; lost_.shown.size() < wanted_;) {
    const auto lineFeed =
        static_cast<const char *>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
    const std::size_t length = static_cast<std::size_t>((lineFeed ? lineFeed : end) - at);
    const std::size_t room = kLineBytesHeld - line_.size();
    line_.append(at, std::min(length, room));
    overflow_ = overflow_ || length > room;
    if (!lineFeed) {
      // The last line to show needs reading no further once it is known to
      // go on past what it shows, whatever ends it.
      if (overflow_ && lost_.shown.size() + 1 == wanted_)
        endLine(false);
      break;
    }
    endLine(true);
    at = lineFeed + 1;
  }
  return lost_.shown.size() < wanted_;
}

void LostLineSampler::finish() {
  if (lost_.shown.size() < wanted_ && (!line_.empty() || overflow_))
    endLine(false);
}

void LostLineSampler::endLine(bool byLineFeed) {
  // Past a line's held bytes, its carriage returns are beyond what it shows.
  if (byLineFeed && !overflow_ && !line_.empty() && line_.back() == '\r')
    line_.pop_back();
  LostLines::Line line;
  line.cut = overflow_ || line_.size() > LostLines::kBytesShown;
  line_.resize(std::min(line_.size(), LostLines::kBytesShown));
  line.start = std::move(line_);
  lost_.shown.push_back(std::move(line));
  line_.clear();
  overflow_ = false;
}

const char *FindBareLineFeed(const char *in, std::size_t size, bool afterCarriageReturn) {
  if (size == 0)
    return nullptr;
  if (in[0] == '\n' && !afterCarriageReturn)
    return in;
  // From here on the byte before a line feed is always in `in`.
  const char *at = in + 1;
  const char *end = in + size;
#if defined(__SSE2__)
  for (; end - at >= kBlock; at += kBlock)
    if (const std::uint32_t bare = BareLineFeeds(at, Load(at), Load(at + 16)))
      return at + __builtin_ctz(bare);
#endif
  for (;
       (at = static_cast<const char *>(std::memchr(at, '\n', static_cast<std::size_t>(end - at))));
       ++at) {
    if (at[-1] != '\r')
      return at;
  }
  return nullptr;
}

std::size_t WriteLineEndsAsCrLf(const char *in, std::size_t size, char *out,
                                bool &afterCarriageReturn) {
  if (size == 0)
    return 0;
  char *written = out;
  if (in[0] == '\n' && !afterCarriageReturn)
    *written++ = '\r';
  *written++ = in[0];
  // From here on the byte before a line feed is always in `in`.
  const char *at = in + 1;
  const char *end = in + size;
#if defined(__SSE2__)
  // Each block is stored as it is; a bare line feed in it then gets its
  // carriage return, and the block's rest is stored again one byte further.
  // The first is done without a branch, also when there is none: then the
  // carriage return lands just past the block and the rest is stored again
  // where it was, both overwritten by what follows (at least one more
  // block). The rest is moved 32 bytes at a time, reading up to 63 bytes
  // past the block's start and writing at most 96 past its place in `out`,
  // which both stay within bounds while two blocks remain.
  for (; end - at >= 2 * kBlock; at += kBlock) {
    const __m128i low = Load(at);
    const __m128i high = Load(at + 16);
    std::uint32_t bare = BareLineFeeds(at, low, high);
    Store(written, low);
    Store(written + 16, high);
    const int first = __builtin_ctzll(bare | std::uint64_t{1} << kBlock);
    written[first] = '\r';
    char *shifted = written + (bare != 0); // the block's place in `out`, plus the returns added
    Store(shifted + first, Load(at + first));
    Store(shifted + first + 16, Load(at + first + 16));
    for (bare &= bare - 1; bare != 0; bare &= bare - 1) {
      const int i = __builtin_ctz(bare);
      shifted[i] = '\r';
      ++shifted;
      Store(shifted + i, Load(at + i));
      Store(shifted + i + 16, Load(at + i + 16));
    }
    written = shifted + kBlock;
  }
#endif
  // What remains is copied in runs between line feeds.
  const char *run = at;
  while (const char *lineFeed = static_cast<const char *>(
             std::memchr(run, '\n', static_cast<std::size_t>(end - run)))) {
    const std::size_t length = static_cast<std::size_t>(lineFeed - run);
    std::memcpy(written, run, length);
    written += length;
    if (lineFeed[-1] != '\r')
      *written++ = '\r';
    *written++ = '\n';
    run = lineFeed + 1;
  }
  const std::size_t rest = static_cast<std::size_t>(end - run);
  std::memcpy(written, run, rest);
  written += rest;
  afterCarriageReturn = end[-1] == '\r';
  return static_cast<std::size_t>(written - out);
}

} // namespace tailsnip
