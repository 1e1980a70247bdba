// The name of a copy written beside its entry: ".tailsnip-PID-N.tmp", the
// number of the process that made it and a count within that process. Made
// and recognised here alone, so that the copies a stopped run left are found
// by the very rule that named them, and no other file is ever taken for one.
#ifndef TAILSNIP_ENGINE_COPYNAME_H
#define TAILSNIP_ENGINE_COPYNAME_H

#include <cstdint>
#include <string>
#include <string_view>

namespace tailsnip {

// The name of the `count`th copy made by `process`.
std::string CopyName(std::uint32_t process, unsigned count);

// The name of `process`'s next copy: CopyName with a count of its own,
// shared by every thread.
std::string NextCopyName(std::uint32_t process);

// Whether `name` is one CopyName gives `process`'s copies.
bool IsCopyName(std::string_view name, std::uint32_t process);

} // namespace tailsnip

#endif
