#include "engine/repair/parity_rebuild.h"

#include "engine/coding/galois16.h"
#include "engine/coding/reed_solomon.h"
#include "engine/evidence/parity_md5.h"
#include "engine/evidence/parity_reader.h"
#include "engine/platform/sys.h"

#include <algorithm>
#include <stdexcept>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <thread>

namespace quelby::parity {

namespace {

constexpr std::size_t kReadChunk = 1 << 20;
// Other exponent choices tried when the first one cannot be solved.
constexpr std::size_t kSolveAttempts = 8;
// Ranges of slices from this size on are summed on two cores.
constexpr std::size_t kTwoSharesFrom = 1 << 16;

std::string blocks(std::size_t count)
{
    return std::to_string(count) + (count == 1 ? " damaged block" : " damaged blocks");
}

// One file of the set as found below the folder.
struct FoundFile
{
    FileDescriptor fd;
    std::uint64_t firstSlice = 0; // its first slice's index in the set
    std::uint64_t sliceCount = 0;
    std::vector<bool> present;
};

// Bytes [offset, offset + size) of fd into buffer; fewer where the file ends first.
std::expected<std::size_t, PosixError> readUpTo(int fd, std::uint8_t* buffer, std::size_t size,
                                                std::uint64_t offset)
{
    std::size_t done = 0;
    while (done < size) {
        const auto count =
            sys::readAt(fd, buffer + done, size - done, static_cast<off_t>(offset + done));
        if (!count) {
            return std::unexpected(count.error());
        }
        if (*count == 0) {
            break;
        }
        done += *count;
    }
    return done;
}

class Rebuilder
{
public:
    Rebuilder(const RebuildSources& sources, std::size_t wanted, int out)
        : sources_(sources), set_(*sources.set), wanted_(wanted), out_(out)
    {
    }

    std::expected<void, std::string> run()
    {
        if (auto checked = findFiles(); !checked) {
            return checked;
        }
        std::vector<std::uint32_t> lost;
        std::vector<std::size_t> wantedRows; // rows of lost that are the wanted file's
        for (const FoundFile& file : found_) {
            for (std::uint64_t j = 0; j < file.sliceCount; ++j) {
                if (!file.present[j]) {
                    if (&file == &found_[wanted_]) {
                        wantedRows.push_back(lost.size());
                    }
                    lost.push_back(static_cast<std::uint32_t>(file.firstSlice + j));
                }
            }
        }
        if (wantedRows.empty()) {
            return copyPresentSlices();
        }
        if (lost.size() > set_.recovery.size()) {
            return std::unexpected(
                "the parity set can rebuild at most " + blocks(set_.recovery.size()) + "; " +
                std::to_string(lost.size()) + (lost.size() == 1 ? " is damaged" : " are damaged"));
        }
        // Solving takes two square matrices of the lost slices' count.
        const std::uint64_t solveBytes = 4 * std::uint64_t{lost.size()} * lost.size();
        if (solveBytes > sources_.memoryCap / 2) {
            return std::unexpected("rebuilding " + blocks(lost.size()) +
                                   " at once needs more memory than parity may take");
        }
        auto rebuild = solve(lost);
        if (!rebuild) {
            return std::unexpected(rebuild.error());
        }
        if (auto copied = copyPresentSlices(); !copied) {
            return copied;
        }
        return rebuildSlices(*rebuild, wantedRows);
    }

private:
    bool stopped() const { return sources_.stop && sources_.stop(); }

