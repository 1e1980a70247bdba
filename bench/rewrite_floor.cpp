// rewrite-floor [--no-flush] DIR: the least work a safe replacement of
// every file under DIR costs. Each file is read, written unchanged to
// "temp.txt" in the current directory, flushed to disk and renamed over
// itself, one file after the other, as a trimming run does but without
// looking at a single byte. With --no-flush the flush is left out, which
// shows what the flushes alone cost on a disk.
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

bool CopyAll(int from, int to, std::vector<char> &buffer) {
  for (;;) {
    const ssize_t got = ::read(from, buffer.data(), buffer.size());
    if (got <= 0)
      return got == 0;
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = ::write(to, buffer.data() + done, static_cast<std::size_t>(got - done));
      if (put < 0)
        return false;
      done += put;
    }
  }
}

bool Rewrite(const std::filesystem::path &path, bool flush, std::vector<char> &buffer) {
  const int input = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (input < 0)
    return false;
  const int copy = ::open("temp.txt", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  bool done = copy >= 0 && CopyAll(input, copy, buffer) && (!flush || ::fsync(copy) == 0);
  done = copy >= 0 && ::close(copy) == 0 && done;
  ::close(input);
  return done && ::rename("temp.txt", path.c_str()) == 0;
}

} // namespace

int main(int argc, char **argv) {
  const bool flush = !(argc == 3 && std::string(argv[1]) == "--no-flush");
  if (argc != (flush ? 2 : 3)) {
    std::fprintf(stderr, "usage: rewrite-floor [--no-flush] DIR\n");
    return 2;
  }
  std::vector<char> buffer(std::size_t{1} << 20);
  std::size_t files = 0;
  for (const auto &entry : std::filesystem::recursive_directory_iterator(argv[argc - 1])) {
    if (!entry.is_regular_file())
      continue;
    if (!Rewrite(entry.path(), flush, buffer)) {
      std::perror(entry.path().c_str());
      return 1;
    }
    ++files;
  }
  std::printf("%zu files rewritten\n", files);
  return 0;
}
