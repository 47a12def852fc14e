// Account addresses: "BURST-" and seventeen symbols of a systematic
// Reed-Solomon code over GF(32) (thirteen carry the 64-bit id, four are
// parity), so a mistyped address is refused rather than read as another
// account. UI thread only: the text forms use static buffers.
#pragma once

#include <cstdint>
#include <string>

struct address_s {
  uint8_t symbol[17];   // 0..12: id in 5-bit groups, low first; 13..16 parity
  uint8_t syndrome[4];  // S1..S4 of the last address_check; 0 when valid
};

extern const char address_alphabet[33];        // "23456789ABCDEFGHJKLMNPQRSTUVWXYZ"
extern const uint8_t address_position_map[17];  // text position -> symbol
extern const int gf32_exp[32];
extern const int gf32_log[32];

int gf32_mul(int a, int b);

// Symbols 0..12 from id, then the parity; syndromes are left alone.
void address_encode(address_s* a, uint64_t id);
// Parity symbols 13..16 from symbols 0..12.
void address_encode_parity(address_s* a);
// A decimal id (6 to 20 characters of digits, spaces and tabs) or an address
// with valid parity that stands for a 64-bit id, optionally prefixed by
// "BURST-" in any case; blanks around the text are ignored.
bool address_parse(address_s* a, const char* text);
uint64_t address_to_id(const address_s* a);
// Computes and stores the syndromes; true when all are zero.
bool address_check(address_s* a);

// "BURST-XXXX-XXXX-XXXX-XXXXX" (prefix only when prefix != 0), in a static
// buffer that each call overwrites.
const char* address_format(const address_s* a, int prefix);
std::string address_to_string(const address_s* a);
// The id as decimal text, in a second static buffer.
const char* address_id_text(const address_s* a);
