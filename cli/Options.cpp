#include "cli/Options.h"

#include "cli/Console.h"
#include "cli/Count.h"
#include "cli/Errors.h"
#include "cli/Names.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <getopt.h>
#include <string_view>
#include <utility>

namespace tailsnip::cli {

namespace {

const char kUsage[] = "usage: tailsnip-cli [OPTION]... FOLDER|FILE...\n"
                      "  or:  tailsnip-cli [OPTION]... --files0-from=F\n";

const char kHelp[] =
    "Removes the last line from every file beneath each FOLDER, at any depth,\n"
    "and from each FILE.\n"
    "\n"
    "Each file is replaced by a copy without its last line, with CR LF line\n"
    "ends: the copy is written beside it (.tailsnip-PID-TOKEN-N.ENTRY.tmp),\n"
    "flushed to disk together with others, and renamed over it. Where the\n"
    "lines kept are the file's start as it is (with --keep-line-ends, or where\n"
    "they end in CR LF already), a file with one name is cut in place instead,\n"
    "keeping its inode, unless --backup is given. Without --lines and\n"
    "--keep-line-ends, each file ends up as the Tailsnip dialog leaves it.\n"
    "Empty files are unchanged; folders, links, pipes, devices and the files\n"
    "of /proc and /sys are left alone; read-only files are kept and reported.\n"
    "\n"
    "  -l, --lines=N            remove the last N lines (default 1); a file of N\n"
    "                           lines or fewer becomes empty. N may end in a\n"
    "                           multiplier: b 512, K 1024, KB 1000, M, MB and so\n"
    "                           on\n"
    "  -k, --keep-line-ends     leave every byte before the removed lines as it\n"
    "                           is, line ends too, rather than writing CR LF\n"
    "      --backup[=CONTROL]   keep each file as it was under a backup's name\n"
    "  -b                       like --backup, without an argument\n"
    "  -S, --suffix=SUFFIX      end simple backups' names with SUFFIX, not '~'\n"
    "  -n, --dry-run            list the files that would be shortened; change\n"
    "                           nothing\n"
    "  -0, --null               with --dry-run: end each listed name with a NUL,\n"
    "                           not a line feed, and print the notice on standard\n"
    "                           error\n"
    "  -q, --quiet              no progress line and no summary\n"
    "      --progress           show progress from the start, terminal or not\n"
    "  -v, --verbose            print each entry's outcome on standard error;\n"
    "                           with --dry-run, also the lines each file would\n"
    "                           lose\n"
    "      --exclude=PATTERN    leave out entries that match PATTERN; an excluded\n"
    "                           folder is not entered\n"
    "      --exclude-from=FILE  read exclude patterns from FILE, one a line\n"
    "      --include=PATTERN    shorten only files that match PATTERN (an\n"
    "                           exclude pattern wins, whatever the order)\n"
    "      --include-from=FILE  read include patterns from FILE, one a line\n"
    "      --max-depth=N        list entries at most N levels below each FOLDER\n"
    "                           (1: its own entries; 0: none)\n"
    "  -x, --one-file-system    do not enter folders on other file systems\n"
    "      --files0-from=F      take the operands from F, each ended by a NUL\n"
    "                           (as find -print0 writes them); - reads standard\n"
    "                           input\n"
    "      --resume             finish the run over FOLDER that was stopped\n"
    "      --restart            forget the stopped run over the operands (the\n"
    "                           FOLDER, or the same FILEs), and run anew\n"
    "      --no-preserve-root   run even when a FOLDER is a root folder\n"
    "  -h, --help               show this help\n"
    "      --version            show the version\n"
    "\n"
    "Patterns follow rsync's rules. One without a '/' (other than a trailing\n"
    "one) or \"**\" matches an entry's name; another matches the end of its path\n"
    "below FOLDER, unless a leading '/' anchors it at FOLDER. A trailing '/'\n"
    "matches folders only. '*' and '?' never match a '/', \"**\" does; [a-z]\n"
    "matches one of a set. In a pattern with a wildcard, '\\' makes the next\n"
    "character plain. Pattern files skip empty lines and lines starting with ';'\n"
    "or '#'.\n"
    "\n"
    "Each FOLDER is a run of its own, in the order given, and so is each group\n"
    "of FILEs beneath one folder; a FILE is treated as an entry of its folder,\n"
    "and an entry reached twice is shortened once.\n"
    "\n"
    "A root folder is refused unless --no-preserve-root is given in full: '/',\n"
    "by any name or link (on Windows, the root of any drive or volume), since\n"
    "every file beneath it would lose a line.\n"
    "\n"
    "Before the first change, a run records its list of entries in its journal\n"
#ifdef _WIN32
    "(in %LOCALAPPDATA%\\Tailsnip), removed when\n"
#else
    "(in $XDG_STATE_HOME/tailsnip, else ~/.local/state/tailsnip), removed when\n"
#endif
    "the run ends. A run that was stopped is refused until --resume finishes it\n"
    "or --restart forgets it. --resume removes as many lines, and writes line\n"
    "ends, and keeps backups, as the stopped run did; it refuses a --lines,\n"
    "--keep-line-ends or --backup that differs from the stopped run's.\n"
    "\n"
    "With --backup, each shortened file is kept as it was under a second name\n"
    "in its folder (a hard link; a copy where none can be made), as cp and mv\n"
    "name backups. CONTROL, else $VERSION_CONTROL, chooses the names:\n"
    "  none, off       no backups\n"
    "  numbered, t     NAME.~N~, N one above the highest there\n"
    "  existing, nil   numbered where the file has numbered backups, else simple\n"
    "                  (the default)\n"
    "  simple, never   NAME followed by SUFFIX, else $SIMPLE_BACKUP_SUFFIX,\n"
    "                  else '~'; an earlier simple backup is replaced\n"
    "A backup never replaces a folder, a link or a file not named as a backup.\n"
    "Files named as backups under CONTROL are left alone.\n"
    "\n"
    "Names are quoted as ls quotes them for a shell; the names a dry run lists\n"
    "only on a terminal.\n"
    "\n"
    "With --dry-run --verbose, each file that would be shortened is followed by\n"
    "the lines it would lose, line ends left out, indented and quoted as names\n"
    "are: the first 10, then \"... and N more lines\"; of each, at most its first\n"
    "512 bytes, \"...\" marking the rest. On a terminal each is also cut to\n"
    "the terminal's width.\n"
    "\n"
    "Exit status: 0 when every entry was handled, 1 when any could not be or\n"
    "standard output could not be written, 2 on a usage error, when another\n"
    "run is working in a folder, or while a stopped run waits for --resume or\n"
    "--restart (that folder is left as it was), 128 + N when signal N stopped\n"
    "the run; where several apply, the highest.\n";

enum LongOnly {
  kProgress = 256,
  kExclude,
  kExcludeFrom,
  kInclude,
  kIncludeFrom,
  kMaxDepth,
  kFiles0From,
  kVersion,
  kResume,
  kRestart,
  kNoPreserveRoot,
  kBackup,
};

const option kLongOptions[] = {
    {"lines", required_argument, nullptr, 'l'},
    {"keep-line-ends", no_argument, nullptr, 'k'},
    {"dry-run", no_argument, nullptr, 'n'},
    {"null", no_argument, nullptr, '0'},
    {"quiet", no_argument, nullptr, 'q'},
    {"progress", no_argument, nullptr, kProgress},
    {"verbose", no_argument, nullptr, 'v'},
    {"exclude", required_argument, nullptr, kExclude},
    {"exclude-from", required_argument, nullptr, kExcludeFrom},
    {"include", required_argument, nullptr, kInclude},
    {"include-from", required_argument, nullptr, kIncludeFrom},
    {"max-depth", required_argument, nullptr, kMaxDepth},
    {"one-file-system", no_argument, nullptr, 'x'},
    {"files0-from", required_argument, nullptr, kFiles0From},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersion},
    {"resume", no_argument, nullptr, kResume},
    {"restart", no_argument, nullptr, kRestart},
    {"no-preserve-root", no_argument, nullptr, kNoPreserveRoot},
    {"backup", optional_argument, nullptr, kBackup},
    {"suffix", required_argument, nullptr, 'S'},
    {nullptr, 0, nullptr, 0},
};

const char kShortOptions[] = ":l:kn0qvxhbS:";

bool IsOurs(int code) {
  for (const option *o = kLongOptions; o->name; ++o)
    if (o->val == code)
      return true;
  return false;
}

// Says what is wrong with the option getopt_long stopped at, naming it as
// typed: `element` is the argument that held it.
int BadOption(const char *element) {
  const std::string typed = element;
  if (::optopt != 0 && !IsOurs(::optopt))
    return UsageError("unknown option " + QuoteNameAlways(std::string("-") + char(::optopt)));
  // Of a bundle of short options, the one whose argument is missing.
  if (::optopt != 0 && typed.compare(0, 2, "--") != 0)
    return UsageError("option " + QuoteNameAlways(std::string("-") + char(::optopt)) +
                      " requires an argument");
  const std::string name = typed.substr(0, typed.find('='));
  if (::optopt != 0) // a long option of ours, given an argument or none wrongly
    return UsageError(
        "option " + QuoteNameAlways(name) +
        (name.size() < typed.size() ? " doesn't allow an argument" : " requires an argument"));
  std::string candidates;
  std::size_t matching = 0;
  for (const option *o = kLongOptions; o->name; ++o)
    if (name.size() > 2 && std::strncmp(o->name, name.c_str() + 2, name.size() - 2) == 0) {
      candidates += " " + QuoteNameAlways(std::string("--") + o->name);
      ++matching;
    }
  if (matching > 1)
    return UsageError("option " + QuoteNameAlways(name) +
                      " is ambiguous; possibilities:" + candidates);
  return UsageError("unknown option " + QuoteNameAlways(typed));
}

// Hands each piece of `path` ("-": standard input, which can be read once)
// to `take` in turn; returns what went wrong, or an empty string.
std::string ReadPieces(const std::string &path,
                       const std::function<void(std::string_view piece)> &take) {
  static bool inputRead = false;
  const bool standardInput = path == "-";
  if (standardInput && std::exchange(inputRead, true))
    return "standard input is named twice ('-')";
  if (standardInput)
    ReadStandardInputAsBytes();
  std::FILE *file = standardInput ? stdin : std::fopen(path.c_str(), "rb");
  if (!file)
    return std::string("cannot open ") + QuoteNameAlways(path) + ": " + std::strerror(errno);
  char piece[1 << 16];
  for (std::size_t got; (got = std::fread(piece, 1, sizeof piece, file)) > 0;)
    take(std::string_view(piece, got));
  const int error = std::ferror(file) ? errno : 0;
  if (!standardInput)
    std::fclose(file);
  if (error != 0)
    return "cannot read " + QuoteNameAlways(path) + ": " + std::strerror(error);
  return {};
}

std::string ReadWhole(const std::string &path, std::string &bytes) {
  return ReadPieces(path, [&](std::string_view piece) { bytes.append(piece); });
}

// Adds `text` to `patterns`; what is wrong with it where it is no pattern,
// or where it matches folders only and the patterns choose files
// (--include): "dir/***" chooses the files beneath dir, but its folder part
// matches no file.
std::string AddChecked(std::string_view text, std::vector<Pattern> &patterns, bool choosesFiles) {
  const std::size_t before = patterns.size();
  if (std::string error = AddPattern(text, patterns); !error.empty())
    return "invalid pattern " + QuoteNameAlways(std::string(text)) + ": " + error;
  for (std::size_t i = before; choosesFiles && i < patterns.size(); ++i)
    if (const Pattern &pattern = patterns[i]; pattern.folderOnly && !pattern.ofAllBeneath)
      return "--include chooses files; " +
             QuoteNameAlways((pattern.anchored ? "/" : "") + pattern.glob + "/") +
             " matches folders only (dir/** matches what lies beneath)";
  return {};
}

// Adds the patterns of `path`, one a line; empty lines and lines starting
// with ';' or '#' are skipped, as rsync does. A line ends at LF, CR LF or a
// CR alone, also as rsync reads them: an old Mac file's patterns must not
// run together into one that matches nothing. A UTF-8 byte-order mark, which
// Notepad writes first, is no part of the first pattern. Returns kGo or a
// usage error.
int AddPatternsFrom(const std::string &path, std::vector<Pattern> &patterns, bool choosesFiles) {
  std::string text;
  if (const std::string error = ReadWhole(path, text); !error.empty())
    return UsageError(error);
  std::size_t lineNumber = 0;
  for (std::size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0; start < text.size();) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos)
      end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    ++lineNumber;
    if (line.empty() || line[0] == ';' || line[0] == '#')
      continue;
    if (const std::string error = AddChecked(line, patterns, choosesFiles); !error.empty())
      return UsageError(QuoteName(path) + ":" + std::to_string(lineNumber) + ": " + error);
  }
  return kGo;
}

