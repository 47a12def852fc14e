// Size, duration and number texts, plot-file names, bounded copies, paths
// and hexadecimal.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <thread>

#include "platform/util.h"

TEST(FormatSize, UnitsFromThreeQuartersUp) {
  struct row_s {
    uint64_t bytes;
    bool binary;
    const char* suffix;
    const char* text;
  };
  const row_s rows[] = {
      {0, false, "", "0.0 KB"},
      {749999, false, "", "750.0 KB"},
      {750000, false, "", "0.8 MB"},
      {749999999, false, "", "750.0 MB"},
      {750000000, false, "", "0.8 GB"},
      {750000000000ull, false, "", "0.8 TB"},
      {1000000000000000ull, false, "", "1000.0 TB"},
      {12500000, false, "/s", "12.5 MB/s"},
      {786431, true, "", "768.0 KiB"},
      {786432, true, "", "0.8 MiB"},
      {805306368, true, "", "0.8 GiB"},
      {824633720832ull, true, "", "0.8 TiB"},
      // Above 2^63 the value is still converted as unsigned.
      {0x8000000000000000ull, true, "", "8388608.0 TiB"},
  };
  for (const row_s& r : rows) EXPECT_STREQ(format_size(r.bytes, r.binary, r.suffix), r.text) << r.bytes;
}

TEST(FormatSize, IntoCallerBufferTruncates) {
  char buf[6];
  EXPECT_EQ(format_size_to(sizeof buf, buf, 12500000, false, "/s"), 9);
  EXPECT_STREQ(buf, "12.5 ");
}

TEST(FormatSize, ThreeRotatingBuffersPerThread) {
  const char* first = format_size(1000, false, "");
  const char* second = format_size(2000000, false, "");
  const char* third = format_size(3000000000ull, false, "");
  const char* fourth = format_size(4000, false, "");
  EXPECT_EQ(first, fourth);
  EXPECT_STREQ(second, "2.0 MB");
  EXPECT_STREQ(third, "3.0 GB");
  EXPECT_STREQ(fourth, "4.0 KB");

  // Another thread's calls leave this thread's texts alone.
  std::thread([] { for (int i = 0; i < 3; i++) format_size(9, false, ""); }).join();
  EXPECT_STREQ(second, "2.0 MB");
}

TEST(FormatDuration, Table) {
  struct row_s {
    double seconds;
    const char* text;
  };
  const double day = 86400;
  const row_s rows[] = {
      {59.94, "59.9 seconds"},
      {1, "1.0 seconds"},
      {0, "0.0 seconds"},
      {60, "1 minute"},
      {90, "1 minute"},
      {150, "2 minutes"},
      {3600, "1 hour, 0 minutes"},
      {7260, "2 hours, 1 minute"},
      {day, "1 day, 0 hours, 0 minutes"},
      {2 * day + 3600 + 120, "2 days, 1 hour, 2 minutes"},
      {365 * day, "1 year, 0 days, 0 hours, 0 minutes"},
      {730 * day, "2 years, 0 days, 0 hours, 0 minutes"},
      {366 * day + 60, "1 year, 1 day, 0 hours, 1 minute"},
      // Outside the callers' range: still a defined text, no undefined conversion.
      {-5, "-5.0 seconds"},
      {1e30, "35096545041304 years, 117 days, 12 hours, 15 minutes"},
  };
  for (const row_s& r : rows) EXPECT_STREQ(format_duration(r.seconds), r.text) << r.seconds;
}

TEST(FormatDuration, TwoRotatingBuffers) {
  const char* a = format_duration(1);
  const char* b = format_duration(60);
  const char* c = format_duration(3600);
  EXPECT_EQ(a, c);
  EXPECT_STREQ(b, "1 minute");
}

TEST(FormatThousands, GroupsByThousands) {
  const std::pair<int, const char*> rows[] = {
      {0, "0"},           {999, "999"},         {-1234, "-1234"},          {1000, "1,000"},
      {12005, "12,005"},  {999999, "999,999"},  {1000000, "1,000,000"},    {2147483647, "2,147,483,647"},
  };
  for (const auto& r : rows) EXPECT_STREQ(format_thousands(r.first), r.second) << r.first;
}

TEST(PlotName, Parse) {
  struct row_s {
    const char* path;
    bool ok;
    uint64_t account, start, nonces, stagger;
  };
  const row_s rows[] = {
      {"/mnt/d1/123_456_789", true, 123, 456, 789, 0},
      {"/mnt/d1/123_456_789.plotting", true, 123, 456, 789, 0},
      {"123_456_789_4096", true, 123, 456, 789, 4096},
      {"/a/123_456_789_x", false, 0, 0, 0, 0},  // the whole name counts
      {"/a/-1_2_3", false, 0, 0, 0, 0},         // a sign is no digit, not 2^64 - 1
      {"/a/1_2_3 ", false, 0, 0, 0, 0},
      {"/a/18446744073709551616_0_1", false, 0, 0, 0, 0},  // beyond 64 bits
      {"/a/2024_01_15.log", false, 0, 0, 0, 0},
      {"/a/1_2_3.moving", false, 0, 0, 0, 0},
      {"/a/1_2_3_4.plotting", true, 1, 2, 3, 4},
      {"/a/007_2_3", true, 7, 2, 3, 0},
      {"18446744073709551615_0_1", true, 18446744073709551615ull, 0, 1, 0},
      // Only the base name counts, even when the folder looks like a name.
      {"/1_2_3/readme", false, 0, 0, 0, 0},
      {"/a/123_456", false, 0, 0, 0, 0},
      {"/a/plot.txt", false, 0, 0, 0, 0},
      {"", false, 0, 0, 0, 0},
  };
  for (const row_s& r : rows) {
    uint64_t a = 7, s = 7, n = 7, g = 7;
    ASSERT_EQ(plot_name_parse(r.path, &a, &s, &n, &g), r.ok) << r.path;
    EXPECT_EQ(is_plot_name(r.path), r.ok) << r.path;
    if (!r.ok) continue;
    EXPECT_EQ(a, r.account) << r.path;
    EXPECT_EQ(s, r.start) << r.path;
    EXPECT_EQ(n, r.nonces) << r.path;
    EXPECT_EQ(g, r.stagger) << r.path;
  }
}

