// The SHA-256 of a tile's accounts table as its bytes are read. A table
// rewritten in place with its size, inode and time put back (a copy made
// with its times kept, an editor that writes in place) keeps the identity the
// tile's record holds; only its bytes tell it from the one its run wrote, and
// the tile's job records their digest (tilebatch/tilejob.py, hashlib) as the
// run ends. The hashing is OpenSSL's libcrypto.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace pt {

class Sha256 {
  public:
    // Throws std::bad_alloc, or std::runtime_error where libcrypto offers no
    // SHA-256 (a build or set-up fault, never a table's).
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void add(const void* bytes, std::size_t count);
    // The digest of all the bytes added, as 64 lowercase hexadecimal digits,
    // as sha256sum and hashlib's hexdigest() write it; the hashing starts
    // again from nothing after it.
    std::string hex();

  private:
    evp_md_ctx_st* context_;
};

// Whether `text` is a digest as hex() writes it.
bool is_sha256_hex(std::string_view text);

}  // namespace pt
