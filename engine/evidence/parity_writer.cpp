#include "engine/evidence/parity_writer.h"

#include "engine/coding/galois16.h"
#include "engine/coding/reed_solomon.h"
#include "engine/evidence/parity_packets.h"
#include "engine/platform/sys.h"

#include <algorithm>
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

// The recovery work is a set's bytes times its recovery slices, and the
// recovery slices are the percentage of its input slices: a set aims at this
// many input slices and no more, and its slices grow with its bytes. More
// files than this take one slice each, and a set holds as many files as
// leave room for that.
constexpr std::uint64_t kTargetSlices = 256;
constexpr std::size_t kMostFilesPerSet = rs::kMaxInputSlices - kTargetSlices;

constexpr std::size_t kReadChunk = std::size_t{1} << 20;
// Recovery data is summed over blocks this size, so that the input block
// stays in the cache while every recovery slice takes its share.
constexpr std::size_t kSumBlock = std::size_t{32} << 10;
constexpr std::size_t kAlignment = 16;
constexpr std::uint64_t kFirstBytesHashed = 16384;
constexpr std::uint64_t kRecoveryBodyPrefix = 4; // the exponent

constexpr std::string_view kNotItsDigest = "its contents differ from its digest";

std::uint64_t ceilDivide(std::uint64_t a, std::uint64_t b)
{
    return a / b + (a % b != 0 ? 1 : 0);
}

// The smallest byte count that is percent % of total, without overflow.
std::uint64_t percentOf(std::uint64_t total, unsigned percent)
{
    return total / 100 * percent + ceilDivide(total % 100 * percent, 100);
}

SetPlan planOneSet(std::vector<std::size_t> files, std::uint64_t bytes, unsigned percent)
{
    SetPlan plan;
    plan.files = std::move(files);
    plan.sliceSize = std::max<std::uint64_t>(4, ceilDivide(ceilDivide(bytes, kTargetSlices), 4) * 4);
    plan.recoveryCount =
        bytes == 0 ? 0
                   : static_cast<std::uint32_t>(std::max<std::uint64_t>(
                         1, ceilDivide(percentOf(bytes, percent), plan.sliceSize)));
    return plan;
}

class Sha256Stream
{
public:
    Sha256Stream() : context_(EVP_MD_CTX_new())
    {
        if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1) {
            throw std::runtime_error("SHA-256 is not available");
        }
    }
    void update(const void* data, std::size_t size)
    {
        if (EVP_DigestUpdate(context_.get(), data, size) != 1) {
            throw std::runtime_error("SHA-256 computation failed");
        }
    }
    Digest finish()
    {
        Digest digest;
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(context_.get(), digest.bytes.data(), &length) != 1) {
            throw std::runtime_error("SHA-256 computation failed");
        }
        return digest;
    }

private:
    struct Deleter
    {
        void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
    };
    std::unique_ptr<EVP_MD_CTX, Deleter> context_;
};

bool sameState(const struct stat& before, const struct stat& after)
{
    const auto sameTime = [](const timespec& a, const timespec& b) {
        return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
    };
    return before.st_dev == after.st_dev && before.st_ino == after.st_ino &&
           before.st_size == after.st_size && sameTime(before.st_mtim, after.st_mtim) &&
           sameTime(before.st_ctim, after.st_ctim);
}

// One input file of the set being written.
struct Input
{
    const FileToCover* file = nullptr;
    struct stat before{};
    InputFile description;
    std::uint32_t firstSlice = 0; // its first slice's constant
    std::uint32_t sliceCount = 0;
};

using Result = std::expected<void, WriteFailure>;

std::unexpected<WriteFailure> failure(const Input& input, std::string_view reason)
{
    return std::unexpected(WriteFailure{std::string(reason), input.file->record.name});
}

// Sums pieces of input slices into the recovery slices with exponents
// [first, last) of a pass's buffer. Each thread that sums has a share of its
// own, with its own coefficients and copy space; shares never overlap.
class RecoveryShare
{
public:
    RecoveryShare(std::uint32_t first, std::uint32_t last)
        : first_(first), coefficients_(last - first), scratch_(kSumBlock + 2 * kAlignment)
    {
    }

