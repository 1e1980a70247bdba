// tailsnip-cli's command line: its options, the files they name, and the
// checks made of them before anything is touched.
#ifndef TAILSNIP_CLI_OPTIONS_H
#define TAILSNIP_CLI_OPTIONS_H

#include "cli/Patterns.h"
#include "engine/WorkList.h"
#include "engine/trim/LineModel.h"

#include <cstddef>
#include <limits>
#include <string>
#include <vector>

namespace tailsnip::cli {

struct Options {
  TrimSettings trim;
  AskedSettings asked; // those of `trim` the options gave
  bool dryRun = false;
  bool nullSeparated = false;
  bool quiet = false;
  bool forceProgress = false;
  bool verbose = false;
  bool oneFileSystem = false;
  bool resume = false;
  bool restart = false;
  bool noPreserveRoot = false;
  std::vector<Pattern> excludes;
  std::vector<Pattern> includes;
  bool includesGiven = false; // even where the files named held none: then no file is chosen
  std::size_t maxDepth = std::numeric_limits<std::size_t>::max();
  // The FOLDER and FILE operands, as given: a list from find may name
  // millions, which a WorkList holds in a fraction of the memory.
  WorkList operands;
  // Whether they came from --files0-from, and the file it named ("-":
  // standard input), rather than from the command line.
  bool fromList = false;
  std::string operandList;
};

// Returned by ParseOptions when a run is to follow.
constexpr int kGo = -1;

// Fills `options` from the command line, reading the files its options
// name. Returns kGo, or the status to end with: after --help or --version,
// or on a usage error, which it says.
int ParseOptions(int argc, char **argv, Options &options);

} // namespace tailsnip::cli

#endif
