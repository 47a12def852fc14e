// The nonce algorithm and its one-lane computation.
//
// Chain hash i (0 to 8191) covers the bytes just above its own slot, at most
// 4096 of them: the first 128 reach into the seed, every later one hashes
// exactly the 128 hash values above it. The final hash covers everything.
#include "plot/nonce.h"

#include <cerrno>
#include <cstring>

#include "platform/sys_linux.h"
#include "platform/util.h"
#include "plot/shabal.h"

namespace {


void put_be64(uint8_t* p, uint64_t v) {
    for (int i = 7; i >= 0; i--) {
        p[i] = (uint8_t)v;
        v >>= 8;
    }
}

// Scoop s keeps its first half; the second half comes from scoop 4095 - s.
void copy_poc2(uint8_t* dst, const uint8_t* w) {
    for (uint64_t s = 0; s < PLOT_SCOOPS; s++) {
        memcpy(dst + 64 * s, w + 64 * s, 32);
        memcpy(dst + 64 * s + 32, w + 64 * (4095 - s) + 32, 32);
    }
}

void swap_second_halves(uint8_t* w) {
    uint8_t tmp[32];
    for (uint64_t s = 0; s < 2048; s++) {
        uint8_t* a = w + 64 * s + 32;
        uint8_t* b = w + 64 * (4095 - s) + 32;
        memcpy(tmp, a, 32);
        memcpy(a, b, 32);
        memcpy(b, tmp, 32);
    }
}

}  // namespace

void plot_nonce_seed(uint8_t* work, uint64_t account_id, uint64_t nonce) {
    put_be64(work + PLOT_NONCE_BYTES, account_id);
    put_be64(work + PLOT_NONCE_BYTES + 8, nonce);
}

void plot_nonce_xor(uint8_t* work, const uint8_t* final_digest) {
    uint64_t f[4];
    memcpy(f, final_digest, 32);
    for (uint64_t k = 0; k < PLOT_NONCE_BYTES; k += 32) {
        uint64_t v[4];
        memcpy(v, work + k, 32);
        v[0] ^= f[0];
        v[1] ^= f[1];
        v[2] ^= f[2];
        v[3] ^= f[3];
        memcpy(work + k, v, 32);
    }
}

namespace {

void build_nonce(uint8_t* w, uint64_t account_id, uint64_t nonce, bool check_alignment) {
    plot_nonce_seed(w, account_id, nonce);
    shabal_scalar_context ctx;
    shabal_scalar_init(&ctx, 256);
    for (uint64_t i = 0; i < 8192; i++) {
        if (check_alignment) util_assert(((uintptr_t)w & 31) == 0, false, "plt_cpu", 350);
        uint64_t p = PLOT_NONCE_BYTES - 32 * i;
        uint64_t len = 16 + 32 * i < 4096 ? 16 + 32 * i : 4096;
        shabal_scalar_update(&ctx, w + p, len);
        shabal_scalar_close(&ctx, 0, 0, w + p - 32);
        shabal_scalar_init(&ctx, 256);
    }
    uint8_t final_digest[32];
    shabal_scalar_update(&ctx, w, PLOT_WORK_AREA_BYTES);
    shabal_scalar_close(&ctx, 0, 0, final_digest);
    plot_nonce_xor(w, final_digest);
}

}  // namespace

void plot_nonce_work(uint8_t* work, uint64_t account_id, uint64_t nonce) {
    build_nonce(work, account_id, nonce, false);
}

void plot_nonce(uint64_t account_id, uint64_t nonce, void* out, bool poc2) {
    uint8_t* w = (uint8_t*)sys_aligned_alloc(32, PLOT_WORK_AREA_BYTES);
    if (!w) {
        // Callers have no failure path and write what they get to plot files,
        // so compute the nonce anyway, in the caller's memory.
        sys_log("No memory for a nonce work area (%d); hashing in place\n", ENOMEM);
        plot_nonce_in_place(account_id, nonce, (uint8_t*)out, poc2);
        return;
    }
    build_nonce(w, account_id, nonce, true);
    if (poc2)
        copy_poc2((uint8_t*)out, w);
    else
        memcpy(out, w, PLOT_NONCE_BYTES);
    sys_aligned_free(w);
}

void plot_nonce_in_place(uint64_t account_id, uint64_t nonce, uint8_t* out, bool poc2) {
    uint8_t seed[16];
    put_be64(seed, account_id);
    put_be64(seed + 8, nonce);
    shabal_scalar_context ctx;
    shabal_scalar_init(&ctx, 256);
    for (uint64_t i = 0; i < 8192; i++) {
        uint64_t p = PLOT_NONCE_BYTES - 32 * i;
        if (i < 128) {  // the hash reaches to the end of the seed
            shabal_scalar_update(&ctx, out + p, PLOT_NONCE_BYTES - p);
            shabal_scalar_update(&ctx, seed, 16);
        } else {
            shabal_scalar_update(&ctx, out + p, 4096);
        }
        shabal_scalar_close(&ctx, 0, 0, out + p - 32);
        shabal_scalar_init(&ctx, 256);
    }
    uint8_t final_digest[32];
    shabal_scalar_update(&ctx, out, PLOT_NONCE_BYTES);
    shabal_scalar_update(&ctx, seed, 16);
    shabal_scalar_close(&ctx, 0, 0, final_digest);
    plot_nonce_xor(out, final_digest);
    if (poc2) swap_second_halves(out);
}
