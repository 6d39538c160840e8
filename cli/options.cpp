#include "options.h"

#include "engine/text/display_text.h"
#include "scrub/scrub_arguments.h"

#include <charconv>
#include <limits>

namespace quelby::cli {

namespace {

constexpr std::int64_t kKilo = 1024;
constexpr std::int64_t kMega = 1048576;
constexpr std::int64_t kSmallestBuffer = kKilo;
constexpr std::int64_t kLargestBuffer = 1024 * kMega;
constexpr std::size_t kMostJobs = 256;

class ArgumentReader
{
public:
    explicit ArgumentReader(std::span<const std::string> args) : args_(args) {}

    RawArguments read()
    {
        bool optionsEnded = false;
        for (index_ = 0; index_ < args_.size(); ++index_) {
            const std::string& arg = args_[index_];
            if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
                takePositional(arg);
            } else if (arg == "--") {
                optionsEnded = true;
            } else if (arg.starts_with("--")) {
                takeLongOption(arg);
            } else {
                takeShortOptions(arg);
            }
        }
        return raw_;
    }

private:
    void problem(std::string text)
    {
        if (raw_.firstProblem.empty()) {
            raw_.firstProblem = std::move(text);
        }
    }

    void takePositional(const std::string& arg)
    {
        if (!raw_.command) {
            raw_.command = arg;
        } else if (!raw_.folder) {
            raw_.folder = arg;
        } else if (*raw_.command == "import" && !raw_.target) {
            raw_.target = arg;
        } else if (*raw_.command == "scrub" || *raw_.command == "status") {
            raw_.moreFolders.push_back(arg);
        } else {
            problem("unexpected argument " + quotedArgument(arg));
        }
    }

    // The value of an option that needs one: the rest of the word or the next argument.
    std::optional<std::string> value(std::string_view option, std::optional<std::string> attached)
    {
        if (attached) {
            return attached;
        }
        if (index_ + 1 < args_.size()) {
            return args_[++index_];
        }
        problem("option " + quotedArgument(option) + " needs a value");
        return std::nullopt;
    }

    void takeLongOption(std::string_view arg)
    {
        const auto equals = arg.find('=');
        const std::string_view name = arg.substr(0, equals);
        std::optional<std::string> attached;
        if (equals != std::string_view::npos) {
            attached = std::string(arg.substr(equals + 1));
        }
        if (name == "--buffer") {
            if (auto size = value(name, attached)) {
                raw_.buffer = std::move(size);
            }
            return;
        }
        if (name == "--jobs") {
            if (auto count = value(name, attached)) {
                raw_.jobs = std::move(count);
            }
            return;
        }
        if (name == "--order") {
            if (auto given = value(name, attached)) {
                raw_.order = std::move(given);
            }
            return;
        }
        if (name == "--store") {
            if (auto store = value(name, attached)) {
                raw_.store = std::move(store);
            }
            return;
        }
        if (std::optional<std::string>* scrubValue = name == "--every"     ? &raw_.every
                                                     : name == "--for"     ? &raw_.forTime
                                                     : name == "--budget"  ? &raw_.budget
                                                     : name == "--metrics" ? &raw_.metrics
                                                     : name == "--state"   ? &raw_.state
                                                                           : nullptr) {
            if (auto given = value(name, attached)) {
                *scrubValue = std::move(given);
            }
            return;
        }
        if (name == "--from") {
            if (auto copy = value(name, attached)) {
                raw_.copies.push_back(std::move(*copy));
            }
            return;
        }
        if (name == "--exclude" || name == "--exclude-from") {
            if (auto given = value(name, attached)) {
                (name == "--exclude" ? raw_.excludePatterns : raw_.excludeFiles)
                    .push_back(std::move(*given));
            }
            return;
        }
        bool* flag = name == "--verbose"           ? &raw_.verbose
                     : name == "--times"           ? &raw_.times
                     : name == "--quiet"           ? &raw_.quiet
                     : name == "--progress"        ? &raw_.progress
                     : name == "--explain"         ? &raw_.explain
                     : name == "--only-edited"     ? &raw_.onlyEdited
                     : name == "--json"            ? &raw_.json
                     : name == "--one-file-system" ? &raw_.oneFileSystem
                     : name == "--dry-run"         ? &raw_.dryRun
                     : name == "--also-unknown"    ? &raw_.alsoUnknown
                     : name == "--tag"             ? &raw_.bsdTag
                     : name == "--notify"          ? &raw_.notify
                     : name == "--help"            ? &raw_.help
                     : name == "--version"         ? &raw_.version
                                                   : nullptr;
        if (!flag) {
            problem("unknown option " + quotedArgument(name));
        } else if (attached) {
            problem("option " + quotedArgument(name) + " takes no value");
        } else {
            *flag = true;
        }
    }

