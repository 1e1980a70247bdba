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

// The multiplier `suffix` stands for, or 0 when it is none.
std::uint64_t Multiplier(const char *suffix) {
  if (*suffix == '\0')
    return 1;
  if (std::strcmp(suffix, "b") == 0)
    return 512;
  static const char kPowers[] = "KMGTPE"; // those beyond overflow any count of 1 or more
  const char letter = *suffix == 'k' || *suffix == 'm' ? *suffix - 'a' + 'A' : *suffix;
  const char *power = letter != '\0' ? std::strchr(kPowers, letter) : nullptr;
  if (!power)
    return 0;
  const char *base = suffix + 1;
  const std::uint64_t unit = *base == '\0' || std::strcmp(base, "iB") == 0                ? 1024
                             : std::strcmp(base, "B") == 0 || std::strcmp(base, "D") == 0 ? 1000
                                                                                          : 0;
  std::uint64_t multiplier = unit == 0 ? 0 : 1;
  for (const char *p = kPowers; p <= power; ++p)
    multiplier *= unit;
  return multiplier;
}

} // namespace

bool ParseCount(const char *text, std::uint64_t &count) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r'))
    ++text;
  if (*text == '+')
    ++text;
  if (*text < '0' || *text > '9')
    return false;
  count = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    const auto digit = static_cast<std::uint64_t>(*text - '0');
    if (!Multiply(count, 10) || count > std::numeric_limits<std::uint64_t>::max() - digit)
      return false;
    count += digit;
  }
  const std::uint64_t multiplier = Multiplier(text);
  return multiplier != 0 && Multiply(count, multiplier);
}

} // namespace tailsnip::cli