    // Adds length bytes of input slice `slice` that lie start bytes into the
    // pass's range; an odd length is summed with the zero byte after it.
    void add(std::uint8_t* recovery, std::uint64_t stride, std::uint32_t slice, std::size_t start,
             const std::uint8_t* data, std::size_t length)
    {
        if (coefficients_.empty()) {
            return;
        }
        if (coefficientsOf_ != slice) {
            const gf16::Element constant = rs::inputConstant(slice);
            gf16::Element power = gf16::power(constant, first_);
            for (gf16::Element& coefficient : coefficients_) {
                coefficient = power;
                power = gf16::multiply(power, constant);
            }
            coefficientsOf_ = slice;
        }
        const std::size_t even = (length + 1) & ~std::size_t{1};
        for (std::size_t block = 0; block < even; block += kSumBlock) {
            const std::size_t bytes = std::min(kSumBlock, even - block);
            std::uint8_t* target = recovery + first_ * stride + start + block;
            const std::uint8_t* source = alignedLike(target, data + block, bytes);
            for (const gf16::Element coefficient : coefficients_) {
                gf16::multiplyAdd(target, source, bytes, coefficient);
                target += stride;
            }
        }
    }

private:
    // The region kernels want source and target at the same offset from a
    // 16-byte boundary; a source that is not is copied to one that is.
    const std::uint8_t* alignedLike(const std::uint8_t* target, const std::uint8_t* source,
                                    std::size_t bytes)
    {
        const auto offset = [](const std::uint8_t* pointer) {
            return reinterpret_cast<std::uintptr_t>(pointer) % kAlignment;
        };
        if (offset(target) == offset(source)) {
            return source;
        }
        std::uint8_t* copy = scratch_.data() +
                             (kAlignment - offset(scratch_.data())) % kAlignment + offset(target);
        std::copy_n(source, bytes, copy);
        return copy;
    }

    std::uint32_t first_;
    std::vector<gf16::Element> coefficients_;
    std::uint32_t coefficientsOf_ = rs::kMaxInputSlices;
    std::vector<std::uint8_t> scratch_;
};

// Recovery data is summed in passes over byte ranges [from, to) of every
// slice; the first pass also reads every byte for the checksums and the
// proof, later ones read only their range and prove by the files' state
// that the bytes are the same.
class SetWriter
{
public:
    SetWriter(int out, const SetPlan& plan, const std::vector<FileToCover>& files,
              unsigned percent, const std::function<bool()>& stop, std::uint64_t memoryCap)
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

