#include "cli/Count.h"

#include <cstring>
#include <limits>

namespace tailsnip::cli {

namespace {

bool Multiply(std::uint64_t &count, std::uint64_t by) {
  if (count > std::numeric_limits<std::uint64_t>::max() / by)
    return false;
  count *= by;
  return true;
}

// The multiplier `suffix` stands for, or 0 when it is none; `pastCounting`
// where it stands for one past 2^64 - 1.
std::uint64_t Multiplier(const char *suffix, bool &pastCounting) {
  if (*suffix == '\0')
    return 1;
  if (std::strcmp(suffix, "b") == 0)
    return 512;
  static const char kPowers[] = "KMGTPEZYRQ";
  const char letter = *suffix == 'k' || *suffix == 'm' ? *suffix - 'a' + 'A' : *suffix;
  const char *power = letter != '\0' ? std::strchr(kPowers, letter) : nullptr;
  if (!power)
    return 0;
  const char *base = suffix + 1;
  const std::uint64_t unit = *base == '\0' || std::strcmp(base, "iB") == 0                ? 1024
                             : std::strcmp(base, "B") == 0 || std::strcmp(base, "D") == 0 ? 1000
                                                                                          : 0;
  std::uint64_t multiplier = unit == 0 ? 0 : 1;
  for (const char *p = kPowers; p <= power && multiplier != 0; ++p)
    pastCounting = pastCounting || !Multiply(multiplier, unit);
  return multiplier;
}

} // namespace

CountRead ParseCount(const char *text, std::uint64_t &count) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r'))
    ++text;
  if (*text == '+')
    ++text;
  if (*text < '0' || *text > '9')
    return CountRead::NotACount;
  count = 0;
  bool tooLarge = false;
  for (; *text >= '0' && *text <= '9'; ++text) {
    const auto digit = static_cast<std::uint64_t>(*text - '0');
    tooLarge = tooLarge || !Multiply(count, 10) ||
               count > std::numeric_limits<std::uint64_t>::max() - digit;
    count += tooLarge ? 0 : digit;
  }
  bool multiplierTooLarge = false;
  const std::uint64_t multiplier = Multiplier(text, multiplierTooLarge);
  if (multiplier == 0)
    return CountRead::NotACount;
  // A count of 0 stays 0 whatever it is multiplied by.
  if (count != 0 && (tooLarge || multiplierTooLarge || !Multiply(count, multiplier)))
    return CountRead::TooLarge;
  return CountRead::Read;
}

} // namespace tailsnip::cli
