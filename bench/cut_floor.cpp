// cut-floor DIR: the least work a durable cut of every file under DIR in
// place costs. Each file is opened for writing, read from its end back to
// where its last line starts, and cut there with one truncation, one file
// after the other; one flush of the volume at the end makes every cut
// durable. No lease, no identity check, no journal: what --keep-line-ends
// does with none of its safety.
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// The length of the file's part before its last line: after the last line
// feed that is not its final byte.
bool KeptLength(int fd, off_t size, std::vector<char> &buffer, off_t &kept) {
  off_t end = size > 0 ? size - 1 : 0; // a final line feed ends the last line
  while (end > 0) {
    const off_t start =
        end > static_cast<off_t>(buffer.size()) ? end - static_cast<off_t>(buffer.size()) : 0;
    const ssize_t got = ::pread(fd, buffer.data(), static_cast<std::size_t>(end - start), start);
    if (got != end - start)
      return false;
    for (off_t at = end - start; at > 0; --at)
      if (buffer[static_cast<std::size_t>(at - 1)] == '\n') {
        kept = start + at;
        return true;
      }
    end = start;
  }
  kept = 0;
  return true;
}

bool Cut(const std::filesystem::path &path, std::vector<char> &buffer) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0)
    return false;
  struct stat status;
  off_t kept = 0;
  const bool done = ::fstat(fd, &status) == 0 && KeptLength(fd, status.st_size, buffer, kept) &&
                    ::ftruncate(fd, kept) == 0;
  return ::close(fd) == 0 && done;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: cut-floor DIR\n");
    return 2;
  }
  std::vector<char> buffer(4096);
  std::size_t files = 0;
  for (const auto &entry : std::filesystem::recursive_directory_iterator(argv[1])) {
    if (!entry.is_regular_file())
      continue;
    if (!Cut(entry.path(), buffer)) {
      std::perror(entry.path().c_str());
      return 1;
    }
    ++files;
  }
  const int volume = ::open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (volume < 0 || ::syncfs(volume) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  ::close(volume);
  std::printf("%zu files cut\n", files);
  return 0;
}
