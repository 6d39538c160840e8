#include "engine/evidence/parity_md5.h"

#include <openssl/evp.h>
#include <stdexcept>

namespace quelby::parity {

namespace {

// Fetched once: the implicit fetch behind EVP_md5() costs a lookup on every init.
const EVP_MD* md5Method()
{
    static EVP_MD* const md = EVP_MD_fetch(nullptr, "MD5", nullptr);
    return md != nullptr ? md : EVP_md5();
}

} // namespace

void Md5Stream::ContextDeleter::operator()(evp_md_ctx_st* context) const
{
    EVP_MD_CTX_free(context);
}

Md5Stream::Md5Stream() : context_(EVP_MD_CTX_new())
{
    if (!context_ || EVP_DigestInit_ex(context_.get(), md5Method(), nullptr) != 1) {
        throw std::runtime_error("MD5 is not available");
    }
}

void Md5Stream::update(const void* data, std::size_t size)
{
    if (size > 0 && EVP_DigestUpdate(context_.get(), data, size) != 1) {
        throw std::runtime_error("MD5 computation failed");
    }
}

Md5 Md5Stream::finish()
{
    Md5 md5;
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_.get(), md5.bytes.data(), &length) != 1 ||
        length != md5.bytes.size() ||
        EVP_DigestInit_ex(context_.get(), md5Method(), nullptr) != 1) {
        throw std::runtime_error("MD5 computation failed");
    }
    return md5;
}

Md5 md5Of(std::string_view bytes)
{
    Md5Stream stream;
    stream.update(bytes.data(), bytes.size());
    return stream.finish();
}

} // namespace quelby::parity
