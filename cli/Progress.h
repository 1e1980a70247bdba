// The progress line tailsnip-cli draws on a terminal during long runs.
#ifndef TAILSNIP_CLI_PROGRESS_H
#define TAILSNIP_CLI_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace tailsnip::cli {

// "1.5 MiB", "512 B": sizes the way people read them.
std::string FormatBytes(std::uint64_t bytes);

// "0:07", "1:02:03": a duration in whole seconds.
std::string FormatDuration(double seconds);

class ProgressLine {
public:
  using Clock = std::chrono::steady_clock;
  using Now = std::function<Clock::time_point()>;

  // Draws on `out` once `delay` has passed since construction: on a
  // terminal one line redrawn at most ten times a second, cut to the
  // terminal's width so that it never wraps, elsewhere a plain line a
  // second, for logs. A line never drawn costs nothing but counting.
  // `now` tells the time.
  ProgressLine(std::FILE *out, Clock::duration delay, bool onTerminal, Now now = Clock::now);

  // A run's list is built: its entries are counted from here, and the rate
  // from the first entry done on.
  void addListed(std::size_t listed);
  void entryDone(std::uint64_t bytesRead);
  // Erases the line on a terminal, if one was drawn.
  void finish();

private:
  void draw(Clock::time_point now);

  std::FILE *out_;
  bool onTerminal_;
  Now now_;
  Clock::time_point firstDraw_;
  Clock::time_point startedAt_; // when the first entry was done
  Clock::time_point lastDraw_;
  bool drawn_ = false;
  std::size_t width_ = 0; // of the line drawn last
  std::size_t listed_ = 0;
  std::size_t done_ = 0;
  std::uint64_t bytes_ = 0;
};

} // namespace tailsnip::cli

#endif
