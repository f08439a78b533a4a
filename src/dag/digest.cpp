#include "dag/digest.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "graph/polled_buffers.hpp"

namespace quorl {

namespace {

// MD5 as RFC 1321 states it. Magnets are short and digested one at a time,
// so a library's per-call set-up (looking the algorithm up, a context on the
// heap) cost more than the hashing; this one keeps its state on the stack.

constexpr std::array<std::uint32_t, 64> kSines = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

constexpr std::array<int, 64> kShifts = {
    7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
    4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21,
};

std::uint32_t little_endian_word(const unsigned char* bytes) {
    return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
           std::uint32_t{bytes[3]} << 24;
}

// One of the four rounds: sixteen steps with the round's word order.
// Unrolled, each step's constants are known at compile time. A step's new b
// waits on the previous b alone, so everything that does not read b (the
// word, the sine, a, and the round's terms of c and d) is summed first and b
// enters last: the chain from one b to the next is then as short as the
// round's mixing function allows.
template <int kRound>
void digest_round(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d,
                  const std::array<std::uint32_t, 16>& words) {
    constexpr std::size_t kFirstWord[] = {0, 1, 5, 0};
    constexpr std::size_t kWordStep[] = {1, 5, 3, 7};
#pragma GCC unroll 16
    for (std::size_t step = 0; step < 16; ++step) {
        const std::size_t i = 16 * kRound + step;
        std::uint32_t sum = a + kSines[i] + words[(kFirstWord[kRound] + kWordStep[kRound] * step) % 16];
        if constexpr (kRound == 0) {
            sum += d ^ (b & (c ^ d));  // (b & c) | (~b & d)
        } else if constexpr (kRound == 1) {
            sum += (c & ~d) + (b & d);  // (b & d) | (c & ~d): the two terms share no bit
        } else if constexpr (kRound == 2) {
            sum += b ^ (c ^ d);
        } else {
            sum += c ^ (b | ~d);
        }
        const std::uint32_t rotated = std::rotl(sum, kShifts[i]);
        a = d;
        d = c;
        c = b;
        b += rotated;
    }
}

void digest_block(std::array<std::uint32_t, 4>& state, const unsigned char* block) {
    std::array<std::uint32_t, 16> words;
    for (std::size_t i = 0; i < 16; ++i) words[i] = little_endian_word(block + 4 * i);
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    digest_round<0>(a, b, c, d, words);
    digest_round<1>(a, b, c, d, words);
    digest_round<2>(a, b, c, d, words);
    digest_round<3>(a, b, c, d, words);
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

}  // namespace

Digest md5_digest(std::string_view bytes) { return *md5_digest(bytes, nullptr); }

std::optional<Digest> md5_digest(std::string_view bytes, StopPoll* stop) {
    Md5Digester digester;
    // Some 600 MB a second: the magnet of a region of millions of nodes takes tens of milliseconds.
    const bool digested = in_polled_steps(bytes.size(), kPolledStepBytes, stop, [&](std::size_t begin, std::size_t end) {
        digester.add(bytes.substr(begin, end - begin));
    });
    if (!digested) return std::nullopt;
    return digester.finish();
}

void Md5Digester::add(std::string_view bytes) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t size = bytes.size();
    length_ += size;
    if (buffered_ > 0) {
        const std::size_t taken = std::min(size, block_.size() - buffered_);
        std::memcpy(block_.data() + buffered_, data, taken);
        buffered_ += taken;
        data += taken;
        size -= taken;
        if (buffered_ < block_.size()) return;
        digest_block(state_, block_.data());
        buffered_ = 0;
    }
    // Whole blocks straight from the bytes, the rest kept for the next piece.
    for (; size >= 64; data += 64, size -= 64) digest_block(state_, data);
    if (size > 0) std::memcpy(block_.data(), data, size);
    buffered_ = size;
}

Digest Md5Digester::finish() {
    // The rest, a 0x80 byte, zeros up to 56 bytes modulo 64, and the length
    // in bits as a little-endian 64-bit number: one or two blocks.
    std::array<unsigned char, 128> tail{};
    if (buffered_ > 0) std::memcpy(tail.data(), block_.data(), buffered_);
    tail[buffered_] = 0x80;
    const std::size_t tail_size = buffered_ < 56 ? 64 : 128;
    const std::uint64_t bits = length_ * 8;
    for (std::size_t i = 0; i < 8; ++i) tail[tail_size - 8 + i] = static_cast<unsigned char>(bits >> (8 * i));
    for (std::size_t at = 0; at < tail_size; at += 64) digest_block(state_, tail.data() + at);

    Digest digest{};
    for (std::size_t i = 0; i < 16; ++i) digest[i] = static_cast<std::uint8_t>(state_[i / 4] >> (8 * (i % 4)));
    return digest;
}

std::string to_lower_hex(const Digest& digest) {
    std::string hex(digest.size() * 2, '\0');
    write_lower_hex(digest, hex.data());
    return hex;
}

void write_lower_hex(const Digest& digest, char* out) {
    // Both digits of every byte value, so that a byte is one copy of two.
    static constexpr std::array<char, 512> kDigitPairs = [] {
        constexpr char kDigits[] = "0123456789abcdef";
        std::array<char, 512> pairs{};
        for (std::size_t byte = 0; byte < 256; ++byte) {
            pairs[2 * byte] = kDigits[byte >> 4];
            pairs[2 * byte + 1] = kDigits[byte & 0x0F];
        }
        return pairs;
    }();
    for (std::size_t i = 0; i < digest.size(); ++i) std::memcpy(out + 2 * i, &kDigitPairs[2 * digest[i]], 2);
}

}  // namespace quorl
