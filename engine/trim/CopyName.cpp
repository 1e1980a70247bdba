#include "engine/trim/CopyName.h"

#include <atomic>
#include <charconv>

namespace tailsnip {

namespace {

constexpr std::string_view kStart = ".tailsnip-";
constexpr std::string_view kEnd = ".tmp";

std::string Prefix(std::uint32_t process) {
  return std::string(kStart) + std::to_string(process) + "-";
}

} // namespace

std::string CopyName(std::uint32_t process, unsigned count) {
  return Prefix(process) + std::to_string(count) + std::string(kEnd);
}

std::string NextCopyName(std::uint32_t process) {
  static std::atomic<unsigned> counter{0};
  return CopyName(process, ++counter);
}

bool IsCopyName(std::string_view name, std::uint32_t process) {
  const std::string prefix = Prefix(process);
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

} // namespace tailsnip
