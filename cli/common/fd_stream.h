#pragma once

// An output stream straight onto a file descriptor that remembers why its
// last write failed, so that a reader who went away (a closed pipe) can be
// told apart from a write that truly failed (a full disk).

#include <array>
#include <ostream>
#include <streambuf>

namespace quelby::cli {

class FdStreamBuffer : public std::streambuf
{
public:
    explicit FdStreamBuffer(int fd);

    // The errno of the first failed write; 0 while every write succeeded.
    int writeError() const { return writeError_; }

protected:
    int_type overflow(int_type c) override;
    int sync() override;

private:
    bool writePending();

    int fd_;
    int writeError_ = 0;
    std::array<char, 65536> buffer_{};
};

class FdOutputStream : public std::ostream
{
public:
    explicit FdOutputStream(int fd) : std::ostream(nullptr), buffer_(fd) { rdbuf(&buffer_); }

private:
    FdStreamBuffer buffer_;
};

// The errno of the stream's failed write when it is one of ours, else 0.
int writeErrorOf(const std::ostream& out);

} // namespace quelby::cli
