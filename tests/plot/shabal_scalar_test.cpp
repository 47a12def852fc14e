// The one-lane Shabal forms against the published known answers.
#include <gtest/gtest.h>

#include <cstring>

#include "plot/shabal.h"
#include "tests/plot/known_answers.h"

namespace {

std::string scalar_digest(const std::vector<uint8_t>& m) {
    shabal_scalar_context ctx;
    shabal_scalar_init(&ctx, 256);
    shabal_scalar_update(&ctx, m.data(), m.size());
    uint8_t d[32];
    shabal_scalar_close(&ctx, 0, 0, d);
    return to_hex(d, 32);
}

TEST(ShabalScalar, KnownAnswers) {
    auto kat = load_shabal_kat();
    ASSERT_GE(kat.size(), 9u);
    EXPECT_TRUE(kat[0].message.empty());
    for (auto& k : kat) EXPECT_EQ(scalar_digest(k.message), k.digest) << k.message.size() << " bytes";
}

// Pieces of every size up to 70 with zero-length updates between them, on an
// odd data address; the context is reused after close via init only.
TEST(ShabalScalar, UnevenPiecesAndReuse) {
    shabal_scalar_context ctx;
    shabal_scalar_init(&ctx, 256);
    for (auto& k : load_shabal_kat()) {
        std::vector<uint8_t> odd(k.message.size() + 1);
        if (!k.message.empty()) memcpy(odd.data() + 1, k.message.data(), k.message.size());
        for (size_t piece = 1; piece <= 70; piece += 3) {
            size_t at = 0;
            while (at < k.message.size()) {
                size_t n = std::min(piece, k.message.size() - at);
                shabal_scalar_update(&ctx, odd.data() + 1 + at, n);
                shabal_scalar_update(&ctx, odd.data(), 0);
                at += n;
            }
            uint8_t d[33];
            shabal_scalar_close(&ctx, 0, 0, d + 1);
            EXPECT_EQ(to_hex(d + 1, 32), k.digest) << k.message.size() << " bytes in pieces of " << piece;
            shabal_scalar_init(&ctx, 256);
        }
    }
}

// Long messages cross many blocks: a message of 262160 bytes (the final hash
// of a nonce) in one update equals the same bytes fed as 4096 + rest.
TEST(ShabalScalar, LongMessageSplitMatches) {
    std::vector<uint8_t> m(262160);
    for (size_t i = 0; i < m.size(); i++) m[i] = (uint8_t)(i * 131 + 7);
    shabal_scalar_context a, b;
    shabal_scalar_init(&a, 256);
    shabal_scalar_init(&b, 256);
    shabal_scalar_update(&a, m.data(), m.size());
    shabal_scalar_update(&b, m.data(), 4095);
    shabal_scalar_update(&b, m.data() + 4095, m.size() - 4095);
    uint8_t da[32], db[32];
    shabal_scalar_close(&a, 0, 0, da);
    shabal_scalar_close(&b, 0, 0, db);
    EXPECT_EQ(to_hex(da, 32), to_hex(db, 32));
}

// The IV table follows the Shabal rule for every size, and the 256-bit row
// is the published Shabal-256 initial value.
TEST(ShabalScalar, InitialValueRows) {
    for (unsigned k = 0; k < 16; k++) {
        uint32_t bits = 32 * (k + 1);
        shabal_scalar_state st;
        memset(&st, 0, sizeof st);
        uint32_t block[16];
        for (uint32_t i = 0; i < 16; i++) block[i] = bits + i;
        st.W = ~0ull;
        shabal_scalar_core(&st, block, 1);
        for (uint32_t i = 0; i < 16; i++) block[i] = bits + 16 + i;
        st.W = 0;
        shabal_scalar_core(&st, block, 1);
        EXPECT_EQ(st.W, 1u);
        EXPECT_EQ(memcmp(st.A, shabal_scalar_iv[k], 48), 0) << bits;
        EXPECT_EQ(memcmp(st.B, shabal_scalar_iv[k] + 12, 64), 0) << bits;
        EXPECT_EQ(memcmp(st.C, shabal_scalar_iv[k] + 28, 64), 0) << bits;
    }
    const uint32_t* r = shabal_scalar_iv[7];
    EXPECT_EQ(r[0], 0x52F84552u);   // A0
    EXPECT_EQ(r[11], 0xEB21B74Au);  // A11
    EXPECT_EQ(r[12], 0xB555C6EEu);  // B0
    EXPECT_EQ(r[27], 0x55CB34A5u);  // B15
    EXPECT_EQ(r[28], 0xB405F031u);  // C0
    EXPECT_EQ(r[43], 0x9B491C60u);  // C15
}

// A close with extra bits pads differently from the plain 0x80 byte: the
// byte (ub & -z) | z. With ub = 0x80, n = 1 the padded block starts 0xC0.
TEST(ShabalScalar, ExtraBitsPadding) {
    shabal_scalar_context a, b;
    shabal_scalar_init(&a, 256);
    shabal_scalar_init(&b, 256);
    uint8_t da[32], db[32];
    shabal_scalar_close(&a, 0x80, 1, da);
    uint8_t block[64] = {0xC0};
    shabal_scalar_state st = b.state;
    for (int r = 0; r < 4; r++) {
        shabal_scalar_core(&st, block, 1);
        st.W--;
    }
    memcpy(db, st.C + 8, 32);
    EXPECT_EQ(to_hex(da, 32), to_hex(db, 32));
}

// The plain family gives the same digests, and its close leaves the context
// ready for the next message.
TEST(ShabalPlain, KnownAnswersAndSelfReset) {
    shabal_plain_context ctx;
    shabal_plain256_init(&ctx);
    for (auto& k : load_shabal_kat()) {
        size_t half = k.message.size() / 2;
        shabal_plain256_update(&ctx, k.message.data(), half);
        shabal_plain256_update(&ctx, k.message.data(), 0);
        shabal_plain256_update(&ctx, k.message.data() + half, k.message.size() - half);
        uint8_t d[32];
        shabal_plain256_close(&ctx, d);
        EXPECT_EQ(to_hex(d, 32), k.digest) << k.message.size() << " bytes";
    }
}

// Other sizes agree with the scalar form at that size (same rows, same
// tail of C), also with extra bits.
TEST(ShabalPlain, OtherSizesMatchScalar) {
    struct size_case {
        unsigned bits;
        void (*init)(shabal_plain_context*);
        void (*update)(shabal_plain_context*, const void*, uint64_t);
        void (*close_bits)(shabal_plain_context*, unsigned, unsigned, void*);
        void (*close)(shabal_plain_context*, void*);
    };
    const size_case cases[] = {
        {192, shabal_plain192_init, shabal_plain192_update, shabal_plain192_close_bits, shabal_plain192_close},
        {224, shabal_plain224_init, shabal_plain224_update, shabal_plain224_close_bits, shabal_plain224_close},
        {256, shabal_plain256_init, shabal_plain256_update, shabal_plain256_close_bits, shabal_plain256_close},
        {384, shabal_plain384_init, shabal_plain384_update, shabal_plain384_close_bits, shabal_plain384_close},
        {512, shabal_plain512_init, shabal_plain512_update, shabal_plain512_close_bits, shabal_plain512_close},
    };
    std::vector<uint8_t> m(200);
    for (size_t i = 0; i < m.size(); i++) m[i] = (uint8_t)i;
    for (auto& c : cases) {
        for (unsigned n : {0u, 3u}) {
            shabal_scalar_context s;
            shabal_scalar_init(&s, c.bits);
            shabal_scalar_update(&s, m.data(), m.size());
            uint8_t want[64], got[64];
            shabal_scalar_close(&s, 0xA5, n, want);
            shabal_plain_context p;
            c.init(&p);
            c.update(&p, m.data(), m.size());
            if (n)
                c.close_bits(&p, 0xA5, n, got);
            else
                c.close(&p, got);
            EXPECT_EQ(to_hex(got, c.bits / 8), to_hex(want, c.bits / 8)) << c.bits << " bits, n " << n;
        }
    }
}

}  // namespace
