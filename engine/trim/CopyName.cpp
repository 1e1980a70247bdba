#include "engine/trim/CopyName.h"

#include "engine/fs/FileSystem.h"

#include <atomic>
#include <charconv>
#include <random>

namespace tailsnip {

namespace {

constexpr std::string_view kStart = ".tailsnip-";
constexpr std::string_view kEnd = ".tmp";
constexpr std::size_t kTokenDigits = 16;

std::string Prefix(const CopyMaker &maker) {
  return std::string(kStart) + std::to_string(maker.process) + "-" + maker.token + "-";
}

// 64 bits from the system's random source (getrandom, or RtlGenRandom on
// Windows, behind std::random_device).
std::string DrawToken() {
  std::random_device source;
  const std::uint64_t value = (std::uint64_t{source()} << 32) ^ source();
  char digits[kTokenDigits + 1] = {};
  const auto end = std::to_chars(digits, digits + kTokenDigits, value, 16).ptr;
  return std::string(kTokenDigits - static_cast<std::size_t>(end - digits), '0') +
         std::string(digits, end);
}

} // namespace

CopyMaker ThisCopyMaker() {
  static const std::string token = DrawToken();
  return {fs::CurrentProcessId(), token};
}

bool IsCopyToken(std::string_view token) {
  return token.size() == kTokenDigits &&
         token.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

std::string CopyName(const CopyMaker &maker, unsigned count) {
  return Prefix(maker) + std::to_string(count) + std::string(kEnd);
}

std::string NextCopyName() {
  static std::atomic<unsigned> counter{0};
  return CopyName(ThisCopyMaker(), ++counter);
}

bool IsCopyName(std::string_view name, const CopyMaker &maker) {
  if (!IsCopyToken(maker.token))
    return false;
  const std::string prefix = Prefix(maker);
  if (name.size() <= prefix.size() + kEnd.size() || name.substr(0, prefix.size()) != prefix ||
      name.substr(name.size() - kEnd.size()) != kEnd)
    return false;
  const std::string_view count =
      name.substr(prefix.size(), name.size() - prefix.size() - kEnd.size());
  unsigned value = 0;
  const auto parsed = std::from_chars(count.data(), count.data() + count.size(), value);
  // Only the spelling CopyName gives: no sign, no leading zero, nothing after.
  return parsed.ec == std::errc() && parsed.ptr == count.data() + count.size() &&
         std::to_string(value) == count;
}

bool LooksLikeCopy(std::string_view name) {
  return name.size() >= kStart.size() + kEnd.size() && name.substr(0, kStart.size()) == kStart &&
         name.substr(name.size() - kEnd.size()) == kEnd;
}

} // namespace tailsnip
