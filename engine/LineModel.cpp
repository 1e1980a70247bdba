#include "engine/LineModel.h"

#include <cstring>

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
// Text is scanned 32 bytes at a time, as a mask of its line feeds: bit i is
// set when byte i is one. Plain loops over memchr cost more than one
// instruction per byte at typical line lengths; this costs about half.
constexpr std::ptrdiff_t kBlock = 32;

__m128i Load(const char *from) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(from)); }

void Store(char *to, __m128i bytes) { _mm_storeu_si128(reinterpret_cast<__m128i *>(to), bytes); }

std::uint32_t LineFeeds(__m128i low, __m128i high) {
  const __m128i lineFeed = _mm_set1_epi8('\n');
  return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(low, lineFeed))) |
         static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(high, lineFeed))) << 16;
}

std::uint32_t LineFeedsIn(const char *block) { return LineFeeds(Load(block), Load(block + 16)); }
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
  if (const char *lineFeed = FindLastLineFeed(block, searched)) {
    keep_ = start + static_cast<std::uint64_t>(lineFeed - block) + 1;
    found_ = true;
  }
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
    for (std::uint32_t feeds = LineFeedsIn(at); feeds != 0; feeds &= feeds - 1) {
      const char *lineFeed = at + __builtin_ctz(feeds);
      if (lineFeed[-1] != '\r')
        return lineFeed;
    }
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
  // That rest is moved 32 bytes at a time, reading up to 63 bytes past the
  // block's start and writing at most 96 past its place in `out`, which
  // both stay within bounds while two blocks remain.
  for (; end - at >= 2 * kBlock; at += kBlock) {
    const __m128i low = Load(at);
    const __m128i high = Load(at + 16);
    Store(written, low);
    Store(written + 16, high);
    char *shifted = written; // the block's start in `out`, plus the carriage returns added
    for (std::uint32_t feeds = LineFeeds(low, high); feeds != 0; feeds &= feeds - 1) {
      const int i = __builtin_ctz(feeds);
      if (at[i - 1] == '\r')
        continue;
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
