#include "cli/Progress.h"

#include "cli/Console.h"

#include <cmath>
#include <utility>

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

namespace {

// A rate taken over less than this swings wildly and, at the start, would
// promise hours for a run about to end.
constexpr std::chrono::seconds kSteadyRate{1};

} // namespace

ProgressLine::ProgressLine(std::FILE *out, Clock::duration delay, bool onTerminal, Now now)
    : out_(out), onTerminal_(onTerminal), now_(std::move(now)), firstDraw_(now_() + delay) {}

void ProgressLine::addListed(std::size_t listed) { listed_ += listed; }

void ProgressLine::entryDone(std::uint64_t bytesRead) {
  const Clock::time_point now = now_();
  // Timed from the end of the listing, the rate would count the writing of
  // the run's journal and the first batch's flush as if entries took them.
  if (done_++ == 0)
    startedAt_ = now;
  bytes_ += bytesRead;
  const Clock::duration interval =
      onTerminal_ ? Clock::duration(std::chrono::milliseconds(100)) : Clock::duration(kSteadyRate);
  // Erased meanwhile or not, the line is drawn no oftener.
  if (now < firstDraw_ || now - lastDraw_ < interval)
    return;
  draw(now);
}

void ProgressLine::draw(Clock::time_point now) {
  std::string line =
      std::to_string(done_) + "/" + std::to_string(listed_) + " entries, " + FormatBytes(bytes_);
  if (now - startedAt_ >= kSteadyRate) {
    const double elapsed = std::chrono::duration<double>(now - startedAt_).count();
    const double rate = static_cast<double>(done_ - 1) / elapsed;
    line += ", " + std::to_string(std::lround(rate)) + " entries/s";
    // Entries, not bytes, are known ahead: the walk does not read sizes.
    if (rate > 0 && done_ < listed_)
      line += ", " + FormatDuration(static_cast<double>(listed_ - done_) / rate) + " left";
  }
  if (onTerminal_) {
    // A line as wide as the terminal would leave the cursor on the next one
    // on some terminals, and the carriage return could not take it back.
    const std::size_t columns = TerminalWidth(out_);
    if (columns > 0 && line.size() >= columns)
      line.resize(columns - 1);
    std::fprintf(out_, "\r%s%s", EraseLine(width_).c_str(), line.c_str());
  } else
    std::fprintf(out_, "%s\n", line.c_str());
  std::fflush(out_);
  width_ = line.size();
  drawn_ = true;
  lastDraw_ = now;
}

void ProgressLine::finish() {
  if (!drawn_ || !onTerminal_)
    return;
  std::fprintf(out_, "\r%s", EraseLine(width_).c_str());
  std::fflush(out_);
  drawn_ = false;
}

} // namespace tailsnip::cli
