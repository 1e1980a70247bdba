// How tailsnip-cli reads a count given on its command line.
#ifndef TAILSNIP_CLI_COUNT_H
#define TAILSNIP_CLI_COUNT_H

#include <cstdint>

namespace tailsnip::cli {

enum class CountRead { Read, NotACount, TooLarge };

// Reads `text` as GNU tools read a count: decimal digits, perhaps after
// blanks and a '+', perhaps followed by a multiplier: b (512), K, M, G, T,
// P, E, Z, Y, R, Q (powers of 1024, also written KiB, MiB...; k and m too)
// or KB, MB... (powers of 1000). TooLarge for a count past 2^64 - 1.
CountRead ParseCount(const char *text, std::uint64_t &count);

} // namespace tailsnip::cli

#endif
