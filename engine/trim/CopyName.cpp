#include "engine/trim/CopyName.h"

#include "engine/fs/FileSystem.h"

#include <atomic>
#include <charconv>
#include <optional>
#include <random>

namespace tailsnip {

namespace {

constexpr std::string_view kStart = ".tailsnip-";
constexpr std::string_view kEnd = ".tmp";
constexpr std::size_t kTokenDigits = 16;

std::string Prefix(const CopyMaker &maker) {
  return std::string(kStart) + std::to_string(maker.process) + "-" + maker.token + "-";
}

} // namespace

std::string DrawToken() {
  std::random_device source;
  const std::uint64_t value = (std::uint64_t{source()} << 32) ^ source();
  char digits[kTokenDigits + 1] = {};
  const auto end = std::to_chars(digits, digits + kTokenDigits, value, 16).ptr;
  return std::string(kTokenDigits - static_cast<std::size_t>(end - digits), '0') +
         std::string(digits, end);
}

CopyMaker ThisCopyMaker() {
  static const std::string token = DrawToken();
  return {fs::CurrentProcessId(), token};
}

bool IsCopyToken(std::string_view token) {
  return token.size() == kTokenDigits &&
         token.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

std::string CopyName(const CopyMaker &maker, unsigned count, std::size_t entry) {
  return Prefix(maker) + std::to_string(count) + "." + std::to_string(entry) + std::string(kEnd);
}

namespace {

// Copies and backups kept aside share one count, for every thread.
unsigned NextCount() {
  static std::atomic<unsigned> counter{0};
  return ++counter;
}

// What lies between `maker`'s prefix and the end of `name`, where it has
// them both, else nothing.
std::optional<std::string_view> Between(std::string_view name, const CopyMaker &maker) {
  if (!IsCopyToken(maker.token))
    return std::nullopt;
  const std::string prefix = Prefix(maker);
  if (name.size() <= prefix.size() + kEnd.size() || name.substr(0, prefix.size()) != prefix ||
      name.substr(name.size() - kEnd.size()) != kEnd)
    return std::nullopt;
  return name.substr(prefix.size(), name.size() - prefix.size() - kEnd.size());
}

// Whether `digits` spell a number of type `Number` as std::to_string does:
// no sign, no leading zero.
template <typename Number> bool IsNumber(std::string_view digits, Number &value) {
  const auto parsed = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  return parsed.ec == std::errc() && parsed.ptr == digits.data() + digits.size() &&
         std::to_string(value) == digits;
}

bool IsCount(std::string_view count) {
  unsigned value = 0;
  return IsNumber(count, value);
}

} // namespace

std::string NextCopyName(std::size_t entry) {
  return CopyName(ThisCopyMaker(), NextCount(), entry);
}

std::string NextAsideName(std::string_view backup) {
  return Prefix(ThisCopyMaker()) + std::to_string(NextCount()) + "-" + std::string(backup) +
         std::string(kEnd);
}

bool IsCopyName(std::string_view name, const CopyMaker &maker, std::optional<std::size_t> &entry) {
  const std::optional<std::string_view> between = Between(name, maker);
  if (!between)
    return false;
  const std::size_t dot = between->find('.');
  std::size_t place = 0;
  if (!IsCount(between->substr(0, dot)) ||
      (dot != std::string_view::npos && !IsNumber(between->substr(dot + 1), place)))
    return false;
  entry = dot == std::string_view::npos ? std::nullopt : std::optional(place);
  return true;
}

bool IsAsideName(std::string_view name, const CopyMaker &maker, std::string &backup) {
  const std::optional<std::string_view> between = Between(name, maker);
  const std::size_t dash = between ? between->find('-') : std::string_view::npos;
  if (dash == std::string_view::npos || dash + 1 == between->size() ||
      !IsCount(between->substr(0, dash)))
    return false;
  backup = between->substr(dash + 1);
  return true;
}

bool LooksLikeCopy(std::string_view name) {
  return name.size() >= kStart.size() + kEnd.size() && name.substr(0, kStart.size()) == kStart &&
         name.substr(name.size() - kEnd.size()) == kEnd;
}

} // namespace tailsnip
