#include "engine/run/RunFiles.h"

#include "engine/trim/CopyName.h"

#include <algorithm>
#include <cctype>

namespace tailsnip {

namespace {

constexpr std::string_view kJournalEnd = ".journal";
constexpr std::string_view kDraftEnd = ".tmp";

// Consumes the digits at the start of `text`; false when there are none.
bool SkipDigits(std::string_view &text) {
  const std::size_t digits = std::min(text.find_first_not_of("0123456789"), text.size());
  text.remove_prefix(digits);
  return digits > 0;
}

bool SkipText(std::string_view &text, std::string_view expected) {
  if (text.substr(0, expected.size()) != expected)
    return false;
  text.remove_prefix(expected.size());
  return true;
}

// A journal's name, its draft's (JournalDraftName), or a registry
// marker's: the journal's name without its end, or with a token in its
// place (Registry.h).
bool IsStateFileName(std::string_view name) {
  if (!SkipDigits(name) || !SkipText(name, "-") || !SkipDigits(name))
    return false;
  if (name.empty() || (name[0] == '-' && IsCopyToken(name.substr(1))))
    return true;
  return SkipText(name, kJournalEnd) && (name.empty() || name == kDraftEnd);
}

// Journal folders are told by name whatever its case: Windows ignores it.
bool IsJournalFolderName(std::string_view name) {
  const std::string_view expected = kJournalFolderName;
  return name.size() == expected.size() &&
         std::equal(name.begin(), name.end(), expected.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) ==
                  std::tolower(static_cast<unsigned char>(b));
         });
}

} // namespace

std::string JournalName(const fs::FileIdentity &identity) {
  return std::to_string(identity.volume) + "-" + std::to_string(identity.index) +
         std::string(kJournalEnd);
}

std::string JournalDraftName(const std::string &journalName) {
  return journalName + std::string(kDraftEnd);
}

bool IsJournalName(std::string_view name) {
  return SkipDigits(name) && SkipText(name, "-") && SkipDigits(name) &&
         SkipText(name, kJournalEnd) && name.empty();
}

bool IsRunsOwnFile(std::string_view path) {
  const std::size_t separator = path.find_last_of(kSeparators);
  const std::string_view name = NameOf(path);
  if (LooksLikeCopy(name))
    return true;
  if (separator == std::string_view::npos || !IsStateFileName(name))
    return false;
  return IsJournalFolderName(NameOf(path.substr(0, separator)));
}

} // namespace tailsnip