    // "-vq", "-b64K", "-vb 64K".
    void takeShortOptions(std::string_view arg)
    {
        for (std::size_t at = 1; at < arg.size(); ++at) {
            const char letter = arg[at];
            switch (letter) {
            case 'v':
                raw_.verbose = true;
                break;
            case 't':
                raw_.times = true;
                break;
            case 'q':
                raw_.quiet = true;
                break;
            case 'x':
                raw_.oneFileSystem = true;
                break;
            case 'h':
                raw_.help = true;
                break;
            case 'b': {
                std::optional<std::string> attached;
                if (at + 1 < arg.size()) {
                    attached = std::string(arg.substr(at + 1));
                }
                if (auto size = value("-b", attached)) {
                    raw_.buffer = std::move(size);
                }
                return;
            }
            default:
                problem("unknown option " + quotedArgument(std::string{'-', letter}));
                return;
            }
        }
    }

    std::span<const std::string> args_;
    std::size_t index_ = 0;
    RawArguments raw_;
};

std::optional<Operation> operationNamed(std::string_view name)
{
    if (name == "check") {
        return Operation::check;
    }
    if (name == "tag") {
        return Operation::tag;
    }
    if (name == "retag") {
        return Operation::retag;
    }
    if (name == "repair") {
        return Operation::check; // a Check's walk, with the repair on top
    }
    if (name == "export") {
        return Operation::check; // a Check's walk that reads no contents
    }
    if (name == "import") {
        return Operation::tag; // it stores digests
    }
    if (name == "scrub" || name == "status") {
        return Operation::check; // reads only
    }
    return std::nullopt;
}

} // namespace

std::string quotedArgument(std::string_view text)
{
    return "'" + escapedForReport(text) + "'";
}

RawArguments rawArguments(std::span<const std::string> args)
{
    return ArgumentReader(args).read();
}

std::expected<BufferSize, std::string> parsedBufferSize(std::string_view text)
{
    const std::string malformed = "invalid buffer size " + quotedArgument(text) +
                                  ": give a whole number and the unit K or M, such as 64K or 4M";
    if (text.size() < 2) {
        return std::unexpected(malformed);
    }
    const char unit = text.back();
    std::int64_t unitBytes = 0;
    if (unit == 'k' || unit == 'K') {
        unitBytes = kKilo;
    } else if (unit == 'm' || unit == 'M') {
        unitBytes = kMega;
    } else {
        return std::unexpected(malformed);
    }
    const std::string_view digits = text.substr(0, text.size() - 1);
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return std::unexpected(malformed);
        }
    }
    const std::string outOfRange =
        "buffer size " + quotedArgument(text) + " is out of range: it must be from 1K to 1024M";
    std::int64_t number = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (error != std::errc{} || end != digits.data() + digits.size() ||
        number > std::numeric_limits<std::int64_t>::max() / unitBytes) {
        return std::unexpected(outOfRange);
    }
    const std::int64_t bytes = number * unitBytes;
    if (bytes < kSmallestBuffer || bytes > kLargestBuffer) {
        return std::unexpected(outOfRange);
    }
    return BufferSize{number, bytes};
}

