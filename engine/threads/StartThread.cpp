// Alone in its file: a test program that defines StartThread itself keeps
// the linker from taking this one.
#include "engine/threads/Workers.h"

#include <utility>

namespace tailsnip {

std::thread StartThread(std::function<void()> body) { return std::thread(std::move(body)); }

} // namespace tailsnip
