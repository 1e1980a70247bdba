// Runs whose memory runs out. This binary replaces operator new so that,
// once armed, every allocation from a given size on fails.
#include "engine/run/RunTrim.h"
#include "engine/trim/TrimFile.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

namespace {
std::size_t gFailFrom = 0; // 0: allocations never fail
} // namespace

void *operator new(std::size_t size) {
  if (gFailFrom != 0 && size >= gFailFrom)
    throw std::bad_alloc();
  if (void *memory = std::malloc(size ? size : 1))
    return memory;
  throw std::bad_alloc();
}
void *operator new[](std::size_t size) { return operator new(size); }
void operator delete(void *memory) noexcept { std::free(memory); }
void operator delete[](void *memory) noexcept { std::free(memory); }
void operator delete[](void *memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void *memory, std::size_t) noexcept { std::free(memory); }

namespace tailsnip {
namespace {

using testing::ReadBytes;
using testing::Scratch;

class OutOfMemoryTest : public ::testing::Test {
protected:
  void TearDown() override { gFailFrom = 0; }
  Scratch scratch_;
};

TEST_F(OutOfMemoryTest, ListThatCannotGrowStopsTheRunBeforeAnyChange) {
  for (int i = 0; i < 600; ++i)
    scratch_.file("f" + std::to_string(i), "a\nb\n");
  const std::string folder = testing::Native(scratch_.tree());
  std::string notice;
  std::size_t notices = 0;
  RunReport report;
  gFailFrom = 16 << 10; // the list outgrows this long before 600 entries
  report = RunTrim(folder, [&](const std::string &text) {
    notice = text;
    ++notices;
  });
  gFailFrom = 0;
  EXPECT_TRUE(report.outOfMemory);
  EXPECT_EQ(1u, notices);
  EXPECT_EQ("finished!\n\nThe list of files outgrew the memory; no file was changed.", notice);
  for (int i = 0; i < 600; ++i)
    ASSERT_EQ("a\nb\n", ReadBytes(scratch_.tree() / ("f" + std::to_string(i)))) << i;
}

TEST_F(OutOfMemoryTest, FileWhoseBufferCannotBeHadIsKeptAndNamed) {
  scratch_.file("f", "a\nb\n");
  const std::string folder = testing::Native(scratch_.tree());
  std::string notice;
  gFailFrom = 1 << 20; // the run's read and write buffer
  const RunReport report = RunTrim(folder, [&](const std::string &text) { notice = text; });
  gFailFrom = 0;
  EXPECT_TRUE(report.outOfMemory);
  EXPECT_EQ(0u, report.shortened);
  EXPECT_EQ(0u, notice.find("finished!\n\nMemory ran out;")) << notice;
  EXPECT_EQ("a\nb\n", ReadBytes(scratch_.tree() / "f"));
}

} // namespace
} // namespace tailsnip