CommandLine validatedCommandLine(const RawArguments& raw)
{
    if (raw.help) {
        return ShowHelp{};
    }
    if (raw.version) {
        return ShowVersion{};
    }
    if (!raw.firstProblem.empty()) {
        return UsageError{raw.firstProblem};
    }
    if (!raw.command) {
        return UsageError{
            "missing command: check, tag, retag, repair, export, import, scrub or status"};
    }
    const std::optional<Operation> operation = operationNamed(*raw.command);
    if (!operation) {
        return UsageError{"unknown command " + quotedArgument(*raw.command) +
                          ": use check, tag, retag, repair, export, import, scrub or status"};
    }
    const bool scrub = *raw.command == "scrub";
    const bool status = *raw.command == "status";
    if (auto misplaced = scrubOptionMisplaced(raw, scrub, status)) {
        return UsageError{*misplaced};
    }
    if (!raw.folder && !status) {
        return UsageError{"missing FOLDER after " + quotedArgument(*raw.command)};
    }
    const bool repair = *raw.command == "repair";
    const bool exportDigests = *raw.command == "export";
    const bool importDigests = *raw.command == "import";
    if (importDigests && !raw.target) {
        return UsageError{"missing FOLDER after import's SUMS"};
    }
    if (raw.bsdTag && !exportDigests) {
        return UsageError{"--tag applies to export, not to " + *raw.command};
    }
    if (importDigests) {
        for (const auto& [given, name] :
             {std::pair{!raw.excludePatterns.empty(), "--exclude"},
              std::pair{!raw.excludeFiles.empty(), "--exclude-from"},
              std::pair{raw.oneFileSystem, "--one-file-system"},
              std::pair{raw.jobs.has_value(), "--jobs"}}) {
            if (given) {
                return UsageError{std::string(name) + " does not apply to import"};
            }
        }
    }
    if (raw.order && (exportDigests || status)) {
        return UsageError{"--order applies to check, tag, retag, repair, scrub and import, not to " +
                          *raw.command};
    }
    if (raw.times && *operation == Operation::check) {
        return UsageError{"--times applies to tag, retag and import, not to " + *raw.command};
    }
    if (raw.explain && (*operation != Operation::check || repair || exportDigests)) {
        return UsageError{"--explain applies to check, not to " + *raw.command};
    }
    if (raw.onlyEdited && *operation != Operation::retag) {
        return UsageError{"--only-edited applies to retag, not to " + *raw.command};
    }
    for (const auto& [given, name] : {std::pair{!raw.copies.empty(), "--from"},
                                      std::pair{raw.dryRun, "--dry-run"},
                                      std::pair{raw.alsoUnknown, "--also-unknown"}}) {
        if (given && !repair) {
            return UsageError{std::string(name) + " applies to repair, not to " + *raw.command};
        }
    }
    if (repair && raw.copies.empty()) {
        return UsageError{"repair needs at least one --from COPY"};
    }
    CliOptions options;
    if (scrub || status) {
        if (auto problem = takeScrubOptions(raw, options)) {
            return UsageError{*problem};
        }
        options.scrub = scrub;
        options.status = status;
        if (raw.folder) {
            options.folders.push_back(*raw.folder);
        }
        options.folders.insert(options.folders.end(), raw.moreFolders.begin(),
                               raw.moreFolders.end());
    }
    options.operation = *operation;
    options.repair = repair;
    options.copies = raw.copies;
    options.dryRun = raw.dryRun;
    options.alsoUnknown = raw.alsoUnknown;
    options.exportDigests = exportDigests;
    options.bsdTag = raw.bsdTag;
    options.importDigests = importDigests;
    if (importDigests) {
        options.sums = *raw.folder;
        options.folder = *raw.target;
    } else if (raw.folder) {
        options.folder = *raw.folder;
    }
    options.verbose = raw.verbose;
    options.timeStamps = raw.times;
    options.quiet = raw.quiet;
    options.progress = raw.progress;
    options.explain = raw.explain;
    options.onlyEdited = raw.onlyEdited;
    options.json = raw.json;
    options.oneFileSystem = raw.oneFileSystem;
    options.excludePatterns = raw.excludePatterns;
    options.excludeFiles = raw.excludeFiles;
    if (raw.jobs) {
        std::size_t jobs = 0;
        const auto [end, error] =
            std::from_chars(raw.jobs->data(), raw.jobs->data() + raw.jobs->size(), jobs);
        if (error != std::errc{} || end != raw.jobs->data() + raw.jobs->size() || jobs < 1 ||
            jobs > kMostJobs) {
            return UsageError{"invalid number of jobs " + quotedArgument(*raw.jobs) + ": give 1 to " +
                              std::to_string(kMostJobs)};
        }
        options.jobs = jobs;
    }
    if (raw.order && *raw.order != "auto") {
        if (*raw.order == "name") {
            options.order = ReadOrder::name;
        } else if (*raw.order == "disk") {
            options.order = ReadOrder::disk;
        } else {
            return UsageError{"invalid --order " + quotedArgument(*raw.order) +
                              ": use name, disk or auto"};
        }
    }
    if (raw.store) {
        if (*raw.store == "auto") {
            options.store = StoreChoice::automatic;
        } else if (*raw.store == "attributes") {
            options.store = StoreChoice::attributes;
        } else if (*raw.store == "manifest") {
            options.store = StoreChoice::manifest;
        } else {
            return UsageError{"invalid --store " + quotedArgument(*raw.store) +
                              ": use auto, attributes or manifest"};
        }
    }
    if (raw.buffer) {
        auto buffer = parsedBufferSize(*raw.buffer);
        if (!buffer) {
            return UsageError{buffer.error()};
        }
        options.buffer = *buffer;
    }
    return options;
}

