// make-text: writes the benchmark's input.
//
//   make-text tree DIR       10,000 files of 1 to 6 KiB in 100 folders of DIR
//   make-text file PATH MIB [crlf]
//                            one file of MIB MiB of text with LF line ends,
//                            or CR LF ones
//
// In the tree, files have LF line ends, CR LF line ends or both mixed, and
// one in ten ends without a line end, as files collected from many places do.
#include "TextSample.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

constexpr int kFolders = 100;
constexpr int kFilesPerFolder = 100;
constexpr std::size_t kBlock = std::size_t{1} << 20;

bool WriteFile(const std::filesystem::path &path, const std::string &content) {
  std::ofstream file(path, std::ios::binary);
  file.write(content.data(), static_cast<std::streamsize>(content.size()));
  file.close();
  return !file.fail();
}

std::string Numbered(const char *prefix, int number, const char *suffix) {
  char name[64];
  std::snprintf(name, sizeof name, "%s%03d%s", prefix, number, suffix);
  return name;
}

int MakeTree(const std::filesystem::path &root) {
  bench::TextSample sample(20240517);
  std::string content;
  for (int folder = 0; folder < kFolders; ++folder) {
    const std::filesystem::path dir = root / Numbered("folder-", folder, "");
    std::filesystem::create_directories(dir);
    for (int file = 0; file < kFilesPerFolder; ++file) {
      const std::uint32_t style = sample.below(20);
      const bench::LineEnds ends = style < 9    ? bench::LineEnds::Lf
                                   : style < 18 ? bench::LineEnds::CrLf
                                                : bench::LineEnds::Mixed;
      const bool endsWithLineEnd = sample.below(10) != 0;
      const std::size_t size = 1024 + sample.below(5 * 1024);
      content.clear();
      while (content.size() < size)
        sample.appendLine(content, ends);
      if (!endsWithLineEnd)
        sample.appendLine(content, ends, false);
      if (!WriteFile(dir / Numbered("file-", file, ".txt"), content)) {
        std::fprintf(stderr, "make-text: cannot write in %s\n", dir.c_str());
        return 1;
      }
    }
  }
  return 0;
}

int MakeFile(const std::filesystem::path &path, std::size_t mebibytes, bench::LineEnds ends) {
  bench::TextSample sample(19700101);
  std::ofstream file(path, std::ios::binary);
  std::string block;
  block.reserve(kBlock + 256);
  for (std::size_t written = 0; written < (mebibytes << 20);) {
    block.clear();
    while (block.size() < kBlock)
      sample.appendLine(block, ends);
    file.write(block.data(), static_cast<std::streamsize>(block.size()));
    written += block.size();
  }
  file.close();
  if (file.fail()) {
    std::fprintf(stderr, "make-text: cannot write %s\n", path.c_str());
    return 1;
  }
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  const std::string what = argc > 1 ? argv[1] : "";
  if (what == "tree" && argc == 3)
    return MakeTree(argv[2]);
  const std::string style = argc == 5 ? argv[4] : "";
  if (what == "file" && (argc == 4 || style == "crlf"))
    return MakeFile(argv[2], std::strtoul(argv[3], nullptr, 10),
                    style == "crlf" ? bench::LineEnds::CrLf : bench::LineEnds::Lf);
  std::fprintf(stderr, "usage: make-text tree DIR | make-text file PATH MIB [crlf]\n");
  return 2;
}
