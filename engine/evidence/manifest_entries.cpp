#include "engine/evidence/manifest_entries.h"
#include "engine/store/file_names.h"

#include "engine/evidence/manifest_format.h"
#include "engine/platform/sys.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace quelby {

namespace {

constexpr std::size_t kReadSize = 64 * 1024;
// No path, however escaped, makes a line this long; a longer one is not a manifest.
constexpr std::size_t kLongestLine = 64 * 1024;

// A stored value that can never equal a digest, for an entry whose digest is malformed.
Bytes malformedValue(const std::string& text)
{
    return text.size() == 32 ? text + "\n" : text;
}

// The lines of a file through a descriptor of its own offset, one at a time.
class LineReader
{
public:
    explicit LineReader(int fd) : fd_(fd) {}

    // The next line without its line feed; none at the end; the reason when it cannot be read.
    std::expected<std::optional<std::string>, std::string> next()
    {
        std::string line;
        for (;;) {
            const auto feed = std::find(buffer_.begin() + static_cast<std::ptrdiff_t>(start_),
                                        buffer_.begin() + static_cast<std::ptrdiff_t>(end_),
                                        '\n');
            const auto found = static_cast<std::size_t>(feed - buffer_.begin());
            line.append(buffer_.data() + start_, found - start_);
            if (found < end_) {
                start_ = found + 1;
                return line;
            }
            start_ = end_;
            if (line.size() > kLongestLine) {
                return std::unexpected(std::string("a line is longer than any path"));
            }
            const auto read = sys::readAt(fd_, buffer_.data(), buffer_.size(), offset_);
            if (!read) {
                return std::unexpected(read.error().description);
            }
            const std::size_t count = *read;
            if (count == 0) {
                if (line.empty()) {
                    return std::optional<std::string>{};
                }
                return line;
            }
            offset_ += static_cast<off_t>(count);
            start_ = 0;
            end_ = count;
        }
    }

private:
    int fd_;
    off_t offset_ = 0;
    std::vector<char> buffer_ = std::vector<char>(kReadSize);
    std::size_t start_ = 0;
    std::size_t end_ = 0;
};


// Groups lines into entries as they are read.
class StreamSource : public ManifestEntries
{
public:
    explicit StreamSource(int fd, std::shared_ptr<const FileDescriptor> kept = nullptr)
        : kept_(std::move(kept)), lines_(fd)
    {
        advance();
    }

    const ManifestEntry* current() const override { return entry_ ? &*entry_ : nullptr; }
    const std::string& trailing() const override { return trailing_; }
    const std::optional<std::string>& error() const override { return error_; }

    void advance() override
    {
        entry_.reset();
        std::string leading;
        for (;;) {
            auto line = nextLine();
            if (!line) {
                trailing_ = std::move(leading);
                return;
            }
            switch (line->kind) {
            case ManifestLineKind::header:
                break; // a rewrite writes its own
            case ManifestLineKind::digest:
                entry_.emplace();
                entry_->key = line->path;
                entry_->leading = std::move(leading);
                entry_->digestText = line->text + "\n";
                entry_->digest = line->value ? *line->value : malformedValue(line->text);
                takeCompanion(ManifestLineKind::stamp);
                return;
            case ManifestLineKind::stamp:
                entry_.emplace();
                entry_->key = line->path;
                entry_->leading = std::move(leading);
                entry_->stampText = line->text + "\n";
                entry_->stamp = line->value;
                takeCompanion(ManifestLineKind::digest);
                return;
            case ManifestLineKind::damaged:
                entry_.emplace();
                entry_->key = line->path;
                entry_->leading = std::move(leading);
                entry_->damagedText = line->text + "\n";
                entry_->damagedMark = line->value ? *line->value : line->text;
                return;
            default:
                leading += line->text + "\n";
                break;
            }
        }
    }

private:
    std::optional<ManifestLine> nextLine()
    {
        if (ahead_) {
            auto line = std::move(ahead_);
            ahead_.reset();
            return line;
        }
        if (error_) {
            return std::nullopt;
        }
        auto text = lines_.next();
        if (!text) {
            error_ = text.error();
            return std::nullopt;
        }
        if (!*text) {
            return std::nullopt;
        }
        return parseManifestLine(**text);
    }

    // The stamp line that follows its file's digest line belongs to its entry.
    // A file's digest line and stamp line next to each other, in either order
    // (a hand edit may swap them), make one entry.
    void takeCompanion(ManifestLineKind kind)
    {
        auto line = nextLine();
        if (!line || line->kind != kind || line->path != entry_->key) {
            ahead_ = std::move(line);
            return;
        }
        if (kind == ManifestLineKind::stamp) {
            entry_->stampText = line->text + "\n";
            entry_->stamp = line->value;
        } else {
            entry_->stampFirst = true;
            entry_->digestText = line->text + "\n";
            entry_->digest = line->value ? *line->value : malformedValue(line->text);
        }
    }

    std::shared_ptr<const FileDescriptor> kept_; // the file read, when the reader keeps it open
    LineReader lines_;
    std::optional<ManifestEntry> entry_;
    std::optional<ManifestLine> ahead_;
    std::string trailing_;
    std::optional<std::string> error_;
};

} // namespace

std::unique_ptr<ManifestEntries> streamedEntries(int fd, std::shared_ptr<const FileDescriptor> kept)
{
    return std::make_unique<StreamSource>(fd, std::move(kept));
}

} // namespace quelby
