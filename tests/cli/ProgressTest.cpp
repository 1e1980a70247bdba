// The progress line's figures, on a clock the test moves.
#include "cli/Progress.h"

#include <gtest/gtest.h>

#include <string>

namespace tailsnip::cli {
namespace {

std::string LastLine(std::FILE *file) {
  std::rewind(file);
  std::string all;
  for (int c; (c = std::fgetc(file)) != EOF;)
    all += static_cast<char>(c);
  const std::size_t start = all.rfind('\n', all.size() - 2);
  return all.substr(start == std::string::npos ? 0 : start + 1);
}

TEST(ProgressLineTest, TimeLeftFollowsTheEntriesDoneNotTheWaitBeforeThem) {
  std::FILE *const out = std::tmpfile();
  ASSERT_NE(nullptr, out);
  ProgressLine::Clock::time_point now{};
  ProgressLine progress(out, {}, /*onTerminal=*/false, [&] { return now; });
  progress.addListed(150000);
  now += std::chrono::seconds(20); // the journal of a long list is written
  for (int i = 0; i <= 1000; ++i, now += std::chrono::milliseconds(1))
    progress.entryDone(0);
  EXPECT_EQ("1001/150000 entries, 0 B, 1000 entries/s, 2:29 left\n", LastLine(out));
  std::fclose(out);
}

} // namespace
} // namespace tailsnip::cli
