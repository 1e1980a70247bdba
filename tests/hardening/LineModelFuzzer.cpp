// Arbitrary bytes, cut into arbitrary chunks, through the line model and
// through the trimming of a real file, each compared with the reference
// model. The first input byte chooses the chunk sizes and the settings (how
// many lines go, whether line ends are kept); the rest is the file.
#include "ReferenceModel.h"

#include "engine/trim/LineModel.h"
#include "engine/trim/TrimFile.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

using namespace tailsnip;

std::filesystem::path workFolder;
int startFolder = -1;

void RemoveWorkFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(workFolder, ignored);
}

// Aborting is how a fuzz target reports; libFuzzer then keeps the input.
[[noreturn]] void Mismatch(const char *what, const std::string &file) {
  std::fprintf(stderr, "line model fuzzer: %s differs from the reference for a %zu-byte file\n",
               what, file.size());
  // Back to where libFuzzer was started, which keeps the input there.
  if (::fchdir(startFolder) == 0)
    RemoveWorkFolder();
  std::abort();
}

// Chunk sizes from 0 to `largest`, from a small generator, so that chunk
// boundaries fall everywhere, between a carriage return and a line feed too.
class ChunkSizes {
public:
  ChunkSizes(std::uint8_t seed, std::size_t largest)
      : state_(seed * 2654435761u + 1), largest_(largest) {}
  std::size_t next() {
    state_ = state_ * 1103515245u + 12345u;
    return (state_ >> 16) % (largest_ + 1);
  }

private:
  std::uint32_t state_;
  std::size_t largest_;
};

// Each chunk is copied to a buffer of exactly its size and translated into
// one of exactly twice its size, so that any access outside them is caught.
std::string TranslateInChunks(const std::string &file, ChunkSizes &sizes) {
  std::string out;
  bool afterCarriageReturn = false;
  for (std::size_t at = 0; at < file.size();) {
    const std::size_t size = std::min(sizes.next(), file.size() - at);
    const std::unique_ptr<char[]> in(new char[size]);
    const std::unique_ptr<char[]> translated(new char[2 * size]);
    std::copy_n(file.data() + at, size, in.get());
    out.append(translated.get(),
               WriteLineEndsAsCrLf(in.get(), size, translated.get(), afterCarriageReturn));
    at += size;
  }
  return out;
}

// Feeds the file backwards in chunks, some of them empty, as a file is read
// from its end.
std::uint64_t SearchBackwards(const std::string &file, std::uint64_t lines, ChunkSizes &sizes) {
  LastLineSearch search(lines);
  for (std::size_t end = file.size(); end > 0 && !search.found();) {
    const std::size_t size = std::min(std::max<std::size_t>(sizes.next(), 1), end);
    const std::size_t start = end - size;
    const std::unique_ptr<char[]> block(new char[size]);
    std::copy_n(file.data() + start, size, block.get());
    search.feed(block.get(), size, start);
    if (sizes.next() == 0)
      search.feed(block.get(), 0, start);
    end = start;
  }
  return search.keep();
}

std::string ReadFile(const char *path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// TrimFile writes its copy to the current directory, so it runs in a folder
// of its own; the fuzzer's corpus and findings stay where they were asked.
void CheckTrimmedFile(const std::string &file, std::size_t chunk, const TrimSettings &settings) {
  static const char kEntry[] = "entry";
  if (::chdir(workFolder.c_str()) != 0)
    std::abort();
  {
    std::ofstream out(kEntry, std::ios::binary | std::ios::trunc);
    out.write(file.data(), static_cast<std::streamsize>(file.size()));
  }
  TrimBuffer buffer(chunk);
  const TrimResult result = TrimFile(kEntry, buffer, TrimMode::Replace, settings);
  const std::string expected = reference::Shortened(file, settings.lines, settings.keepLineEnds);
  const Outcome expectedOutcome = file.empty() ? Outcome::LeftUnchanged : Outcome::Shortened;
  if (result.outcome != expectedOutcome)
    Mismatch("TrimFile's outcome", file);
  if (ReadFile(kEntry) != expected)
    Mismatch("the trimmed file", file);
  if (result.outcome == Outcome::Shortened && result.bytesWritten != expected.size())
    Mismatch("TrimFile's count of bytes written", file);
  std::remove(kEntry);
  if (::fchdir(startFolder) != 0)
    std::abort();
}

} // namespace

// The folder for TrimFile, in memory where possible.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  const std::filesystem::path parent = std::filesystem::is_directory("/dev/shm")
                                           ? std::filesystem::path("/dev/shm")
                                           : std::filesystem::temp_directory_path();
  workFolder = parent / ("tailsnip-fuzz-" + std::to_string(::getpid()));
  std::filesystem::create_directories(workFolder);
  startFolder = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::atexit(RemoveWorkFolder);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0)
    return 0;
  const std::uint8_t seed = data[0];
  const std::string file(reinterpret_cast<const char *>(data) + 1, size - 1);
  // Mostly tiny chunks, where boundaries are many; sometimes large ones.
  const std::size_t largestChunk = seed < 192 ? 1 + seed % 16 : 1 + (seed % 64) * 64;
  // Moduli prime to each other and to 16, so every pairing comes up.
  const TrimSettings settings{1 + seed % 3u, seed % 5 < 2, {}};

  ChunkSizes sizes(seed, largestChunk);
  const std::uint64_t keep = SearchBackwards(file, settings.lines, sizes);
  if (keep != reference::KeptLength(file, settings.lines))
    Mismatch("LastLineSearch's kept length", file);
  if (TranslateInChunks(file, sizes) != reference::LineEndsAsCrLf(file))
    Mismatch("WriteLineEndsAsCrLf's translation", file);
  if (TranslateInChunks(file.substr(0, keep), sizes) != reference::Shortened(file, settings.lines))
    Mismatch("the translation of the kept lines", file);
  CheckTrimmedFile(file, largestChunk, settings);
  return 0;
}