    Result readExactly(const Input& input, std::uint64_t offset, std::size_t length)
    {
        std::size_t done = 0;
        while (done < length) {
            const auto count = sys::readAt(input.file->fd, buffer_.data() + done, length - done,
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
            if (index >= files_.size()) {
                return std::unexpected(WriteFailure{"the set's plan names no such file", {}});
            }
            Input input;
            input.file = &files_[index];
            const CoveredRecord& record = input.file->record;
            const auto state = sys::fstat(input.file->fd);
            if (!state) {
                return failure(input, state.error().description);
            }
            if (!S_ISREG(state->st_mode) || static_cast<std::uint64_t>(state->st_size) != record.size) {
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
            input.description.md5First16k = md5Of(
                std::string_view(reinterpret_cast<const char*>(buffer_.data()), first));
            input.description.length = record.size;
            input.description.name = record.name;
            input.description.id = fileId(input.description.md5First16k, record.size, record.name);
            input.sliceCount = static_cast<std::uint32_t>(
                std::min<std::uint64_t>(ceilDivide(record.size, plan_.sliceSize),
                                        rs::kMaxInputSlices + 1));
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
            width_ = std::max<std::uint64_t>(kAlignment, memoryCap_ / count / kAlignment * kAlignment);
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
            const std::uint8_t prefix[4] = {
                static_cast<std::uint8_t>(exponent), static_cast<std::uint8_t>(exponent >> 8),
                static_cast<std::uint8_t>(exponent >> 16), static_cast<std::uint8_t>(exponent >> 24)};
            recoveryMd5_.back().update(prefix, sizeof prefix);
        }
    }

    // Adds the pieces of slices in length bytes of input's data from offset
    // on, as far as they lie within the first pass's range [0, to), to a share.
    void sumChunk(RecoveryShare& share, const Input& input, std::uint64_t offset,
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
            const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(kReadChunk, size - offset));
            if (auto read = readExactly(input, offset, length); !read) {
                return read;
            }
            const std::uint8_t* data = buffer_.data();
            // The whole file's digests and a share of the sums take a second
            // core while this one does the rest; both only read the buffer
            // until the join.
            auto wholeFile = std::async(std::launch::async, [&, data, length, offset]() noexcept {
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
            });
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
            if (std::string failed = wholeFile.get(); !failed.empty()) {
                return std::unexpected(WriteFailure{std::move(failed), {}});
            }
            offset += length;
        }
        if (size % slice != 0) {
            // The last slice is checksummed as if padded with zeros to the full size.
            static const std::vector<std::uint8_t> zeros(kReadChunk, 0);
            for (std::uint64_t left = slice - size % slice; left > 0;) {
                const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(left, zeros.size()));
                sliceMd5.update(zeros.data(), take);
                crc = crc32Update(crc, zeros.data(), take);
                left -= take;
            }
            input.description.slices.push_back({sliceMd5.finish(), crc});
        }
        // Nothing after the size the file was proven with.
        const auto beyond = sys::readAt(input.file->fd, buffer_.data(), 1, static_cast<off_t>(size));
        if (!beyond) {
            return failure(input, beyond.error().description);
        }
        if (*beyond != 0 || first16kMd5.finish() != input.description.md5First16k) {
            return failure(input, kFileChangedWhileRead);
        }
        if (sha256.finish() != input.file->record.sha256) {
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
                for (RecoveryShare& share : shares_) {
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
            const auto state = sys::fstat(input.file->fd);
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
            critical_ += packet(setId_, kFileDescriptionType, fileDescriptionBody(input.description));
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
            std::string header = packetHeader(setId_, kRecoverySliceType,
                                              kRecoveryBodyPrefix + plan_.sliceSize,
                                              recoveryMd5_[exponent].finish());
            for (int shift = 0; shift < 32; shift += 8) {
                header.push_back(static_cast<char>((exponent >> shift) & 0xFF));
            }
            if (auto written =
                    writeAt(recoveryStart_ + exponent * recoveryPacketSize(), header.data(), header.size());
                !written) {
                return written;
            }
        }
        std::string trailing = packet(setId_, kCreatorType, creatorBody("Created by Quelby " QUELBY_VERSION));
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
    Md5 setId_;
    std::string mainPacket_;
    std::string critical_;
    std::uint64_t recoveryStart_ = 0;

    std::uint64_t width_ = 0; // of each pass's range
    std::uint64_t stride_ = 0; // from one recovery slice's range to the next's
    std::vector<std::uint8_t> recovery_;
    std::vector<Md5Stream> recoveryMd5_;
    std::vector<RecoveryShare> shares_; // this thread's, then the other's
};

} // namespace

std::vector<SetPlan> planSets(const std::vector<std::uint64_t>& sizes, unsigned percent)
{
    if (sizes.empty()) {
        return {};
    }
    percent = std::clamp(percent, 1u, 100u);
    std::vector<SetPlan> plans;
    std::vector<std::size_t> empty;
    std::vector<std::size_t> current;
    std::uint64_t bytes = 0;
    for (std::size_t index = 0; index < sizes.size(); ++index) {
        if (sizes[index] == 0) {
            empty.push_back(index);
            continue;
        }
        if (current.size() == kMostFilesPerSet) {
            plans.push_back(planOneSet(std::move(current), bytes, percent));
            current.clear();
            bytes = 0;
        }
        current.push_back(index);
        bytes += sizes[index];
    }
    if (!current.empty() || plans.empty()) {
        plans.push_back(planOneSet(std::move(current), bytes, percent));
    }
    // Empty files have no slices; they ride in the first set's own packet.
    std::vector<std::size_t>& first = plans.front().files;
    first.insert(first.end(), empty.begin(), empty.end());
    std::sort(first.begin(), first.end());
    return plans;
}

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
