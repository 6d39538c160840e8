#pragma once

// The MD5 a parity set checks its packets and slices with, computed in pieces.

#include "engine/evidence/parity_format.h"

#include <cstddef>
#include <memory>
#include <openssl/types.h>

namespace quelby::parity {

class Md5Hash
{
public:
    Md5Hash();
    void update(const void* data, std::size_t size);
    // The hash of everything given; false when OpenSSL failed on the way.
    bool finish(Md5& md5);

private:
    struct ContextDeleter
    {
        void operator()(EVP_MD_CTX* context) const;
    };
    std::unique_ptr<EVP_MD_CTX, ContextDeleter> context_;
    bool ok_ = false;
};

} // namespace quelby::parity
