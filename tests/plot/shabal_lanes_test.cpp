// The 4-lane SSE2, 4-lane AVX and 8-lane AVX2 forms against the one-lane
// form and the known answers, lane by lane.
#include <gtest/gtest.h>

#include "tests/plot/known_answers.h"
#include "tests/plot/lanes.h"

namespace {

class LaneForms : public ::testing::TestWithParam<int> {
  protected:
    lane_form_s f;
    std::vector<uint8_t> ctx;
    void SetUp() override {
        f = lane_forms()[GetParam()];
        if (!lane_form_runs(f)) GTEST_SKIP() << f.name << " not on this processor";
        ctx.resize(f.ctx_size);
    }
    // Hashes lane k's message msgs[k] (all one length) fed in pieces.
    std::vector<std::string> hash(const std::vector<std::vector<uint8_t>>& msgs, size_t piece, int null_lane = -1) {
        size_t len = msgs[0].size();
        f.init(ctx.data());
        const void* in[8];
        for (size_t at = 0; at < len || at == 0; at += piece) {
            size_t n = std::min(piece, len - at);
            for (int k = 0; k < f.lanes; k++) in[k] = msgs[k].data() + at;
            f.update(ctx.data(), in, n);
            f.update(ctx.data(), in, 0);
            if (len == 0) break;
        }
        uint32_t out[8][8];
        uint32_t* dst[8];
        memset(out, 0xEE, sizeof out);
        for (int k = 0; k < f.lanes; k++) dst[k] = k == null_lane ? nullptr : out[k];
        f.close(ctx.data(), dst);
        std::vector<std::string> r;
        for (int k = 0; k < f.lanes; k++) r.push_back(to_hex(out[k], 32));
        return r;
    }
};

TEST_P(LaneForms, KnownAnswersInEveryLaneAndPieces) {
    for (auto& k : load_shabal_kat()) {
        std::vector<std::vector<uint8_t>> msgs(f.lanes, k.message);
        for (size_t piece : {size_t(1), size_t(7), size_t(64), size_t(100), size_t(1000)}) {
            auto got = hash(msgs, piece);
            for (int l = 0; l < f.lanes; l++)
                EXPECT_EQ(got[l], k.digest) << f.name << " lane " << l << ", " << k.message.size() << " bytes, pieces "
                                            << piece;
        }
    }
}

// Different messages of one length: each lane gets its own digest. The
// lengths include the nonce's first (16) and final (262160) hash.
TEST_P(LaneForms, LanesIndependent) {
    for (size_t len : {size_t(16), size_t(63), size_t(64), size_t(65), size_t(4096), size_t(262160)}) {
        std::vector<std::vector<uint8_t>> msgs(f.lanes, std::vector<uint8_t>(len));
        for (int l = 0; l < f.lanes; l++)
            for (size_t i = 0; i < len; i++) msgs[l][i] = (uint8_t)(i * 7 + l * 37 + (i >> 8));
        auto got = hash(msgs, len > 1000 ? 4095 : 5);
        for (int l = 0; l < f.lanes; l++)
            EXPECT_EQ(got[l], scalar_digest_hex(msgs[l].data(), len)) << f.name << " lane " << l << ", " << len << " bytes";
    }
}

TEST_P(LaneForms, NullOutputSkipsOnlyThatLane) {
    std::vector<std::vector<uint8_t>> msgs(f.lanes, std::vector<uint8_t>(48));
    for (int l = 0; l < f.lanes; l++) msgs[l][0] = (uint8_t)l;
    for (int skip = 0; skip < f.lanes; skip++) {
        auto got = hash(msgs, 48, skip);
        for (int l = 0; l < f.lanes; l++) {
            if (l == skip)
                EXPECT_EQ(got[l], std::string(64, 'e')) << f.name << " lane " << l;
            else
                EXPECT_EQ(got[l], scalar_digest_hex(msgs[l].data(), 48)) << f.name << " lane " << l;
        }
    }
}

// init leaves the published Shabal-256 initial value in every lane, and a
// copy of an initialised context hashes like the original.
TEST_P(LaneForms, InitialValueAndCopies) {
    f.init(ctx.data());
    const uint32_t* A = f.lanes == 4 ? ((shabal_x4_context*)ctx.data())->A : ((shabal_x8_context*)ctx.data())->A;
    const uint32_t* B = f.lanes == 4 ? ((shabal_x4_context*)ctx.data())->B : ((shabal_x8_context*)ctx.data())->B;
    const uint32_t* C = f.lanes == 4 ? ((shabal_x4_context*)ctx.data())->C : ((shabal_x8_context*)ctx.data())->C;
    for (int l = 0; l < f.lanes; l++) {
        for (int i = 0; i < 12; i++) EXPECT_EQ(A[i * f.lanes + l], shabal_scalar_iv[7][i]);
        for (int i = 0; i < 16; i++) EXPECT_EQ(B[i * f.lanes + l], shabal_scalar_iv[7][12 + i]);
        for (int i = 0; i < 16; i++) EXPECT_EQ(C[i * f.lanes + l], shabal_scalar_iv[7][28 + i]);
    }
    std::vector<uint8_t> copy = ctx;
    uint8_t m[8][100];
    const void* in[8];
    for (int l = 0; l < f.lanes; l++) {
        memset(m[l], l + 1, 100);
        in[l] = m[l];
    }
    uint32_t a[8][8], b[8][8];
    uint32_t *da[8], *db[8];
    for (int l = 0; l < f.lanes; l++) {
        da[l] = a[l];
        db[l] = b[l];
    }
    f.update(copy.data(), in, 100);
    f.update(ctx.data(), in, 100);
    f.close(copy.data(), da);
    f.close(ctx.data(), db);
    for (int l = 0; l < f.lanes; l++) {
        EXPECT_EQ(to_hex(a[l], 32), scalar_digest_hex(m[l], 100));
        EXPECT_EQ(to_hex(b[l], 32), scalar_digest_hex(m[l], 100));
    }
}

// Whole nonces chained through the form equal plot_nonce in every lane.
TEST_P(LaneForms, WholeNonceEqualsPlotNonce) {
    std::vector<std::vector<uint8_t>> work;
    const uint64_t account = 12345678901234567ull, first = 0xFFFFFFFFFFFFFFFCull;  // lanes wrap past 2^64 - 1
    lane_nonces(f, account, first, work);
    std::vector<uint8_t> want(262144);
    for (int l = 0; l < f.lanes; l++) {
        plot_nonce(account, first + l, want.data(), false);
        EXPECT_EQ(memcmp(work[l].data(), want.data(), 262144), 0) << f.name << " lane " << l;
    }
}

// The whole-nonce form in one and in two groups: every lane of every group
// reproduces the known nonces (PoC2 digest and end scoops) of the test data,
// each lane with its own account and nonce number.
TEST_P(LaneForms, NonceGroupsReproduceKnownNonces) {
    const std::vector<nonce_kat_s> kat = load_nonce_kat();
    ASSERT_FALSE(kat.empty());
    const int L = f.lanes;
    std::vector<uint8_t> poc2(262144);
    for (int groups : {1, 2}) {
        std::vector<uint32_t*> areas(groups);
        for (int g = 0; g < groups; g++) {
            areas[g] = (uint32_t*)aligned_alloc(64, SHABAL_AREA_WORDS * 4 * L);
            ASSERT_NE(areas[g], nullptr);
        }
        // Lane j gets entry (j + groups) mod the count, so the two runs put
        // each entry in other lanes.
        auto entry = [&](int j) -> const nonce_kat_s& { return kat[(j + groups) % kat.size()]; };
        for (int j = 0; j < groups * L; j++) {
            uint8_t seed[16];  // account id and nonce number, big-endian
            for (int b = 0; b < 8; b++) {
                seed[b] = (uint8_t)(entry(j).account_id >> (56 - 8 * b));
                seed[8 + b] = (uint8_t)(entry(j).nonce >> (56 - 8 * b));
            }
            for (int w = 0; w < 4; w++) memcpy(&areas[j / L][(65536 + w) * L + j % L], seed + 4 * w, 4);
        }
        uint32_t finals[2 * 8 * 8];
        f.nonces(areas.data(), groups, finals);
        for (int j = 0; j < groups * L; j++) {
            const uint32_t* area = areas[j / L];
            const uint32_t* fin = finals + 8 * L * (j / L);
            for (uint64_t s = 0; s < 4096; s++)
                for (uint64_t w = 0; w < 16; w++) {
                    uint64_t from = w < 8 ? 16 * s + w : 16 * (4095 - s) + w;
                    uint32_t v = area[from * L + j % L] ^ fin[(w % 8) * L + j % L];
                    memcpy(&poc2[64 * s + 4 * w], &v, 4);
                }
            const nonce_kat_s& k = entry(j);
            std::string where = std::string(f.name) + ", " + std::to_string(groups) + " groups, lane " +
                                std::to_string(j) + ", nonce " + std::to_string(k.nonce);
            EXPECT_EQ(scalar_digest_hex(poc2.data(), poc2.size()), k.poc2_digest) << where;
            EXPECT_EQ(to_hex(&poc2[0], 64), k.scoop0) << where;
            EXPECT_EQ(to_hex(&poc2[64 * 4095], 64), k.scoop4095) << where;
        }
        for (uint32_t* a : areas) free(a);
    }
}

INSTANTIATE_TEST_SUITE_P(Forms, LaneForms, ::testing::Values(0, 1, 2),
                         [](const ::testing::TestParamInfo<int>& i) { return std::string(lane_forms()[i.param].name); });

}  // namespace
