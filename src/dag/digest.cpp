#include "dag/digest.hpp"

#include <openssl/evp.h>

namespace quorl {

Digest md5_digest(std::string_view bytes) {
    Digest digest{};
    unsigned int length = 0;
    const int ok = EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_md5(), nullptr);
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
