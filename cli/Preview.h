// How a verbose dry run shows the lines each file would lose.
#ifndef TAILSNIP_CLI_PREVIEW_H
#define TAILSNIP_CLI_PREVIEW_H

#include "engine/Outcome.h"

#include <cstddef>
#include <string>
#include <vector>

namespace tailsnip::cli {

// The text lines that show `lost`: each line it shows, indented and quoted
// as QuoteName quotes names, so that none can move the cursor or send the
// terminal a sequence of its own, with "..." after one that goes on; then,
// for the lines it does not show, "... and N more lines". With `columns`,
// each is cut to fit a terminal that wide without wrapping, "..." marking
// the cut; with 0, none is cut.
std::vector<std::string> ShowLostLines(const LostLines &lost, std::size_t columns);

} // namespace tailsnip::cli

#endif