int AddPatternArgument(const std::string &text, std::vector<Pattern> &patterns, bool choosesFiles) {
  const std::string error = AddChecked(text, patterns, choosesFiles);
  return error.empty() ? kGo : UsageError(error);
}

// Reads the NUL-ended names of `path`; a last name may lack its NUL. An
// empty name stays, an error of its own for later. A piece at a time: a
// million names take tens of megabytes as read, a few as the list keeps them.
int ReadOperandList(const std::string &path, WorkList &names) {
  std::string name;
  const std::string error = ReadPieces(path, [&](std::string_view piece) {
    for (std::size_t end; (end = piece.find('\0')) != std::string_view::npos;
         piece.remove_prefix(end + 1)) {
      names.push_back(name.append(piece.substr(0, end)));
      name.clear();
    }
    name.append(piece);
  });
  if (!error.empty())
    return UsageError(error);
  if (!name.empty())
    names.push_back(name);
  return kGo;
}

int ParseLines(const char *text, TrimSettings &trim) {
  const CountRead read = ParseCount(text, trim.lines);
  if (read == CountRead::TooLarge)
    return UsageError(QuoteNameAlways(text) + " is too large a count of lines");
  if (read != CountRead::Read || trim.lines == 0)
    return UsageError(QuoteNameAlways(text) +
                      " is no count of lines: give a whole number of 1 or more");
  return kGo;
}

