#include "engine/evidence/parity_writer.h"

#include "engine/coding/recovery_share.h"
#include "engine/coding/reed_solomon.h"
#include "engine/evidence/parity_packets.h"
#include "engine/platform/sys.h"

#include <algorithm>
#include <fcntl.h>
#include <future>
#include <memory>
#include <new>
#include <openssl/evp.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#ifndef QUELBY_VERSION
#error "QUELBY_VERSION must name the project's version"
#endif

namespace quelby::parity {

namespace {

constexpr std::size_t kReadChunk = std::size_t{1} << 20;
constexpr std::size_t kSecondCoreFrom = std::size_t{256} << 10;
constexpr std::size_t kAlignment = 16; // of each recovery slice's range in memory
constexpr std::uint64_t kFirstBytesHashed = 16384;
constexpr std::uint64_t kRecoveryBodyPrefix = 4; // the exponent

constexpr std::string_view kNotItsDigest = "its contents differ from its digest";

// One input file of the set being written.
struct Input
{
    const FileToCover* file = nullptr;
    struct stat before
    {};
    InputFile description;
    std::uint32_t firstSlice = 0; // its first slice's constant
    std::uint32_t sliceCount = 0;
};

using Result = std::expected<void, WriteFailure>;

std::uint64_t ceilDivide(std::uint64_t a, std::uint64_t b)
{
    return a / b + (a % b != 0 ? 1 : 0);
}

std::unexpected<WriteFailure> failure(const Input& input, std::string_view reason)
{
    return std::unexpected(WriteFailure{std::string(reason), input.file->record.name});
}

// Recovery data is summed in passes over byte ranges [from, to) of every
// slice; the first pass also reads every byte for the checksums and the
// proof, later ones read only their range and prove by the files' state
// that the bytes are the same.
class SetWriter
{
public:
    SetWriter(int out, const SetPlan& plan, const std::vector<FileToCover>& files, unsigned percent,
              const std::function<bool()>& stop, std::uint64_t memoryCap)
        : out_(out), plan_(plan), files_(files), percent_(percent), stop_(stop),
          memoryCap_(memoryCap), buffer_(kReadChunk + 4)
    {
    }

    Result write()
    {
        if (plan_.sliceSize == 0 || plan_.sliceSize % 4 != 0 ||
            plan_.recoveryCount > rs::kMaxInputSlices) {
            return std::unexpected(WriteFailure{"the set's plan is not one the format allows", {}});
        }
        if (auto described = describeInputs(); !described) {
            return described;
        }
        prepareRecovery();
        const std::uint64_t slice = plan_.sliceSize;
        for (std::uint64_t from = 0; from < slice; from += width_) {
            const std::uint64_t to = std::min(slice, from + width_);
            std::fill(recovery_.begin(), recovery_.end(), std::uint8_t{0});
            for (Input& input : inputs_) {
                auto read = from == 0 ? firstPass(input, to) : laterPass(input, from, to);
                if (!read) {
                    return read;
                }
            }
            if (auto same = stillTheSame(); !same) {
                return same;
            }
            if (from == 0) {
                if (auto leading = writeLeadingPackets(); !leading) {
                    return leading;
                }
            }
            if (auto written = writeRecoveryRange(from, to); !written) {
                return written;
            }
        }
        return writeTrailingPackets();
    }

private:
    bool stopped() const { return stop_ && stop_(); }

