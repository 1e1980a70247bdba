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

// What `suffix` multiplies a count by, as `unit` to the power `power`
// (512 once for "b", nothing for none); false where it is no multiplier.
bool ReadMultiplier(const char *suffix, std::uint64_t &unit, int &power) {
  unit = 1;
  power = 0;
  if (*suffix == '\0')
    return true;
  power = 1;
  if (std::strcmp(suffix, "b") == 0) {
    unit = 512;
    return true;
  }
  static const char kPowers[] = "KMGTPEZYRQ";
  const char letter = *suffix == 'k' || *suffix == 'm' ? *suffix - 'a' + 'A' : *suffix;
  const char *found = letter != '\0' ? std::strchr(kPowers, letter) : nullptr;
  if (!found)
    return false;
  const char *base = suffix + 1;
  unit = *base == '\0' || std::strcmp(base, "iB") == 0                ? 1024
         : std::strcmp(base, "B") == 0 || std::strcmp(base, "D") == 0 ? 1000
                                                                      : 0;
  power = static_cast<int>(found - kPowers) + 1;
  return unit != 0;
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
  std::uint64_t unit = 1;
  int power = 0;
  if (!ReadMultiplier(text, unit, power))
    return CountRead::NotACount;
  for (int i = 0; i < power; ++i)
    tooLarge = tooLarge || !Multiply(count, unit);
  return tooLarge ? CountRead::TooLarge : CountRead::Read;
}

} // namespace tailsnip::cli