int ParseDepth(const char *text, std::size_t &depth) {
  char *end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 10);
  // Blanks and a '+' may lead, as --lines and GNU tools allow; a '-' may not.
  const char *digits = text + std::strspn(text, " \t\n\v\f\r");
  digits += *digits == '+';
  if (*digits < '0' || *digits > '9' || *end != '\0')
    return UsageError("invalid maximum depth " + QuoteNameAlways(text));
  // Deeper than any tree can be is as good as no limit.
  depth = errno == ERANGE || value > std::numeric_limits<std::size_t>::max()
              ? std::numeric_limits<std::size_t>::max()
              : static_cast<std::size_t>(value);
  return kGo;
}

#ifdef _WIN32
// No name holds these; a colon would name a stream of the file.
constexpr char kNotInNames[] = "\\/:*?\"<>|";
#else
constexpr char kNotInNames[] = "/";
#endif

struct ControlName {
  const char *name;
  BackupControl control;
};

const ControlName kControlNames[] = {
    {"none", BackupControl::None},         {"off", BackupControl::None},
    {"simple", BackupControl::Simple},     {"never", BackupControl::Simple},
    {"existing", BackupControl::Existing}, {"nil", BackupControl::Existing},
    {"numbered", BackupControl::Numbered}, {"t", BackupControl::Numbered},
};

