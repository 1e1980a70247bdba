// Runs the fuzz target once on every file of the given corpus folders, so
// the seed corpus is a regression test wherever libFuzzer is not at hand.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

int main(int argc, char **argv) {
  LLVMFuzzerInitialize(&argc, &argv);
  long inputs = 0;
  for (int i = 1; i < argc; ++i)
    for (const auto &item : std::filesystem::directory_iterator(argv[i])) {
      std::ifstream in(item.path(), std::ios::binary);
      std::ostringstream bytes;
      bytes << in.rdbuf();
      const std::string input = bytes.str();
      LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(input.data()), input.size());
      ++inputs;
    }
  std::printf("%ld inputs replayed\n", inputs);
  return inputs > 0 ? 0 : 1;
}
