#include "raw_arguments.h"

#include "engine/text/display_text.h"

#include <utility>

namespace quelby::cli {

namespace {

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
                                                     : name == "--parity"  ? &raw_.parity
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
                     : name == "--new-only"        ? &raw_.newOnly
                     : name == "--json"            ? &raw_.json
                     : name == "--one-file-system" ? &raw_.oneFileSystem
                     : name == "--dry-run"         ? &raw_.dryRun
                     : name == "--also-unknown"    ? &raw_.alsoUnknown
                     : name == "--restore-missing" ? &raw_.restoreMissing
                     : name == "--heal"            ? &raw_.heal
                     : name == "--tag-new"         ? &raw_.tagNew
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

} // namespace

std::string quotedArgument(std::string_view text)
{
    return "'" + escapedForReport(text) + "'";
}

RawArguments rawArguments(std::span<const std::string> args)
{
    return ArgumentReader(args).read();
}

} // namespace quelby::cli