std::string helpText()
{
    return "Usage: quelby-cli check|tag|retag [OPTIONS] FOLDER\n"
           "       quelby-cli repair [OPTIONS] --from COPY [--from COPY...] FOLDER\n"
           "       quelby-cli export [--tag] [OPTIONS] FOLDER\n"
           "       quelby-cli import [OPTIONS] SUMS FOLDER\n"
           "       quelby-cli scrub [OPTIONS] FOLDER [FOLDER...]\n"
           "       quelby-cli status [--json] [--state FILE] [FOLDER...]\n"
           "\n"
           "Keeps the SHA-256 digest of every file below FOLDER in an extended attribute\n"
           "on the file itself, and later finds files whose contents changed.\n"
           "\n"
           "Commands:\n"
           "  check   compare each file with its stored digest; writes nothing\n"
           "  tag     store a fresh digest on every file\n"
           "  retag   store a digest where none is stored or it no longer matches,\n"
           "          and report every file changed\n"
           "  repair  bring back each damaged file (its digest differs, its time stamp\n"
           "          says it was not modified) from an intact copy below a COPY,\n"
           "          found by its path, by the digest a copy carries, or by its size;\n"
           "          the damaged file is kept as NAME.damaged\n"
           "  export  write the stored digests of the files below FOLDER to standard\n"
           "          output in sha256sum's format, paths relative to FOLDER; reads\n"
           "          no file's contents\n"
           "  import  store the digests listed in SUMS (sha256sum text or binary, or\n"
           "          BSD form; - for standard input) on the files below FOLDER whose\n"
           "          contents match them and that have no digest yet\n"
           "  scrub   check the files below each FOLDER that are due: never verified,\n"
           "          verified more than --every days ago, changed since, or with a\n"
           "          problem; remembers what it found in a state file, so that runs on\n"
           "          a timer verify every file within the period (reads only)\n"
           "  status  what the scrubs found: when each folder was last scrubbed, the\n"
           "          share of its files verified in the period, its open problems\n"
           "\n"
           "Options:\n"
           "  -v, --verbose       a line for every file, and the buffer size in the summary\n"
           "  -t, --times         also stamp each tagged file with the time (tag, retag,\n"
           "                      import);\n"
           "                      give it every time you tag: without it a new digest\n"
           "                      keeps an earlier stamp, so later damage reads as an\n"
           "                      edit, and --explain and --only-edited need stamps\n"
           "  -b, --buffer SIZE   read SIZE at a time: a whole number with K or M,\n"
           "                      from 1K to 1024M (default 1M); the buffers of all\n"
           "                      jobs together take at most 256 MiB, so a large SIZE\n"
           "                      with many jobs reads less at a time\n"
           "  -q, --quiet         no progress line on a terminal\n"
           "      --progress      a progress line whenever standard error is a terminal,\n"
           "                      even when standard output is a pipe (-q wins)\n"
           "      --explain       (check) say for each file that differs whether it was\n"
           "                      modified after it was tagged or possibly damaged\n"
           "      --only-edited   (retag) rewrite a differing digest only when the file\n"
           "                      was modified after it was tagged, and stamp every\n"
           "                      digest written, --times or not; keep the others\n"
           "      --json          one JSON object per line instead of the text report\n"
           "      --exclude PATTERN  leave out entries matching a shell pattern; with a\n"
           "                      \"/\" it matches the path below FOLDER, else each name;\n"
           "                      a trailing \"/\" matches folders only (repeatable)\n"
           "      --exclude-from FILE  patterns from FILE, one a line (# for comments);\n"
           "                      a regular file of at most 1 MiB without NUL bytes,\n"
           "                      or - for standard input\n"
           "  -x, --one-file-system  do not enter folders on other file systems\n"
           "      --store WHERE   where digests are kept: attributes, manifest (the file\n"
           "                      .quelby.sha256, which sha256sum -c reads), or auto\n"
           "                      (default): a manifest in FOLDER or above it, else\n"
           "                      attributes where the file system keeps them, else a\n"
           "                      new manifest in FOLDER\n"
           "      --jobs N        digest N files at once (default: one per processor this\n"
           "                      process may use, but 1 when FOLDER is on a spinning\n"
           "                      disk, whose head would jump between files)\n"
           "      --order ORDER   read files in name order, in disk order (a few\n"
           "                      thousand at a time, as their data lies on the disk),\n"
           "                      or auto: disk on a spinning disk, else name (default);\n"
           "                      the report is the same in every order\n"
           "      --from COPY     (repair) a folder holding intact copies, such as a\n"
           "                      backup; only read (repeatable, searched in order)\n"
           "      --dry-run       (repair) say what would be repaired; write nothing\n"
           "      --also-unknown  (repair) also repair files with no time stamp to tell\n"
           "                      an edit from damage\n"
           "      --tag           (export) write BSD lines: SHA256 (PATH) = DIGEST\n"
           "      --every DAYS    (scrub) verify every file at least every DAYS days\n"
           "                      (default 30)\n"
           "      --for DURATION  (scrub) start no file after DURATION: a whole number\n"
           "                      with s, m, h or d (90s, 45m, 2h); shared by all FOLDERs\n"
           "      --budget SIZE   (scrub) start no file once SIZE has been read: a whole\n"
           "                      number with K, M, G or T (20G); shared by all FOLDERs\n"
           "      --metrics FILE  (scrub) write every scrubbed folder's figures to FILE\n"
           "                      in the Prometheus text format\n"
           "      --notify        (scrub) a desktop notification when problems are found\n"
           "      --state FILE    (scrub, status) the state file (default\n"
           "                      $XDG_STATE_HOME/quelby/scrub.sqlite)\n"
           "  -h, --help          show this help and exit\n"
           "      --version       show the version and exit\n"
           "\n"
           "The report goes to standard output as each file is done; progress goes to\n"
           "standard error when it is a terminal and standard output is a terminal, a\n"
           "file or /dev/null.\n"
           "\n"
           "Exit status:\n"
           "  0    nothing failed and, for check, every file had a digest; for repair,\n"
           "       every damaged file was repaired (with --dry-run: has a copy); for\n"
           "       import, every listed file was imported\n"
           "  1    the report holds a failure (a difference, a kept digest, or a file\n"
           "       that could not be read or tagged, a damaged file not repaired),\n"
           "       or a file left over from an interrupted repair\n"
           "  2    a usage error, or a FOLDER or COPY that is not a folder, or a COPY\n"
           "       inside FOLDER or holding it; for scrub and status, a state that\n"
           "       cannot be opened or written, or a FOLDER another scrub is scrubbing\n"
           "  3    check, export or scrub found no failure, but some files had no digest\n"
           "  130, 143  interrupted (SIGINT, SIGTERM); the lines so far are kept\n"
           "  141  standard output was closed (as by | head -1); the run ended there\n";
}

} // namespace quelby::cli