    // The file's descriptor: its own, or the one file opened by name at a time.
    std::expected<int, PosixError> descriptor(const Input& input)
    {
        if (input.file->fd >= 0) {
            return input.file->fd;
        }
        if (openedFor_ != input.file) {
            openedFor_ = nullptr;
            openedFd_ = FileDescriptor();
            auto opened = sys::openAt(input.file->folder, input.file->record.name,
                                      O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
            if (!opened) {
                return std::unexpected(opened.error());
            }
            openedFd_ = FileDescriptor(*opened);
            openedFor_ = input.file;
        }
        return openedFd_.get();
    }

    static std::expected<struct stat, PosixError> stateOf(const Input& input)
    {
        if (input.file->fd >= 0) {
            return sys::fstat(input.file->fd);
        }
        return sys::fstatAt(input.file->folder, input.file->record.name, AT_SYMLINK_NOFOLLOW);
    }

    Result readExactly(const Input& input, std::uint64_t offset, std::size_t length)
    {
        std::size_t done = 0;
        while (done < length) {
            const auto fd = descriptor(input);
            if (!fd) {
                return failure(input, fd.error().description);
            }
            const auto count = sys::readAt(*fd, buffer_.data() + done, length - done,
                                           static_cast<off_t>(offset + done));
            if (!count) {
                return failure(input, count.error().description);
            }
            if (*count == 0) {
                return failure(input, kFileChangedWhileRead);
            }
            done += *count;
        }
        // An odd last piece is summed as a whole word, its missing byte zero.
        buffer_[length] = 0;
        return {};
    }

    // Each input file's identity: its state, its first 16 KiB's MD5 and its
    // file ID, which orders the files and so gives each slice its constant.
    Result describeInputs()
    {
        for (const std::size_t index : plan_.files) {
            if (stopped()) {
                return std::unexpected(WriteFailure{});
            }
            if (index >= files_.size()) {
                return std::unexpected(WriteFailure{"the set's plan names no such file", {}});
            }
            Input input;
            input.file = &files_[index];
            const CoveredRecord& record = input.file->record;
            const auto state = stateOf(input);
            if (!state) {
                return failure(input, state.error().description);
            }
            if (!S_ISREG(state->st_mode) ||
                static_cast<std::uint64_t>(state->st_size) != record.size) {
                return failure(input, kFileChangedWhileRead);
            }
            if (record.size == 0) {
                continue; // only Quelby's packet holds an empty file
            }
            input.before = *state;
            const auto first = static_cast<std::size_t>(std::min(record.size, kFirstBytesHashed));
            if (auto read = readExactly(input, 0, first); !read) {
                return read;
            }
            input.description.md5First16k =
                md5Of(std::string_view(reinterpret_cast<const char*>(buffer_.data()), first));
            input.description.length = record.size;
            input.description.name = record.name;
            input.description.id = fileId(input.description.md5First16k, record.size, record.name);
            input.sliceCount = static_cast<std::uint32_t>(std::min<std::uint64_t>(
                ceilDivide(record.size, plan_.sliceSize), rs::kMaxInputSlices + 1));
            inputs_.push_back(std::move(input));
        }
        std::sort(inputs_.begin(), inputs_.end(), [](const Input& a, const Input& b) {
            return numericallyBefore(a.description.id, b.description.id);
        });
        std::uint64_t slices = 0;
        std::vector<Md5> ids;
        for (Input& input : inputs_) {
            input.firstSlice = static_cast<std::uint32_t>(slices);
            slices += input.sliceCount;
            if (slices > rs::kMaxInputSlices) {
                return failure(input, "the set would hold more slices than the format allows");
            }
            ids.push_back(input.description.id);
        }
        const std::string main = mainBody(plan_.sliceSize, std::move(ids));
        setId_ = md5Of(main);
        mainPacket_ = packet(setId_, kMainType, main);
        return {};
    }

    void prepareRecovery()
    {
        const std::uint64_t count = plan_.recoveryCount;
        width_ = plan_.sliceSize;
        if (count > 0 && plan_.sliceSize > memoryCap_ / count) {
            width_ =
                std::max<std::uint64_t>(kAlignment, memoryCap_ / count / kAlignment * kAlignment);
        }
        // Each recovery slice's range starts on a boundary, as the kernels want.
        stride_ = (width_ + kAlignment - 1) / kAlignment * kAlignment;
        recovery_.assign(count == 0 ? 0 : static_cast<std::size_t>(count * stride_), 0);
        // This thread sums the upper half of the recovery slices, the one
        // that takes the whole file's digests the lower half.
        const auto half = static_cast<std::uint32_t>(count / 2);
        shares_.emplace_back(half, static_cast<std::uint32_t>(count));
        shares_.emplace_back(0, half);
        for (std::uint32_t exponent = 0; exponent < count; ++exponent) {
            recoveryMd5_.push_back(packetMd5Stream(setId_, kRecoverySliceType));
            const std::uint8_t prefix[4] = {static_cast<std::uint8_t>(exponent),
                                            static_cast<std::uint8_t>(exponent >> 8),
                                            static_cast<std::uint8_t>(exponent >> 16),
                                            static_cast<std::uint8_t>(exponent >> 24)};
            recoveryMd5_.back().update(prefix, sizeof prefix);
        }
    }

    // Adds the pieces of slices in length bytes of input's data from offset
    // on, as far as they lie within the first pass's range [0, to), to a share.
    void sumChunk(rs::RecoveryShare& share, const Input& input, std::uint64_t offset,
                  const std::uint8_t* data, std::size_t length, std::uint64_t to)
    {
        const std::uint64_t slice = plan_.sliceSize;
        for (std::size_t done = 0; done < length;) {
            const std::uint64_t position = offset + done;
            const std::uint64_t inSlice = position % slice;
            const auto take =
                static_cast<std::size_t>(std::min<std::uint64_t>(length - done, slice - inSlice));
            if (inSlice < to) {
                share.add(recovery_.data(), stride_,
                          input.firstSlice + static_cast<std::uint32_t>(position / slice),
                          static_cast<std::size_t>(inSlice), data + done,
                          static_cast<std::size_t>(std::min<std::uint64_t>(take, to - inSlice)));
            }
            done += take;
        }
    }

    Result firstPass(Input& input, std::uint64_t to)
    {
        const std::uint64_t size = input.file->record.size;
        const std::uint64_t slice = plan_.sliceSize;
        Sha256Stream sha256;
        Md5Stream wholeMd5;
        Md5Stream first16kMd5;
        Md5Stream sliceMd5;
        std::uint32_t crc = 0;
        for (std::uint64_t offset = 0; offset < size;) {
            if (stopped()) {
                return std::unexpected(WriteFailure{});
            }
            const auto length =
                static_cast<std::size_t>(std::min<std::uint64_t>(kReadChunk, size - offset));
            if (auto read = readExactly(input, offset, length); !read) {
                return read;
            }
            const std::uint8_t* data = buffer_.data();
            // The whole file's digests and a share of the sums take a second
            // core while this one does the rest; both only read the buffer
            // until the join. A small read is not worth a thread.
            const auto wholeFileWork = [&, data, length, offset]() noexcept {
                try {
                    sumChunk(shares_[1], input, offset, data, length, to);
                    sha256.update(data, length);
                    wholeMd5.update(data, length);
                    if (offset < kFirstBytesHashed) {
                        first16kMd5.update(data, static_cast<std::size_t>(std::min<std::uint64_t>(
                                                     length, kFirstBytesHashed - offset)));
                    }
                    return std::string();
                } catch (const std::runtime_error& error) {
                    return std::string(error.what());
                }
            };
            std::future<std::string> wholeFile;
            std::string failed;
            if (length >= kSecondCoreFrom) {
                wholeFile = std::async(std::launch::async, wholeFileWork);
            } else {
                failed = wholeFileWork();
            }
            for (std::size_t done = 0; done < length;) {
                const std::uint64_t position = offset + done;
                const std::uint64_t inSlice = position % slice;
                const auto take = static_cast<std::size_t>(
                    std::min<std::uint64_t>(length - done, slice - inSlice));
                sliceMd5.update(data + done, take);
                crc = crc32Update(crc, data + done, take);
                if (inSlice + take == slice) {
                    input.description.slices.push_back({sliceMd5.finish(), crc});
                    crc = 0;
                }
                done += take;
            }
            sumChunk(shares_[0], input, offset, data, length, to);
            if (wholeFile.valid()) {
                failed = wholeFile.get();
            }
            if (!failed.empty()) {
                return std::unexpected(WriteFailure{std::move(failed), {}});
            }
            offset += length;
        }
        if (size % slice != 0) {
            // The last slice is checksummed as if padded with zeros to the full size.
            static const std::vector<std::uint8_t> zeros(kReadChunk, 0);
            for (std::uint64_t left = slice - size % slice; left > 0;) {
                const auto take =
                    static_cast<std::size_t>(std::min<std::uint64_t>(left, zeros.size()));
                sliceMd5.update(zeros.data(), take);
                crc = crc32Update(crc, zeros.data(), take);
                left -= take;
            }
            input.description.slices.push_back({sliceMd5.finish(), crc});
        }
        // Nothing after the size the file was proven with.
        const auto fd = descriptor(input);
        if (!fd) {
            return failure(input, fd.error().description);
        }
        const auto beyond = sys::readAt(*fd, buffer_.data(), 1, static_cast<off_t>(size));
        if (!beyond) {
            return failure(input, beyond.error().description);
        }
        if (*beyond != 0 || first16kMd5.finish() != input.description.md5First16k) {
            return failure(input, kFileChangedWhileRead);
        }
        Digest digest;
        if (!sha256.finish(digest)) {
            throw std::runtime_error("SHA-256 computation failed");
        }
        if (digest != input.file->record.sha256) {
            return failure(input, kNotItsDigest);
        }
        input.description.md5 = wholeMd5.finish();
        return {};
    }

    Result laterPass(const Input& input, std::uint64_t from, std::uint64_t to)
    {
        const std::uint64_t size = input.file->record.size;
        const std::uint64_t slice = plan_.sliceSize;
        for (std::uint32_t index = 0; index < input.sliceCount; ++index) {
            const std::uint64_t start = index * slice;
            const std::uint64_t end = std::min(size, start + to);
            for (std::uint64_t position = start + from; position < end;) {
                if (stopped()) {
                    return std::unexpected(WriteFailure{});
                }
                const auto length =
                    static_cast<std::size_t>(std::min<std::uint64_t>(kReadChunk, end - position));
                if (auto read = readExactly(input, position, length); !read) {
                    return read;
                }
                for (rs::RecoveryShare& share : shares_) {
                    share.add(recovery_.data(), stride_, input.firstSlice + index,
                              static_cast<std::size_t>(position - start - from), buffer_.data(),
                              length);
                }
                position += length;
            }
        }
        return {};
    }

    // A pass over ranges proves its bytes only if no file changed since the
    // first one read and proved them: the change time moves with any write.
    Result stillTheSame() const
    {
        for (const Input& input : inputs_) {
            const auto state = stateOf(input);
            if (!state) {
                return failure(input, state.error().description);
            }
            if (!sameState(input.before, *state)) {
                return failure(input, kFileChangedWhileRead);
            }
        }
        return {};
    }

    Result writeAt(std::uint64_t position, const void* data, std::size_t size)
    {
        if (const auto moved = sys::lseek(out_, static_cast<off_t>(position), SEEK_SET); !moved) {
            return std::unexpected(WriteFailure{moved.error().description, {}});
        }
        if (const auto written = sys::writeAll(out_, data, size); !written) {
            return std::unexpected(WriteFailure{written.error().description, {}});
        }
        return {};
    }

    // Main, each file's description and slice checksums, and Quelby's packet
    // with every file of the folder: each set of a folder carries them all.
    void buildCriticalPackets()
    {
        critical_ = mainPacket_;
        for (const Input& input : inputs_) {
            critical_ +=
                packet(setId_, kFileDescriptionType, fileDescriptionBody(input.description));
        }
        for (const Input& input : inputs_) {
            critical_ += packet(setId_, kSliceChecksumType, sliceChecksumBody(input.description));
        }
        std::vector<CoveredRecord> records;
        records.reserve(files_.size());
        for (const FileToCover& file : files_) {
            records.push_back(file.record);
        }
        critical_ += packet(setId_, kQuelbyFilesType, quelbyFilesBody(percent_, records));
    }

    Result writeLeadingPackets()
    {
        buildCriticalPackets();
        recoveryStart_ = critical_.size();
        return writeAt(0, critical_.data(), critical_.size());
    }

    std::uint64_t recoveryPacketSize() const
    {
        return kPacketHeaderSize + kRecoveryBodyPrefix + plan_.sliceSize;
    }

    Result writeRecoveryRange(std::uint64_t from, std::uint64_t to)
    {
        const auto bytes = static_cast<std::size_t>(to - from);
        for (std::size_t exponent = 0; exponent < recoveryMd5_.size(); ++exponent) {
            const std::uint8_t* data = recovery_.data() + exponent * stride_;
            recoveryMd5_[exponent].update(data, bytes);
            const std::uint64_t at = recoveryStart_ + exponent * recoveryPacketSize() +
                                     kPacketHeaderSize + kRecoveryBodyPrefix + from;
            if (auto written = writeAt(at, data, bytes); !written) {
                return written;
            }
        }
        return {};
    }

    Result writeTrailingPackets()
    {
        for (std::uint32_t exponent = 0; exponent < recoveryMd5_.size(); ++exponent) {
            std::string header =
                packetHeader(setId_, kRecoverySliceType, kRecoveryBodyPrefix + plan_.sliceSize,
                             recoveryMd5_[exponent].finish());
            for (int shift = 0; shift < 32; shift += 8) {
                header.push_back(static_cast<char>((exponent >> shift) & 0xFF));
            }
            if (auto written = writeAt(recoveryStart_ + exponent * recoveryPacketSize(),
                                       header.data(), header.size());
                !written) {
                return written;
            }
        }
        std::string trailing =
            packet(setId_, kCreatorType, creatorBody("Created by Quelby " QUELBY_VERSION));
        trailing += critical_;
        return writeAt(recoveryStart_ + recoveryMd5_.size() * recoveryPacketSize(), trailing.data(),
                       trailing.size());
    }

    int out_;
    const SetPlan& plan_;
    const std::vector<FileToCover>& files_;
    unsigned percent_;
    const std::function<bool()>& stop_;
    std::uint64_t memoryCap_;

    std::vector<std::uint8_t> buffer_;
    std::vector<Input> inputs_;
    const FileToCover* openedFor_ = nullptr;
    FileDescriptor openedFd_;
    Md5 setId_;
    std::string mainPacket_;
    std::string critical_;
    std::uint64_t recoveryStart_ = 0;

    std::uint64_t width_ = 0;  // of each pass's range
    std::uint64_t stride_ = 0; // from one recovery slice's range to the next's
    std::vector<std::uint8_t> recovery_;
    std::vector<Md5Stream> recoveryMd5_;
    std::vector<rs::RecoveryShare> shares_; // this thread's, then the other's
};

} // namespace

std::expected<void, WriteFailure> writeSet(int out, const SetPlan& plan,
                                           const std::vector<FileToCover>& files, unsigned percent,
                                           const std::function<bool()>& stop,
                                           std::uint64_t memoryCap)
{
    try {
        return SetWriter(out, plan, files, percent, stop, memoryCap).write();
    } catch (const std::bad_alloc&) {
        return std::unexpected(WriteFailure{"not enough memory for the parity set", {}});
    } catch (const std::runtime_error& error) {
        return std::unexpected(WriteFailure{error.what(), {}});
    }
}

} // namespace quelby::parity
