#include "fd_stream.h"

#include <cerrno>
#include <unistd.h>

namespace quelby::cli {

FdStreamBuffer::FdStreamBuffer(int fd) : fd_(fd)
{
    setp(buffer_.data(), buffer_.data() + buffer_.size());
}

bool FdStreamBuffer::writePending()
{
    const char* next = pbase();
    while (writeError_ == 0 && next < pptr()) {
        const ssize_t written = ::write(fd_, next, static_cast<std::size_t>(pptr() - next));
        if (written >= 0) {
            next += written;
        } else if (errno != EINTR) {
            writeError_ = errno;
        }
    }
    setp(buffer_.data(), buffer_.data() + buffer_.size());
    return writeError_ == 0;
}

FdStreamBuffer::int_type FdStreamBuffer::overflow(int_type c)
{
    if (!writePending()) {
        return traits_type::eof();
    }
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

int FdStreamBuffer::sync()
{
    return writePending() ? 0 : -1;
}

int writeErrorOf(const std::ostream& out)
{
    const auto* buffer = dynamic_cast<const FdStreamBuffer*>(out.rdbuf());
    return buffer ? buffer->writeError() : 0;
}

} // namespace quelby::cli