    // Opens every file of the set below the folder and finds which of its
    // slices are as the set describes them.
    std::expected<void, std::string> findFiles()
    {
        std::uint64_t next = 0;
        buffer_.resize(kReadChunk);
        for (std::size_t f = 0; f < set_.files.size(); ++f) {
            const InputFile& described = set_.files[f];
            FoundFile file;
            file.firstSlice = next;
            file.sliceCount = described.length / set_.sliceSize +
                              (described.length % set_.sliceSize != 0 ? 1 : 0);
            next += file.sliceCount;
            if (next > rs::kMaxInputSlices) {
                return std::unexpected("the parity set holds more blocks than its format allows");
            }
            file.present.assign(file.sliceCount, false);
            const auto length = openFile(described.name, file.fd);
            const bool proven = f != wanted_ && sources_.provenWhole &&
                                length == described.length && sources_.provenWhole(described.name);
            if (proven) {
                file.present.assign(file.sliceCount, true);
            } else if (length && described.slices.size() == file.sliceCount) {
                for (std::uint64_t j = 0; j < file.sliceCount; ++j) {
                    if (stopped()) {
                        return std::unexpected(std::string());
                    }
                    file.present[j] = sliceMatches(file.fd.get(), described, j);
                }
            }
            if (f != wanted_) {
                // Opened again as it is summed: a set of any number of files never
                // holds more than one of them open besides the wanted one.
                file.fd = FileDescriptor();
            }
            found_.push_back(std::move(file));
        }
        return {};
    }

