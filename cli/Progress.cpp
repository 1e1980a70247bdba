#include "cli/Progress.h"

#include "cli/Console.h"

#include <cmath>

namespace tailsnip::cli {

std::string FormatBytes(std::uint64_t bytes) {
  static const char *const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes);
  std::size_t unit = 0;
  while (value >= 1024 && unit + 1 < sizeof kUnits / sizeof *kUnits) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string FormatDuration(double seconds) {
  const long total = std::lround(seconds);
  char text[32];
  if (total >= 3600)
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
  else
    std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
  return text;
}

ProgressLine::ProgressLine(std::FILE *out, Clock::duration delay)
    : out_(out), start_(Clock::now()), firstDraw_(start_ + delay) {}

void ProgressLine::entryDone(std::uint64_t bytesRead) {
  ++done_;
  bytes_ += bytesRead;
  const Clock::time_point now = Clock::now();
  if (now < firstDraw_ || (drawn_ && now - lastDraw_ < std::chrono::milliseconds(100)))
    return;
  draw(now);
}

void ProgressLine::draw(Clock::time_point now) {
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  const double rate = elapsed > 0 ? static_cast<double>(bytes_) / elapsed : 0;
  std::string line = std::to_string(done_) + "/" + std::to_string(listed_) + " entries, " +
                     FormatBytes(bytes_) + ", " + FormatBytes(static_cast<std::uint64_t>(rate)) +
                     "/s";
  if (done_ > 0 && done_ < listed_) {
    // Entries, not bytes, are known ahead: the walk does not read sizes.
    const double left = elapsed * static_cast<double>(listed_ - done_) / static_cast<double>(done_);
    line += ", " + FormatDuration(left) + " left";
  }
  std::fprintf(out_, "\r%s%s", EraseLine(width_).c_str(), line.c_str());
  std::fflush(out_);
  width_ = line.size();
  drawn_ = true;
  lastDraw_ = now;
}

void ProgressLine::finish() {
  if (!drawn_)
    return;
  std::fprintf(out_, "\r%s", EraseLine(width_).c_str());
  std::fflush(out_);
}

} // namespace tailsnip::cli
