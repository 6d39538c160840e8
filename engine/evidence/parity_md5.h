#pragma once

// The MD5 a parity set checks its packets, files and slices with, through
// OpenSSL, computed in pieces. Throws std::runtime_error only where OpenSSL
// offers no MD5 or runs out of memory.

#include "engine/evidence/parity_format.h"

#include <cstddef>
#include <memory>
#include <string_view>

struct evp_md_ctx_st;

namespace quelby::parity {

class Md5Stream
{
public:
    Md5Stream();
    void update(const void* data, std::size_t size);
    // The digest of everything given so far; the stream then starts again.
    Md5 finish();

private:
    struct ContextDeleter
    {
        void operator()(evp_md_ctx_st* context) const;
    };
    std::unique_ptr<evp_md_ctx_st, ContextDeleter> context_;
};

Md5 md5Of(std::string_view bytes);

} // namespace quelby::parity
