// What shortening must do to a file's bytes, stated as plainly as possible
// and independently of the engine, so the engine can be checked against it.
#ifndef TAILSNIP_TESTS_REFERENCEMODEL_H
#define TAILSNIP_TESTS_REFERENCEMODEL_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tailsnip::reference {

// A file cut into lines: each line's content without its line end, and the
// offset just past that line's end.
struct Line {
  std::string content;
  std::size_t end = 0;
};

// A line feed ends a line, and a carriage return right before it is part of
// that line end; bytes after the last line feed form one more line.
inline std::vector<Line> SplitLines(const std::string &bytes) {
  std::vector<Line> lines;
  Line current;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] != '\n') {
      current.content += bytes[i];
      continue;
    }
    if (!current.content.empty() && current.content.back() == '\r')
      current.content.pop_back();
    current.end = i + 1;
    lines.push_back(current);
    current = Line();
  }
  if (!current.content.empty()) {
    current.end = bytes.size();
    lines.push_back(current);
  }
  return lines;
}

// The bytes with a carriage return put before every line feed that has
// none: how a file's line ends are written out.
inline std::string LineEndsAsCrLf(const std::string &bytes) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r'))
      out += '\r';
    out += bytes[i];
  }
  return out;
}

// How many leading bytes hold every line but the last `drop`.
inline std::size_t KeptLength(const std::string &bytes, std::uint64_t drop = 1) {
  const std::vector<Line> lines = SplitLines(bytes);
  return lines.size() <= drop ? 0 : lines[static_cast<std::size_t>(lines.size() - drop - 1)].end;
}

// Every line but the last `drop`, each ended by CR LF, or with its own line
// end where `keepLineEnds`. A file without lines (an empty one) is left as
// it is, which this gives too.
inline std::string Shortened(const std::string &bytes, std::uint64_t drop = 1,
                             bool keepLineEnds = false) {
  const std::vector<Line> lines = SplitLines(bytes);
  std::string out;
  for (std::size_t i = 0; i + drop < lines.size(); ++i)
    out += keepLineEnds ? bytes.substr(i == 0 ? 0 : lines[i - 1].end,
                                       lines[i].end - (i == 0 ? 0 : lines[i - 1].end))
                        : lines[i].content + "\r\n";
  return out;
}

} // namespace tailsnip::reference

#endif
