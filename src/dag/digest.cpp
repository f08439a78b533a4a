#include "dag/digest.hpp"

#include <openssl/evp.h>

namespace quorl {

namespace {

// EVP_md5() names the algorithm without an implementation, so EVP_Digest
// looked the implementation up on every call, which cost more than hashing a
// magnet. Fetched once instead: the object is never changed afterwards, and
// a function-local static is initialised once even across threads. Should
// the fetch fail, EVP_md5() gives the same answer (or the same failure).
const EVP_MD* md5_algorithm() {
    static const EVP_MD* const fetched = EVP_MD_fetch(nullptr, "MD5", nullptr);
    return fetched != nullptr ? fetched : EVP_md5();
}

}  // namespace

Digest md5_digest(std::string_view bytes) {
    Digest digest{};
    unsigned int length = 0;
    const int ok = EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, md5_algorithm(), nullptr);
    QUORL_ASSERT(ok == 1 && length == digest.size());
    return digest;
}

std::string to_lower_hex(const Digest& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(digest.size() * 2);
    for (const std::uint8_t byte : digest) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0x0F];
    }
    return hex;
}

}  // namespace quorl
