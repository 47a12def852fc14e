#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/address.h"
#include "app/ui_prompts.h"

namespace {

uint64_t parse_id(const char* text, bool* ok) {
  address_s a;
  *ok = address_parse(&a, text);
  return address_to_id(&a);
}

}  // namespace

TEST(address, tables_are_the_field_of_x5_x2_1) {
  for (int i = 0; i < 31; i++) EXPECT_EQ(gf32_log[gf32_exp[i]], i);
  EXPECT_EQ(gf32_exp[5], 5);  // x^5 = x^2 + 1
  EXPECT_EQ(gf32_exp[31], 1);
  for (int a = 1; a < 32; a++) {
    EXPECT_EQ(gf32_mul(a, 1), a);
    EXPECT_EQ(gf32_mul(a, 0), 0);
    EXPECT_EQ(gf32_mul(a, gf32_exp[(31 - gf32_log[a]) % 31]), 1);  // inverse
  }
}

TEST(address, known_accounts) {
  address_s a;
  address_encode(&a, 0);
  EXPECT_STREQ(address_format(&a, 0), "2222-2222-2222-22222");
  EXPECT_STREQ(address_format(&a, 1), "BURST-2222-2222-2222-22222");
  address_encode(&a, 1);
  EXPECT_STREQ(address_format(&a, 0), "2223-2222-KB8Y-22222");
  EXPECT_EQ(address_to_string(&a), "2223-2222-KB8Y-22222");
  EXPECT_TRUE(address_check(&a));
  for (int i = 0; i < 4; i++) EXPECT_EQ(a.syndrome[i], 0);
  address_encode(&a, 18446744073709551615ull);
  EXPECT_STREQ(address_id_text(&a), "18446744073709551615");

  struct {
    const char* text;
    uint64_t id;
  } cases[] = {
      {"2222-2222-2222-22222", 0},      {"BURST-2222-2222-2222-22222", 0}, {"2223-2222-KB8Y-22222", 1},
      {"BURST-2223-2222-KB8Y-22222", 1}, {"burst-2223-2222-kb8y-22222", 1}, {"BuRsT-2223--2222-KB8Y-2-2222", 1},
      {"2223 2222 KB8Y 22222", 1},
  };
  for (const auto& c : cases) {
    bool ok;
    EXPECT_EQ(parse_id(c.text, &ok), c.id) << c.text;
    EXPECT_TRUE(ok) << c.text;
  }
}

TEST(address, random_ids_round_trip) {
  std::mt19937_64 rng(12345);
  for (int i = 0; i < 2000; i++) {
    uint64_t id = rng() >> (rng() % 64);
    address_s a, b;
    address_encode(&a, id);
    std::string text = address_format(&a, i & 1);
    ASSERT_TRUE(address_parse(&b, text.c_str())) << text;
    ASSERT_EQ(address_to_id(&b), id) << text;
    ASSERT_EQ(memcmp(a.symbol, b.symbol, sizeof a.symbol), 0);
  }
}

// Reed-Solomon with four parity symbols: any single changed symbol is caught.
TEST(address, every_single_symbol_change_is_refused) {
  std::mt19937_64 rng(777);
  const uint64_t ids[] = {0, 1, 123456789, 18446744073709551615ull, rng(), rng()};
  for (uint64_t id : ids) {
    address_s a;
    address_encode(&a, id);
    std::string good = address_format(&a, 0);
    for (size_t pos = 0; pos < good.size(); pos++) {
      if (good[pos] == '-') continue;
      for (int v = 0; v < 32; v++) {
        if (address_alphabet[v] == good[pos]) continue;
        std::string bad = good;
        bad[pos] = address_alphabet[v];
        address_s b;
        ASSERT_FALSE(address_parse(&b, bad.c_str())) << bad;
        int nonzero = b.syndrome[0] | b.syndrome[1] | b.syndrome[2] | b.syndrome[3];
        ASSERT_NE(nonzero, 0) << bad;
      }
    }
  }
}

