// The name of a copy written beside its entry: ".tailsnip-PID-TOKEN-N.ENTRY.tmp",
// the number of the process that made it, a token drawn at random for that
// process (16 hex digits), a count within it and the entry's place in its
// run's list. Made and recognised here alone, so that the copies a stopped
// run left are found by the very rule that named them. A run records its
// process and token before its first copy; nobody can guess a token, so no
// user's file is taken for a copy. The entry's place tells a stopped run's
// resume which entry a copy belongs to: what an exchange left under the
// copy's name is known for the entry's old self, or for another program's
// save, only by comparing it with that entry.
#ifndef TAILSNIP_ENGINE_COPYNAME_H
#define TAILSNIP_ENGINE_COPYNAME_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tailsnip {

// The process that makes copies, as a journal records it.
struct CopyMaker {
  std::uint32_t process = 0;
  std::string token; // empty where recorded by a program that drew none
  bool operator==(const CopyMaker &other) const {
    return process == other.process && token == other.token;
  }
};

// 64 bits from the system's random source (getrandom, or RtlGenRandom on
// Windows, behind std::random_device), as 16 hexadecimal digits.
std::string DrawToken();

// This process, with its token, drawn once.
CopyMaker ThisCopyMaker();

// Whether `token` is spelt as a drawn one is.
bool IsCopyToken(std::string_view token);

// The name of the `count`th copy `maker` made, of the `entry`th entry of
// its run's list.
std::string CopyName(const CopyMaker &maker, unsigned count, std::size_t entry);

// The name of this process's next copy, of the `entry`th entry of its
// run's list: CopyName with a count of its own, shared by every thread.
std::string NextCopyName(std::size_t entry);

// Whether `name` is one CopyName gives `maker`'s copies, or one an earlier
// program gave them without the entry; never for a maker without a token.
// Then `entry` is the entry's place, where the name has it.
bool IsCopyName(std::string_view name, const CopyMaker &maker, std::optional<std::size_t> &entry);

// The name under which this process keeps an earlier simple backup named
// `backup` aside while it makes the next: a copy's name with the backup's
// own after the count, ".tailsnip-PID-TOKEN-N-BACKUP.tmp", so that a
// stopped run's resume knows where it belongs.
std::string NextAsideName(std::string_view backup);

// Whether `name` is one NextAsideName gives `maker`; then `backup` is the
// name it was kept aside from.
bool IsAsideName(std::string_view name, const CopyMaker &maker, std::string &backup);

// Whether `name` has the shape of a copy's, of any process and any earlier
// spelling (".tailsnip-*.tmp"): a run never shortens such a file, whether it
// is another run's copy or a user's file named like one.
bool LooksLikeCopy(std::string_view name);

} // namespace tailsnip

#endif