// Reads CONTROL, a name or a beginning of names of one control only, from
// `from` (an option, or a variable of the environment, named as the user
// set it).
int ParseBackupControl(const std::string &text, const std::string &from, BackupControl &control) {
  std::vector<BackupControl> matching;
  for (const ControlName &candidate : kControlNames) {
    if (text == candidate.name) {
      control = candidate.control;
      return kGo;
    }
    if (!text.empty() && std::strncmp(candidate.name, text.c_str(), text.size()) == 0 &&
        std::find(matching.begin(), matching.end(), candidate.control) == matching.end())
      matching.push_back(candidate.control);
  }
  if (matching.size() == 1) {
    control = matching[0];
    return kGo;
  }
  return UsageError(std::string(matching.empty() ? "invalid" : "ambiguous") + " backup control " +
                    QuoteNameAlways(text) + " in " + from +
                    "; valid: 'none' or 'off', 'simple' or 'never', 'existing' or 'nil', "
                    "'numbered' or 't'");
}

// A suffix makes a name in the same folder: never empty, never a separator
// or another character no name holds.
bool IsSuffix(const std::string &suffix) {
  return !suffix.empty() && suffix.find_first_of(kNotInNames) == std::string::npos;
}

const char *Environment(const char *name) {
  const char *value = std::getenv(name);
  return value && *value ? value : nullptr;
}