// The account prompt reads text with letters or dashes only as an address:
// a mistyped address (one or two symbols) gives no account at all rather than
// the number of its first group, blanks around any text are ignored, and an
// address standing for more than 64 bits is refused.
TEST(address, account_prompt_reads_addresses_only_as_addresses) {
  address_s a;
  address_encode(&a, 1);
  const std::string good = address_format(&a, 0);  // 2223-2222-KB8Y-22222
  EXPECT_EQ(prompt_account_value(&a, good.c_str()), 1u);
  std::mt19937 rng(5);
  std::vector<size_t> symbols;
  for (size_t i = 0; i < good.size(); i++)
    if (good[i] != '-') symbols.push_back(i);
  for (int t = 0; t < 400; t++) {
    std::string bad = good;
    int changes = 1 + t % 2;
    for (int c = 0; c < changes; c++) {
      size_t pos = symbols[rng() % symbols.size()];
      char was = bad[pos];
      while (bad[pos] == was) bad[pos] = address_alphabet[rng() % 32];
    }
    if (bad == good) continue;
    EXPECT_EQ(prompt_account_value(&a, bad.c_str()), 0u) << bad;
    EXPECT_EQ(prompt_account_value(&a, ("BURST-" + bad).c_str()), 0u) << bad;
  }
  EXPECT_EQ(prompt_account_value(&a, "2223-2222-KB8Y-22223"), 0u);  // was read as 2223
  struct {
    const char* text;
    uint64_t id;
  } cases[] = {
      {" BURST-2223-2222-KB8Y-22222", 1},
      {"2223-2222-KB8Y-22222 \t", 1},
      {"  1234567 ", 1234567},
      {"12345", 12345},  // a short id of digits alone is still a number
      {"123 456", 0},
      {"18446744073709551616", 0},
      {"-1", 0},
      {"2223", 2223},  // digits alone
      {"2223-", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(prompt_account_value(&a, c.text), c.id) << "'" << c.text << "'";

  // A valid codeword whose top symbol carries a 65th bit.
  address_s big;
  address_encode(&big, 18446744073709551615ull);
  big.symbol[12] = 16 | 15;
  address_encode_parity(&big);
  ASSERT_TRUE(address_check(&big));
  std::string text = address_format(&big, 1);
  EXPECT_FALSE(address_parse(&a, text.c_str())) << text;
  EXPECT_EQ(prompt_account_value(&a, text.c_str()), 0u) << text;
}

// What the account prompt says under the entry (and in its dialog on
// Return) for text that gives no account: the reason in words, so that OK
// is never greyed without one. Text that gives an account, and an empty
// entry, say nothing.
TEST(address, account_prompt_says_why_it_refuses_a_text) {
  address_s a;
  address_encode(&a, 1);
  const std::string good = address_format(&a, 1);  // BURST-2223-2222-KB8Y-22222
  std::string mistyped = good;
  mistyped.back() = '3';
  address_s big;
  address_encode(&big, 18446744073709551615ull);
  big.symbol[12] = 16 | 15;
  address_encode_parity(&big);
  const std::string beyond = address_format(&big, 1);
  address_s zero;
  address_encode(&zero, 0);
  const std::string nobody = address_format(&zero, 1);
  struct {
    std::string text, reason;
  } cases[] = {
      {good, ""},
      {"12345", ""},
      {"  ", ""},
      {mistyped, "it is mistyped (its check characters do not match the others)"},
      {"BURST-2223-2222-KB8Y", "an address has 17 characters after \"BURST-\" (dashes not counted); this one has 12"},
      {good + "2", "an address has 17 characters after \"BURST-\" (dashes not counted); this one has 18"},
      {"BURST-2223-2222-KB8Y-2222O", "O is not used in addresses (they use 2 to 9 and A to Z but I and O)"},
      {"BURST-1IO0-2222-KB8Y-22222", "1, I, O and 0 are not used in addresses (they use 2 to 9 and A to Z but I and O)"},
      {"not an id", "O and I are not used in addresses (they use 2 to 9 and A to Z but I and O)"},
      {nobody, "it is the address of 0, which is no account id"},
      {beyond, "it stands for a number beyond 64 bits, which no account has"},
      {"0", "0 is no account id"},
      {"-5", "an account id is not negative"},
      {"123 456", "an account id has no blanks between its digits"},
      {"18446744073709551616", "the number is larger than any account id (18446744073709551615 at most)"},
      {"BURST-12345", "\"BURST-\" begins an address of 17 characters; an account id is typed as its digits alone"},
  };
  for (const auto& c : cases) EXPECT_EQ(prompt_account_refusal(c.text.c_str()), c.reason) << "'" << c.text << "'";
}

TEST(address, decimal_path_and_length_rules) {
  struct {
    const char* text;
    bool ok;
    uint64_t id;
  } cases[] = {
      {"12345", false, 0},                        // five digits
      {"123456", true, 123456},                   // six
      {"  123456", true, 123456},                 // n = 8 with the spaces
      {"123 456", false, 0},                      // a blank inside is a typo, not 123
      {"\t123456\t", true, 123456},               //
      {"BURST-123456", true, 123456},             // the prefix also precedes ids
      {"18446744073709551615", true, 18446744073709551615ull},
      {"20000000000000000000", false, 0},         // 20 digits not beginning with 1
      {"123456789012345678901", false, 0},        // 21
      {"18446744073709551616", false, 0},         // beyond 64 bits: refused
      {"19999999999999999999", false, 0},
      {"        ", false, 0},                     // no number at all
      {"", false, 0},
      {"BURST-", false, 0},
      {"22222222222222222", true, 22222222222222222ull},  // digit symbols: decimal first
      {"BURST-22222222222222222", true, 22222222222222222ull},
      {"2222 2222 2222 22222", false, 0},         // 20 characters, not beginning with 1
  };
  for (const auto& c : cases) {
    bool ok;
    uint64_t id = parse_id(c.text, &ok);
    EXPECT_EQ(ok, c.ok) << "'" << c.text << "'";
    if (c.ok && ok) {
      EXPECT_EQ(id, c.id) << c.text;
    }
  }
}

TEST(address, symbol_count_and_prefix_rules) {
  address_s a;
  // Blanks around the text are trimmed, prefix or not.
  EXPECT_TRUE(address_parse(&a, " BURST-2223-2222-KB8Y-22222"));
  EXPECT_EQ(address_to_id(&a), 1u);
  EXPECT_TRUE(address_parse(&a, "\t2223-2222-KB8Y-22222  "));
  EXPECT_EQ(address_to_id(&a), 1u);
  EXPECT_FALSE(address_parse(&a, "2223-2222-KB8Y-22222-2"));  // eighteen
  EXPECT_FALSE(address_parse(&a, "2223-2222-KB8Y-2222"));     // sixteen
  // Characters outside the alphabet are skipped: 0, 1, I, O and the rest.
  EXPECT_TRUE(address_parse(&a, "2223-2222-KB8Y-22222 0O1I!"));
  // A failed parse leaves 1 where nothing was stored.
  address_parse(&a, "ZZ");
  EXPECT_EQ(a.symbol[5], 1);
}

// Arbitrary text never crashes the parser; whatever it accepts is a real
// account that formats and parses back to the same id.
TEST(address, fuzz_parse) {
#if defined(VG_UNDER_ASAN) || defined(VG_UNDER_TSAN)
  const auto budget = std::chrono::milliseconds(1500);
#else
  const auto budget = std::chrono::milliseconds(2500);
#endif
  std::mt19937 rng(2026);
  const std::string seeds[] = {"BURST-2223-2222-KB8Y-22222", "burst-ZZZZ-ZZZZ-ZZZZ-ZZZZZ", "18446744073709551615",
                               "  123456", "2223-2222-KB8Y-22222"};
  const char alphabet[] = "0123456789 \t-BURSTburstABCXYZxyz\x80\xff";
  auto t_end = std::chrono::steady_clock::now() + budget;
  long runs = 0;
  while (std::chrono::steady_clock::now() < t_end) {
    std::string s = seeds[rng() % 5];
    int edits = 1 + rng() % 6;
    for (int e = 0; e < edits; e++) {
      size_t pos = s.empty() ? 0 : rng() % (s.size() + 1);
      switch (rng() % 4) {
        case 0: s.insert(s.begin() + pos, alphabet[rng() % (sizeof alphabet - 1)]); break;
        case 1: if (pos < s.size()) s.erase(pos, 1); break;
        case 2: if (pos < s.size()) s[pos] = char(rng() % 256); break;
        case 3: s = s.substr(0, pos) + s.substr(0, rng() % (s.size() + 1)); break;
      }
    }
    s = s.c_str();  // an embedded NUL ends the text as it would in C
    address_s a;
    if (address_parse(&a, s.c_str())) {
      uint64_t id = address_to_id(&a);
      address_s b;
      address_encode(&b, id);
      ASSERT_TRUE(address_parse(&b, address_format(&b, 1))) << s;
      ASSERT_EQ(address_to_id(&b), id) << s;
    }
    runs++;
  }
  EXPECT_GT(runs, 1000);
}
