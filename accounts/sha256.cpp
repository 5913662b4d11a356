#include "accounts/sha256.hpp"

#include <openssl/evp.h>

#include <new>
#include <stdexcept>

namespace pt {

namespace {

void start(EVP_MD_CTX* context) {
    if (EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("libcrypto offers no SHA-256");
    }
}

}  // namespace

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
    if (context_ == nullptr) throw std::bad_alloc();
    try {
        start(context_);
    } catch (...) {
        EVP_MD_CTX_free(context_);
        throw;
    }
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(context_);
}

void Sha256::add(const void* bytes, std::size_t count) {
    if (count != 0 && EVP_DigestUpdate(context_, bytes, count) != 1) {
        throw std::runtime_error("libcrypto failed to hash");
    }
}

std::string Sha256::hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context_, digest, &size) != 1 || size != 32) {
        throw std::runtime_error("libcrypto failed to hash");
    }
    static const char DIGITS[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * size);
    for (unsigned int k = 0; k < size; ++k) {
        text += DIGITS[digest[k] >> 4];
        text += DIGITS[digest[k] & 15];
    }
    start(context_);
    return text;
}

bool is_sha256_hex(std::string_view text) {
    if (text.size() != 64) return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

}  // namespace pt