TEST(Text, CopyAndAppendStayInside) {
  char buf[8];
  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(text_copy(buf, "abc", 1), 0u);
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(buf[1], 'x');
  EXPECT_EQ(text_copy(buf, "abcdefghij", sizeof buf), 7u);
  EXPECT_STREQ(buf, "abcdefg");

  text_append(sizeof buf, buf, "zz");  // full: unchanged
  EXPECT_STREQ(buf, "abcdefg");
  text_copy(buf, "ab", sizeof buf);
  text_append(sizeof buf, buf, "cdefghij");
  EXPECT_STREQ(buf, "abcdefg");

  text_copy(buf, "ab", sizeof buf);
  EXPECT_EQ(text_append_len(buf, "cd", sizeof buf), 4u);
  EXPECT_EQ(text_append_len(buf, "efghij", sizeof buf), 7u);
  EXPECT_EQ(text_append_len(buf, "k", sizeof buf), 7u);
  EXPECT_STREQ(buf, "abcdefg");
}

TEST(Path, Dirname) {
  struct row_s {
    int size;
    const char* src;
    const char* dir;
  };
  const row_s rows[] = {
      {260, "/mnt/d1/1_2_3", "/mnt/d1"},
      {260, "file.plot", "file.plot"},
      {260, "/", ""},
      {260, "/file", ""},
      {260, "/mnt/d1/", "/mnt/d1"},
      {260, "", ""},
      // Only the first size - 1 characters are looked at.
      {9, "/mnt/d1/abc/1_2_3", "/mnt/d1"},
      {5, "abcdefgh", "abcd"},
      {1, "/mnt", ""},
  };
  for (const row_s& r : rows) {
    char dst[260];
    memset(dst, 'x', sizeof dst);
    path_dirname(r.size, dst, r.src);
    EXPECT_STREQ(dst, r.dir) << r.src << " size " << r.size;
  }
}

TEST(Path, DirnameWithoutRoomLeavesBufferAlone) {
  char dst[4] = {'q', 'q', 'q', 0};
  testing::internal::CaptureStderr();
  path_dirname(0, dst, "/a/b");
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Assertion failure util : 194\n"), std::string::npos);
  EXPECT_STREQ(dst, "qqq");
}

TEST(Path, WithSlash) {
  EXPECT_EQ(path_with_slash("/mnt/d1"), "/mnt/d1/");
  EXPECT_EQ(path_with_slash("/mnt/d1/"), "/mnt/d1/");
  EXPECT_EQ(path_with_slash("/"), "/");
  EXPECT_EQ(path_with_slash(""), "");
}

TEST(Hex, EncodeDecodeRoundTrip) {
  const uint8_t bytes[] = {0x00, 0x7f, 0xa5, 0xff};
  char text[9];
  uint64_t len = 8;  // one short of room for the NUL
  EXPECT_FALSE(hex_encode(bytes, 4, text, &len, false));
  EXPECT_EQ(len, 9u);
  EXPECT_TRUE(hex_encode(bytes, 4, text, &len, false));
  EXPECT_EQ(len, 8u);
  EXPECT_STREQ(text, "007fa5ff");
  len = sizeof text;
  EXPECT_TRUE(hex_encode(bytes, 4, text, &len, true));
  EXPECT_STREQ(text, "007FA5FF");
  len = 0;
  EXPECT_FALSE(hex_encode(bytes, UINT64_MAX / 2 + 1, text, &len, false));

  uint8_t out[4] = {0};
  uint64_t cap = sizeof out;
  EXPECT_TRUE(hex_decode("007FA5ff", 8, out, &cap));
  EXPECT_EQ(cap, 4u);
  EXPECT_EQ(memcmp(out, bytes, 4), 0);
  cap = 2;  // capacity limits the count
  memset(out, 0, sizeof out);
  EXPECT_TRUE(hex_decode("a5ff1234", 8, out, &cap));
  EXPECT_EQ(cap, 2u);
  EXPECT_EQ(out[1], 0xff);
  EXPECT_EQ(out[2], 0);
  cap = 4;
  EXPECT_FALSE(hex_decode("abc", 3, out, &cap));
  EXPECT_FALSE(hex_decode("00zz", 4, out, &cap));
  cap = 1;  // a bad digit beyond the capacity is still refused
  EXPECT_FALSE(hex_decode("00zz", 4, out, &cap));
}
