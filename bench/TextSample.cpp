#include "TextSample.h"

#include <array>
#include <cctype>

namespace bench {

namespace {

const std::array<const char *, 64> kWords = {
    "the",     "of",       "and",      "to",       "in",      "a",
    "is",      "that",     "for",      "it",       "as",      "was",
    "with",    "be",       "by",       "on",       "not",     "he",
    "this",    "are",      "or",       "his",      "from",    "at",
    "which",   "but",      "have",     "an",       "had",     "they",
    "you",     "were",     "their",    "one",      "all",     "we",
    "can",     "her",      "has",      "there",    "been",    "if",
    "more",    "when",     "will",     "would",    "who",     "so",
    "file",    "folder",   "report",   "customer", "invoice", "schedule",
    "meeting", "quarterly", "warehouse", "delivery", "payment", "account",
    "request", "response", "database", "settings"};

const std::array<const char *, 4> kLevels = {"INFO", "DEBUG", "WARN", "ERROR"};

void AppendNumber(std::string &out, std::uint32_t value, int width) {
  std::array<char, 10> digits{};
  int count = 0;
  do {
    digits[static_cast<std::size_t>(count++)] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0 || count < width);
  while (count > 0)
    out += digits[static_cast<std::size_t>(--count)];
}

} // namespace

void TextSample::appendWords(std::string &out, std::uint32_t count) {
  for (std::uint32_t i = 0; i < count; ++i) {
    if (i > 0)
      out += ' ';
    out += kWords[below(kWords.size())];
  }
}

void TextSample::appendLine(std::string &out, LineEnds ends, bool ended) {
  const std::uint32_t kind = below(100);
  if (kind < 55) { // a sentence
    const std::size_t start = out.size();
    appendWords(out, 4 + below(16));
    out[start] = static_cast<char>(std::toupper(static_cast<unsigned char>(out[start])));
    out += below(5) == 0 ? ',' : '.';
  } else if (kind < 80) { // a log line
    out += "2024-";
    AppendNumber(out, 1 + below(12), 2);
    out += '-';
    AppendNumber(out, 1 + below(28), 2);
    out += ' ';
    AppendNumber(out, below(24), 2);
    out += ':';
    AppendNumber(out, below(60), 2);
    out += ':';
    AppendNumber(out, below(60), 2);
    out += ' ';
    out += kLevels[below(kLevels.size())];
    out += " worker-";
    AppendNumber(out, below(16), 1);
    out += ": ";
    appendWords(out, 2 + below(8));
    out += " took ";
    AppendNumber(out, below(5000), 1);
    out += " ms";
  } else if (kind < 93) { // a line of code
    out.append(4 * below(4), ' ');
    out += kWords[below(kWords.size())];
    out += "_count = compute(";
    out += kWords[below(kWords.size())];
    out += '[';
    AppendNumber(out, below(100), 1);
    out += "], ";
    AppendNumber(out, below(1000), 1);
    out += ");";
  } // else an empty line
  if (!ended)
    return;
  if (ends == LineEnds::CrLf || (ends == LineEnds::Mixed && below(2) == 0))
    out += '\r';
  out += '\n';
}

std::string MakeText(std::uint32_t seed, std::size_t mebibytes, LineEnds ends) {
  TextSample sample(seed);
  std::string text;
  const std::size_t size = mebibytes << 20;
  text.reserve(size + 256);
  while (text.size() < size)
    sample.appendLine(text, ends);
  return text;
}

} // namespace bench
