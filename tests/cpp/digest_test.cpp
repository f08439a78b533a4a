#include "dag/digest.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quorl {
namespace {

struct DigestCase {
    std::string input;
    const char* hex;
};

// The test suite of RFC 1321, and inputs whose padding takes one byte less,
// exactly, or one byte more than fits beside the length in the last block.
TEST(Md5Digest, MatchesTheStandardsVectors) {
    const DigestCase cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        {std::string(55, 'x'), "04364420e25c512fd958a70738aa8f72"},
        {std::string(56, 'x'), "668a72d5ba17f08e62dabcafad6db14b"},
        {std::string(64, 'x'), "c1bb4f81d892b2d57947682aeb252456"},
    };
    for (const DigestCase& c : cases) {
        EXPECT_EQ(to_lower_hex(md5_digest(c.input)), c.hex) << c.input.size() << " bytes";
    }
}

TEST(Md5Digest, HashesHighBytesAndZeros) {
    const std::string bytes("\x00\xff\x80\x7f", 4);
    EXPECT_EQ(to_lower_hex(md5_digest(bytes)), "35913419231430075897c28e5e159b65");
}

// Pieces that end inside a block, on its end, or span several blocks, with
// totals on both sides of the padding's limits.
TEST(Md5Digester, PiecesDigestAsTheirJoinedBytes) {
    for (const std::size_t total : {0, 1, 55, 56, 63, 64, 65, 127, 128, 300}) {
        std::string bytes(total, '\0');
        for (std::size_t i = 0; i < total; ++i) bytes[i] = static_cast<char>(i * 37 + 11);
        for (const std::size_t piece : {1, 7, 63, 64, 65, 200}) {
            Md5Digester digester;
            for (std::size_t at = 0; at < total; at += piece) digester.add(std::string_view(bytes).substr(at, piece));
            EXPECT_EQ(digester.finish(), md5_digest(bytes)) << total << " bytes in pieces of " << piece;
        }
    }
}

}  // namespace
}  // namespace quorl
