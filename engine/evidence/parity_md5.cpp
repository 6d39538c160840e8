#include "engine/evidence/parity_md5.h"

#include <openssl/evp.h>

namespace quelby::parity {

namespace {

// Fetched once: the implicit fetch behind EVP_md5() costs a lookup on every init.
const EVP_MD* md5Algorithm()
{
    static EVP_MD* const md = EVP_MD_fetch(nullptr, "MD5", nullptr);
    return md != nullptr ? md : EVP_md5();
}

} // namespace

void Md5Hash::ContextDeleter::operator()(EVP_MD_CTX* context) const
{
    EVP_MD_CTX_free(context);
}

Md5Hash::Md5Hash() : context_(EVP_MD_CTX_new())
{
    ok_ = context_ != nullptr && EVP_DigestInit_ex(context_.get(), md5Algorithm(), nullptr) == 1;
}

void Md5Hash::update(const void* data, std::size_t size)
{
    ok_ = ok_ && EVP_DigestUpdate(context_.get(), data, size) == 1;
}

bool Md5Hash::finish(Md5& md5)
{
    unsigned int length = 0;
    return ok_ && EVP_DigestFinal_ex(context_.get(), md5.bytes.data(), &length) == 1 &&
           length == md5.bytes.size();
}

} // namespace quelby::parity
