#include "app/address.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

const char address_alphabet[33] = "23456789ABCDEFGHJKLMNPQRSTUVWXYZ";
const uint8_t address_position_map[17] = {3, 2, 1, 0, 7, 6, 5, 4, 13, 14, 15, 16, 12, 8, 9, 10, 11};

// Powers and logarithms of alpha = x in GF(32) with x^5 + x^2 + 1.
const int gf32_exp[32] = {1,  2,  4,  8,  16, 5,  10, 20, 13, 26, 17, 7,  14, 28, 29, 31,
                          27, 19, 3,  6,  12, 24, 21, 15, 30, 25, 23, 11, 22, 9,  18, 1};
const int gf32_log[32] = {0, 0,  1,  18, 2,  5,  19, 11, 3,  29, 6,  27, 20, 8,  12, 23,
                          4, 10, 30, 17, 7,  22, 28, 26, 21, 25, 9,  16, 13, 14, 24, 15};

namespace {

const int k_symbols = 17;
const int k_id_symbols = 13;
const char k_prefix[] = "BURST-";
const size_t k_prefix_len = 6;

char g_address_text[32];
char g_address_id_text[24];

// Symbol value of an address character (either case), or -1.
int symbol_value(unsigned char c) {
  if (c >= 'a' && c <= 'z') c = static_cast<unsigned char>(c - 'a' + 'A');
  const char* at = c ? strchr(address_alphabet, c) : nullptr;
  return at ? static_cast<int>(at - address_alphabet) : -1;
}

// Exponent of alpha that weighs symbol i in the codeword: the id symbols sit
// at x^4 .. x^16, the parity at x^0 .. x^3, all divided by x^4.
int symbol_exponent(int i) { return i < k_id_symbols ? i : i + 14; }

bool parse_decimal(address_s* a, const char* rest, size_t n) {
  if (n < 6 || n > 20) return false;
  if (n == 20 && rest[0] != '1') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long id = strtoull(rest, &end, 10);
  // Digits broken by a blank are a typo, not the number before the blank.
  if (end == rest || *end != '\0') return false;
  // Twenty digits may exceed 64 bits; such a number is no account.
  if (errno == ERANGE) return false;
  address_encode(a, id);
  return true;
}

// A valid codeword whose top id symbol has its fifth bit set stands for a
// value above 2^64 - 1: no account has it, and dropping the bit would name
// another account.
bool parse_symbols(address_s* a, const char* rest) {
  int found = 0;
  for (const char* c = rest; *c; c++) {
    int v = symbol_value(static_cast<unsigned char>(*c));
    if (v < 0) continue;
    if (found == k_symbols) return false;
    a->symbol[address_position_map[found++]] = static_cast<uint8_t>(v);
  }
  return found == k_symbols && address_check(a) && a->symbol[12] < 16;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The text without the blanks a paste often brings before or after it.
std::string trimmed(const char* text) {
  const char* begin = text;
  while (is_blank(*begin)) begin++;
  const char* end = begin + strlen(begin);
  while (end > begin && is_blank(end[-1])) end--;
  return std::string(begin, end);
}

}  // namespace

int gf32_mul(int a, int b) {
  a &= 31;
  b &= 31;
  if (a == 0 || b == 0) return 0;
  return gf32_exp[(gf32_log[a] + gf32_log[b]) % 31];
}

void address_encode_parity(address_s* a) {
  int p13 = 0, p14 = 0, p15 = 0, p16 = 0;
  for (int i = k_id_symbols - 1; i >= 0; i--) {
    int f = a->symbol[i] ^ p16;
    p16 = p15 ^ gf32_mul(f, 30);
    p15 = p14 ^ gf32_mul(f, 6);
    p14 = p13 ^ gf32_mul(f, 9);
    p13 = gf32_mul(f, 17);
  }
  a->symbol[13] = static_cast<uint8_t>(p13);
  a->symbol[14] = static_cast<uint8_t>(p14);
  a->symbol[15] = static_cast<uint8_t>(p15);
  a->symbol[16] = static_cast<uint8_t>(p16);
}

void address_encode(address_s* a, uint64_t id) {
  for (int i = 0; i < 12; i++) a->symbol[i] = static_cast<uint8_t>((id >> (5 * i)) & 31);
  a->symbol[12] = static_cast<uint8_t>(id >> 60);
  address_encode_parity(a);
}

bool address_check(address_s* a) {
  bool ok = true;
  for (int k = 1; k <= 4; k++) {
    int s = 0;
    for (int i = 0; i < k_symbols; i++)
      s ^= gf32_mul(a->symbol[i], gf32_exp[(k * symbol_exponent(i)) % 31]);
    a->syndrome[k - 1] = static_cast<uint8_t>(s);
    if (s != 0) ok = false;
  }
  return ok;
}

bool address_parse(address_s* a, const char* input) {
  memset(a->symbol, 1, sizeof a->symbol);
  std::string text_kept = trimmed(input);
  const char* text = text_kept.c_str();
  const char* rest = strncasecmp(text, k_prefix, k_prefix_len) == 0 ? text + k_prefix_len : text;
  size_t n = strspn(rest, "0123456789 \t");
  if (rest[n] == '\0') return parse_decimal(a, rest, n);
  return parse_symbols(a, rest);
}

uint64_t address_to_id(const address_s* a) {
  uint64_t id = 0;
  for (int i = 0; i < 12; i++) id |= static_cast<uint64_t>(a->symbol[i] & 31) << (5 * i);
  id |= static_cast<uint64_t>(a->symbol[12] & 15) << 60;
  return id;
}

const char* address_format(const address_s* a, int prefix) {
  char* out = g_address_text;
  if (prefix) {
    memcpy(out, k_prefix, k_prefix_len);
    out += k_prefix_len;
  }
  for (int j = 0; j < k_symbols; j++) {
    *out++ = address_alphabet[a->symbol[address_position_map[j]] & 31];
    if (j == 3 || j == 7 || j == 11) *out++ = '-';
  }
  *out = '\0';
  return g_address_text;
}

std::string address_to_string(const address_s* a) { return address_format(a, 0); }

const char* address_id_text(const address_s* a) {
  snprintf(g_address_id_text, sizeof g_address_id_text, "%llu",
           static_cast<unsigned long long>(address_to_id(a)));
  return g_address_id_text;
}