// Settles the backups asked for by -b, --backup[=CONTROL] and --suffix, with
// what the environment says where they do not: as cp and mv do.
int ResolveBackup(const char *control, const char *suffix, BackupSettings &backup) {
  backup.control = BackupControl::Existing;
  int status = kGo;
  if (control && *control) // "--backup=" says no more than "--backup"
    status = ParseBackupControl(control, "--backup", backup.control);
  else if (const char *variable = Environment("VERSION_CONTROL"))
    status = ParseBackupControl(variable, "$VERSION_CONTROL", backup.control);
  if (status != kGo)
    return status;
  if (suffix) {
    if (!IsSuffix(backup.suffix = suffix))
      return UsageError("invalid backup suffix " + QuoteNameAlways(suffix) +
                        ": it must be a part of a name, without " + QuoteNameAlways(kNotInNames));
    return kGo;
  }
  // One that could be no suffix is passed over, as cp and mv pass it over.
  if (const char *variable = Environment("SIMPLE_BACKUP_SUFFIX"); variable && IsSuffix(variable))
    backup.suffix = variable;
  return kGo;
}

// The checks of options against each other, once all are read.
int CheckOptions(const Options &options) {
  if (options.nullSeparated && !options.dryRun)
    return UsageError("--null lists names, which only --dry-run does");
  if (options.resume && options.restart)
    return UsageError("--resume and --restart exclude each other");
  if ((options.resume || options.restart) && options.dryRun)
    return UsageError("a dry run records no run to resume or restart");
  if (options.resume &&
      (!options.excludes.empty() || options.includesGiven || options.oneFileSystem ||
       options.maxDepth != std::numeric_limits<std::size_t>::max()))
    return UsageError("--resume works through the recorded list; it takes no walk options");
  return kGo;
}

} // namespace