    // The file's size, when it is a regular file reached without a link.
    std::optional<std::uint64_t> openFile(const std::string& name, FileDescriptor& fd) const
    {
        auto opened =
            sys::openAt(sources_.folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (!opened) {
            return std::nullopt;
        }
        fd = FileDescriptor(*opened);
        const auto info = sys::fstat(fd.get());
        if (!info || !S_ISREG(info->st_mode)) {
            fd = FileDescriptor();
            return std::nullopt;
        }
        return static_cast<std::uint64_t>(info->st_size);
    }

    // A slice is what the set describes when its bytes, zeros past the
    // file's end, have the MD5 the set records; a failed read is damage too.
    bool sliceMatches(int fd, const InputFile& described, std::uint64_t j)
    {
        const std::uint64_t start = j * set_.sliceSize;
        const std::uint64_t inFile = std::min(set_.sliceSize, described.length - start);
        Md5Stream hash;
        for (std::uint64_t done = 0; done < inFile;) {
            const auto piece =
                static_cast<std::size_t>(std::min<std::uint64_t>(kReadChunk, inFile - done));
            const auto got = readUpTo(fd, buffer_.data(), piece, start + done);
            if (!got || *got != piece) {
                return false;
            }
            hash.update(buffer_.data(), piece);
            done += piece;
        }
        const std::uint64_t zeros = set_.sliceSize - inFile;
        std::fill_n(buffer_.begin(), std::min<std::uint64_t>(zeros, kReadChunk), 0);
        for (std::uint64_t padding = zeros; padding > 0;) {
            const auto piece =
                static_cast<std::size_t>(std::min<std::uint64_t>(kReadChunk, padding));
            hash.update(buffer_.data(), piece);
            padding -= piece;
        }
        return hash.finish() == described.slices[j].md5;
    }

    std::expected<void, std::string> writeAt(const std::uint8_t* bytes, std::size_t size,
                                             std::uint64_t offset)
    {
        const auto placed = sys::lseek(out_, static_cast<off_t>(offset), SEEK_SET);
        if (!placed) {
            return std::unexpected("writing the rebuilt file: " + placed.error().description);
        }
        if (auto written = sys::writeAll(out_, bytes, size); !written) {
            return std::unexpected("writing the rebuilt file: " + written.error().description);
        }
        return {};
    }

    std::expected<void, std::string> copyPresentSlices()
    {
        const InputFile& described = set_.files[wanted_];
        const FoundFile& file = found_[wanted_];
        for (std::uint64_t j = 0; j < file.sliceCount; ++j) {
            if (!file.present[j]) {
                continue;
            }
            const std::uint64_t start = j * set_.sliceSize;
            const std::uint64_t end = std::min(start + set_.sliceSize, described.length);
            for (std::uint64_t at = start; at < end;) {
                if (stopped()) {
                    return std::unexpected(std::string());
                }
                const auto piece =
                    static_cast<std::size_t>(std::min<std::uint64_t>(kReadChunk, end - at));
                const auto got = readUpTo(file.fd.get(), buffer_.data(), piece, at);
                if (!got || *got != piece) {
                    return std::unexpected(
                        "reading " + described.name + ": " +
                        (got ? std::string("it ended early") : got.error().description));
                }
                if (auto written = writeAt(buffer_.data(), piece, at); !written) {
                    return written;
                }
                at += piece;
            }
        }
        return {};
    }

    // The lowest exponents first; where those cannot be solved, the next ones along.
    std::expected<rs::Rebuild, std::string> solve(const std::vector<std::uint32_t>& lost)
    {
        const std::size_t spare = set_.recovery.size() - lost.size();
        std::string reason = "the parity set's recovery blocks cannot rebuild these blocks";
        for (std::size_t attempt = 0; attempt < kSolveAttempts && attempt <= spare; ++attempt) {
            if (stopped()) {
                return std::unexpected(std::string());
            }
            const std::size_t first =
                spare == 0 ? 0 : attempt * spare / std::min(spare, kSolveAttempts - 1);
            std::vector<std::uint32_t> exponents;
            recoveryUsed_.clear();
            for (std::size_t r = first; r < first + lost.size(); ++r) {
                exponents.push_back(set_.recovery[r].exponent);
                recoveryUsed_.push_back(set_.recovery[r]);
            }
            auto rebuild = rs::rebuildFor(lost, std::move(exponents));
            if (rebuild) {
                return rebuild;
            }
        }
        return std::unexpected(reason);
    }

    // lost slice = sum of recovery slices and present slices times their
    // coefficients; only the wanted file's rows are summed, in passes over
    // byte ranges of the slices so that their sums fit in the memory allowed.
    // One share of a pass: a range of bytes of every slice, summed into its
    // own rows.
    struct Share
    {
        std::uint64_t from = 0;
        std::size_t length = 0;
        std::size_t stride = 0; // each row starts at a multiple of 16, as the buffers do
        std::vector<std::uint8_t> sums;
        std::vector<std::uint8_t> input;
        std::expected<void, std::string> result;
    };

    // The wanted rows over the share's bytes: the recovery slices used and
    // every present slice, each times its coefficient. Only the caller's
    // thread asks about a stop.
    std::expected<void, std::string> sum(const rs::Rebuild& rebuild,
                                         const std::vector<std::size_t>& rows, Share& share,
                                         bool asksStop) const
    {
        const std::size_t length = share.length;
        share.stride = (length + 15) / 16 * 16;
        share.sums.assign(rows.size() * share.stride, 0);
        share.input.resize(share.stride);
        std::vector<gf16::Element> powers(rebuild.exponents.size());
        for (std::size_t r = 0; r < recoveryUsed_.size(); ++r) {
            if (asksStop && stopped()) {
                return std::unexpected(std::string());
            }
            if (auto read = readRecoveryData(sources_.parts, recoveryUsed_[r], share.from, length,
                                             share.input.data());
                !read) {
                return std::unexpected(read.error());
            }
            for (std::size_t k = 0; k < rows.size(); ++k) {
                gf16::multiplyAdd(share.sums.data() + k * share.stride, share.input.data(), length,
                                  rebuild.fromRecovery[rows[k]][r]);
            }
        }
        for (std::size_t f = 0; f < found_.size(); ++f) {
            const FoundFile& file = found_[f];
            const InputFile& described = set_.files[f];
            FileDescriptor reopened;
            int fd = file.fd.get();
            for (std::uint64_t j = 0; j < file.sliceCount; ++j) {
                if (!file.present[j]) {
                    continue;
                }
                if (fd < 0) {
                    // Bytes another file put under the name since are refused by
                    // the rebuilt file's proof.
                    if (!openFile(described.name, reopened)) {
                        return std::unexpected("reading " + described.name +
                                               ": it is no longer there");
                    }
                    fd = reopened.get();
                }
                if (asksStop && stopped()) {
                    return std::unexpected(std::string());
                }
                // Past the file's end a slice is zeros, which add nothing.
                const std::uint64_t at = j * set_.sliceSize + share.from;
                if (at >= described.length) {
                    continue;
                }
                const auto inFile = static_cast<std::size_t>(
                    std::min<std::uint64_t>(length, described.length - at));
                const auto got = readUpTo(fd, share.input.data(), inFile, at);
                if (!got) {
                    return std::unexpected("reading " + described.name + ": " +
                                           got.error().description);
                }
                std::fill(share.input.begin() + static_cast<std::ptrdiff_t>(*got),
                          share.input.begin() + static_cast<std::ptrdiff_t>(length), 0);
                const auto index = static_cast<std::uint32_t>(file.firstSlice + j);
                const gf16::Element constant = rs::inputConstant(index);
                for (std::size_t r = 0; r < powers.size(); ++r) {
                    powers[r] = gf16::power(constant, rebuild.exponents[r]);
                }
                for (std::size_t k = 0; k < rows.size(); ++k) {
                    gf16::Element coefficient = 0;
                    for (std::size_t r = 0; r < powers.size(); ++r) {
                        coefficient ^= gf16::multiply(rebuild.fromRecovery[rows[k]][r], powers[r]);
                    }
                    gf16::multiplyAdd(share.sums.data() + k * share.stride, share.input.data(),
                                      length, coefficient);
                }
            }
        }
        return {};
    }

    // In passes over byte ranges of the slices, each range summed in two
    // shares on two cores when it is large enough to be worth a thread.
    std::expected<void, std::string> rebuildSlices(const rs::Rebuild& rebuild,
                                                   const std::vector<std::size_t>& rows)
    {
        const std::uint64_t budget = sources_.memoryCap / (rows.size() + 1);
        const std::uint64_t range = std::clamp<std::uint64_t>(budget / 4 * 4, 4, set_.sliceSize);
        const InputFile& wantedFile = set_.files[wanted_];
        Share shares[2];
        for (std::uint64_t from = 0; from < set_.sliceSize; from += range) {
            const auto length = static_cast<std::size_t>(std::min(range, set_.sliceSize - from));
            const std::size_t first =
                length >= kTwoSharesFrom ? length / 2 / 16 * 16 : length;
            shares[0].from = from;
            shares[0].length = first;
            shares[1].from = from + first;
            shares[1].length = length - first;
            std::optional<std::thread> helper;
            if (shares[1].length > 0) {
                helper.emplace([&] { shares[1].result = sum(rebuild, rows, shares[1], false); });
            }
            shares[0].result = sum(rebuild, rows, shares[0], true);
            if (helper) {
                helper->join();
            }
            for (const Share& share : shares) {
                if (share.length > 0 && !share.result) {
                    return share.result;
                }
            }
            for (const Share& share : shares) {
                for (std::size_t k = 0; k < rows.size() && share.length > 0; ++k) {
                    const std::uint64_t at =
                        (rebuild.lost[rows[k]] - found_[wanted_].firstSlice) * set_.sliceSize +
                        share.from;
                    if (at >= wantedFile.length) {
                        continue;
                    }
                    const auto inFile = static_cast<std::size_t>(
                        std::min<std::uint64_t>(share.length, wantedFile.length - at));
                    if (auto written = writeAt(share.sums.data() + k * share.stride, inFile, at);
                        !written) {
                        return written;
                    }
                }
            }
        }
        return {};
    }

    const RebuildSources& sources_;
    const ParitySet& set_;
    std::size_t wanted_;
    int out_;
    std::vector<FoundFile> found_;
    std::vector<RecoverySlice> recoveryUsed_;
    std::vector<std::uint8_t> buffer_;
};

} // namespace

std::expected<void, std::string> rebuildFile(const RebuildSources& sources, std::string_view name,
                                             int out)
{
    if (sources.set == nullptr || sources.set->sliceSize == 0) {
        return std::unexpected("the parity set could not be read");
    }
    const ParitySet& set = *sources.set;
    const auto wanted = std::find_if(set.files.begin(), set.files.end(),
                                     [name](const InputFile& file) { return file.name == name; });
    if (wanted == set.files.end()) {
        // Empty files are only in Quelby's own packet: nothing to write.
        const bool empty = std::any_of(set.covered.begin(), set.covered.end(),
                                       [name](const CoveredRecord& record) {
                                           return record.name == name && record.size == 0;
                                       });
        if (empty) {
            return {};
        }
        return std::unexpected("the parity set does not cover it");
    }
    if (wanted->length == 0) {
        return {};
    }
    try {
        return Rebuilder(sources, static_cast<std::size_t>(wanted - set.files.begin()), out).run();
    } catch (const std::runtime_error& error) {
        return std::unexpected(std::string(error.what()));
    }
}

} // namespace quelby::parity
