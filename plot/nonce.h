// One nonce: 262144 bytes (4096 scoops of 64 bytes) derived from an account
// id and a nonce number with Shabal-256.
//
// PoC1 order is the nonce as built; PoC2 order keeps each scoop's first half
// and swaps second halves between scoops s and 4095 - s. Plot buffers and
// plot files hold PoC2 order.
#pragma once

#include <cstdint>

// The sizes of a nonce, for every subsystem that computes, writes or reads
// plot data.
const uint64_t PLOT_SCOOPS = 4096;
const uint64_t PLOT_SCOOP_BYTES = 64;
const uint64_t PLOT_NONCE_BYTES = PLOT_SCOOPS * PLOT_SCOOP_BYTES;  // 262144

// Computes nonce `nonce` of `account_id` into out (262144 bytes, any
// alignment), in PoC2 order when poc2, else PoC1. Re-entrant.
void plot_nonce(uint64_t account_id, uint64_t nonce, void* out, bool poc2);

// A work area is the nonce under construction followed by its 16-byte seed
// (account id and nonce number, both big-endian); 32-byte aligned.
const uint64_t PLOT_WORK_AREA_BYTES = PLOT_NONCE_BYTES + 16;

// Writes the seed into the last 16 bytes of a work area.
void plot_nonce_seed(uint8_t* work, uint64_t account_id, uint64_t nonce);

// Builds nonce `nonce` (PoC1 order) in a work area, seed included.
void plot_nonce_work(uint8_t* work, uint64_t account_id, uint64_t nonce);

// XORs the 262144 nonce bytes of a work area with the final digest F.
void plot_nonce_xor(uint8_t* work, const uint8_t* final_digest);

// plot_nonce without a work area of its own: the nonce is built in out
// itself with the seed kept aside (used when the work area cannot be had).
void plot_nonce_in_place(uint64_t account_id, uint64_t nonce, uint8_t* out, bool poc2);