int ParseOptions(int argc, char **argv, Options &options) {
  ::opterr = 0; // our own messages, one line each
  bool fromList = false;
  std::string operandList;
  bool backupGiven = false;
  const char *backupControl = nullptr;
  const char *backupSuffix = nullptr;
  // Read once every option is known, each list in the order given: standard
  // input named for patterns and for operands is then told as such, not as
  // a pattern that holds the operands' NUL bytes.
  struct PatternSource {
    std::string text;
    bool file;
    std::vector<Pattern> *patterns;
  };
  std::vector<PatternSource> patterns;
  int status = kGo;
  for (int code; status == kGo &&
                 (code = ::getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr)) != -1;) {
    switch (code) {
    case 'l':
      status = ParseLines(::optarg, options.trim);
      options.asked.lines = options.trim.lines;
      break;
    case 'k':
      options.trim.keepLineEnds = true;
      options.asked.keepLineEnds = true;
      break;
    case 'n':
      options.dryRun = true;
      break;
    case '0':
      options.nullSeparated = true;
      break;
    case 'q':
      options.quiet = true;
      break;
    case kProgress:
      options.forceProgress = true;
      break;
    case 'v':
      options.verbose = true;
      break;
    case kExclude:
    case kExcludeFrom:
      patterns.push_back({::optarg, code == kExcludeFrom, &options.excludes});
      break;
    case kInclude:
    case kIncludeFrom:
      options.includesGiven = true;
      patterns.push_back({::optarg, code == kIncludeFrom, &options.includes});
      break;
    case kMaxDepth:
      status = ParseDepth(::optarg, options.maxDepth);
      break;
    case 'x':
      options.oneFileSystem = true;
      break;
    case kFiles0From:
      fromList = true;
      operandList = ::optarg;
      break;
    case kResume:
      options.resume = true;
      break;
    case kRestart:
      options.restart = true;
      break;
    case kNoPreserveRoot:
      // The one guard against shortening a whole system is lifted only by
      // the option in full, never by a slip such as "--no".
      if (std::strcmp(argv[::optind - 1], "--no-preserve-root") != 0)
        return UsageError("you may not abbreviate the --no-preserve-root option");
      options.noPreserveRoot = true;
      break;
    case 'b':
    case kBackup:
      backupGiven = true;
      backupControl = code == kBackup && ::optarg ? ::optarg : backupControl;
      break;
    case 'S':
      backupGiven = true; // a suffix asks for backups
      backupSuffix = ::optarg;
      break;
    case 'h':
      errno = 0; // what the writing says, for the error at exit
      std::fputs(kUsage, stdout);
      std::fputs(kHelp, stdout);
      NoteOutputError();
      return kAllHandled;
    case kVersion:
      errno = 0;
      std::printf("tailsnip-cli %s\n", TAILSNIP_VERSION);
      NoteOutputError();
      return kAllHandled;
    default:
      return BadOption(argv[::optind - 1]);
    }
  }
  for (const PatternSource &source : patterns) {
    if (status != kGo)
      break;
    if (source.file && source.text == "-" && fromList && operandList == "-")
      return UsageError("standard input is named twice ('-')");
    const bool choosesFiles = source.patterns == &options.includes;
    status = source.file ? AddPatternsFrom(source.text, *source.patterns, choosesFiles)
                         : AddPatternArgument(source.text, *source.patterns, choosesFiles);
  }
  if (backupGiven && status == kGo) {
    status = ResolveBackup(backupControl, backupSuffix, options.trim.backup);
    options.asked.backup = options.trim.backup;
  }
  if (status != kGo)
    return status;
  if (fromList && ::optind < argc)
    return UsageError("extra operand " + QuoteNameAlways(argv[::optind]) +
                      "; operands cannot be combined with --files0-from");
  if (!fromList && ::optind == argc)
    return UsageError("missing FOLDER operand");
  if (const int checked = CheckOptions(options); checked != kGo)
    return checked;
  for (int i = ::optind; i < argc; ++i)
    options.operands.push_back(argv[i]);
  options.fromList = fromList;
  options.operandList = operandList;
  return fromList ? ReadOperandList(operandList, options.operands) : kGo;
}

} // namespace tailsnip::cli
