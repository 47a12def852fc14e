// Reading the known-answer files shared by every hashing test.
#pragma once

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "plot/shabal.h"

struct kat_entry_s {
    std::vector<uint8_t> message;
    std::string digest;  // hex
};

struct nonce_kat_s {
    uint64_t account_id;
    uint64_t nonce;
    std::string poc2_digest, poc1_digest, scoop0, scoop4095;  // hex
};

inline std::vector<uint8_t> from_hex(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back((uint8_t)std::stoul(hex.substr(i, 2), nullptr, 16));
    return out;
}

inline std::string to_hex(const void* p, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; i++) {
        snprintf(b, sizeof b, "%02x", ((const uint8_t*)p)[i]);
        s += b;
    }
    return s;
}

// The one-lane Shabal-256 digest of a message, as hex: the reference the
// other forms are held to.
inline std::string scalar_digest_hex(const uint8_t* p, size_t n) {
    shabal_scalar_context ctx;
    shabal_scalar_init(&ctx, 256);
    shabal_scalar_update(&ctx, p, n);
    uint8_t d[32];
    shabal_scalar_close(&ctx, 0, 0, d);
    return to_hex(d, 32);
}

inline std::vector<kat_entry_s> load_shabal_kat() {
    std::vector<kat_entry_s> v;
    std::ifstream f(VG_TESTDATA_DIR "/shabal256_kat.txt");
    std::string line;
    while (std::getline(f, line)) {
        if (line.empty() || line[0] == '#') continue;
        size_t sp = line.find(' ');
        v.push_back({from_hex(line.substr(0, sp)), line.substr(sp + 1)});
    }
    return v;
}

inline std::vector<nonce_kat_s> load_nonce_kat() {
    std::vector<nonce_kat_s> v;
    std::ifstream f(VG_TESTDATA_DIR "/nonces.txt");
    std::string line;
    while (std::getline(f, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream in(line);
        nonce_kat_s k;
        in >> k.account_id >> k.nonce >> k.poc2_digest >> k.poc1_digest >> k.scoop0 >> k.scoop4095;
        v.push_back(k);
    }
    return v;
}
