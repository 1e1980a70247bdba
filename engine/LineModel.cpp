#include "engine/LineModel.h"

#include <cstring>

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
  const char *end = in + size;
  for (const char *at = in;
       (at = static_cast<const char *>(std::memchr(at, '\n', static_cast<std::size_t>(end - at))));
       ++at) {
    if (at == in ? !afterCarriageReturn : at[-1] != '\r')
      return at;
  }
  return nullptr;
}

std::size_t WriteLineEndsAsCrLf(const char *in, std::size_t size, char *out,
                                bool &afterCarriageReturn) {
  if (size == 0)
    return 0;
  char *written = out;
  const char *end = in + size;
  const char *run = in;
  while (const char *lineFeed = static_cast<const char *>(
             std::memchr(run, '\n', static_cast<std::size_t>(end - run)))) {
    const bool hasCarriageReturn = lineFeed == in ? afterCarriageReturn : lineFeed[-1] == '\r';
    const std::size_t length = static_cast<std::size_t>(lineFeed - run);
    std::memcpy(written, run, length);
    written += length;
    if (!hasCarriageReturn)
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
