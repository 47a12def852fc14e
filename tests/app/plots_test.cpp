#include <chrono>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "appdata_fixture.h"
#include "engine/plots.h"
#include "platform/util.h"

using namespace appdata_test;

namespace {

class plots_test : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = make_temp_dir();
    p_ = plots_create();
  }
  void TearDown() override {
    plots_destroy(p_);
    remove_tree(dir_);
  }
  std::string dir_;
  plots_s* p_ = nullptr;
};

}  // namespace

TEST_F(plots_test, lists_plot_names_of_every_kind_sorted_by_start) {
  make_plot(dir_ + "/7_0_1000");  // sparse, full size
  make_file(dir_ + "/7_1000_1000.plotting", 1000 * 262144);
  make_file(dir_ + "/9_5_10_4", 10 * 262144);
  make_file(dir_ + "/notes.txt");
  mkdir((dir_ + "/3_4_5").c_str(), 0755);  // a folder is no plot file
  plots_folder_add(p_, dir_.c_str());
  std::string key = dir_ + "/";
  ASSERT_EQ(p_->ranges.count(key), 1u);
  std::vector<std::pair<uint64_t, uint64_t>> want = {{0, 1000}, {5, 10}, {1000, 1000}};
  EXPECT_EQ(p_->ranges[key], want);
  int files = -1;
  EXPECT_EQ(plots_folder_bytes(p_, key.c_str(), &files), (1000ull + 10 + 1000) * 262144);
  EXPECT_EQ(files, 3);
}

TEST_F(plots_test, folder_is_listed_once_with_or_without_slash) {
  plots_folder_add(p_, dir_.c_str());
  make_file(dir_ + "/1_0_256");  // appears later: not seen this process
  plots_folder_add(p_, (dir_ + "/").c_str());
  EXPECT_EQ(plots_folder_count(p_), 1);
  EXPECT_EQ(plots_folder_next_nonce(p_, dir_.c_str()), 0u);
  // The key is exact: without its slash nothing is found and files stays.
  int files = 42;
  EXPECT_EQ(plots_folder_bytes(p_, dir_.c_str(), &files), 0u);
  EXPECT_EQ(files, 42);
  std::vector<std::string> seen;
  plots_for_each_folder(p_, [&seen](const char* f) {
    seen.push_back(f);
    return true;
  });
  EXPECT_EQ(seen, std::vector<std::string>{dir_ + "/"});
}

TEST_F(plots_test, next_nonce_follows_the_highest_start) {
  make_plot(dir_ + "/7_0_1000");
  make_plot(dir_ + "/7_500_100");
  // An unknown folder is added first.
  EXPECT_EQ(plots_folder_next_nonce(p_, dir_.c_str()), 600u);
  EXPECT_EQ(plots_folder_count(p_), 1);
  std::string missing = dir_ + "/no_such_folder";
  EXPECT_EQ(plots_folder_next_nonce(p_, missing.c_str()), 0u);
  EXPECT_EQ(plots_folder_count(p_), 2);  // registered, with no ranges
}

TEST_F(plots_test, overlaps_across_folders) {
  std::string a = dir_ + "/a", b = dir_ + "/b";
  mkdir(a.c_str(), 0755);
  mkdir(b.c_str(), 0755);
  make_plot(a + "/7_1000_1000");
  make_plot(b + "/8_10000_10");  // another account counts as well
  plots_folder_add(p_, a.c_str());
  plots_folder_add(p_, b.c_str());
  struct {
    uint64_t start, count;
    bool overlaps;
  } cases[] = {
      {0, 5000, true}, {500, 500, false}, {1999, 1, true}, {2000, 10, false}, {999, 2, true},
      {10009, 1, true}, {10010, 100, false}, {0, 0, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(plots_range_overlaps(p_, c.start, c.count), c.overlaps) << c.start << "+" << c.count;
}

// A name can claim a range running past 2^64; it still overlaps everything
// above its start, and nothing wraps around to small nonces.
TEST_F(plots_test, huge_ranges_do_not_wrap) {
  make_plot(dir_ + "/7_18446744073709551000_100000");
  plots_folder_add(p_, dir_.c_str());
  EXPECT_TRUE(plots_range_overlaps(p_, 18446744073709551615ull, 1));
  EXPECT_TRUE(plots_range_overlaps(p_, 18446744073709550000ull, 2000));
  EXPECT_FALSE(plots_range_overlaps(p_, 0, 1000));
}

// Only files whose whole name is the numeric form (".plotting" allowed) and
// whose size matches their nonce count are plots: anything else in a plot
// folder would put garbage into the totals and the next automatic nonce.
TEST_F(plots_test, hostile_names_and_sizes_are_no_plots) {
  const char* not_plots[] = {
      "-1_0_256",  "1_-1_256", "1_0_-1", " 1_0_256", "1_0_256 ", "1_ 0_256", "+1_0_256",
      "1_18446744073709551616_256", "99999999999999999999_0_256", "2024_01_15.log", "1_0_256.moving",
      "1_0_256.plotting.bak", "1_0_256x", "1_0_256_", "1__0_256", "1_0_256_4_5", "1_0", "1_0_256.PLOTTING",
  };
  for (const char* name : not_plots) make_file(dir_ + "/" + name, 256 * 262144);
  make_file(dir_ + "/5_1000_512", 256 * 262144);  // shorter than its name says
  make_file(dir_ + "/5_3000_0");                    // no nonces
  make_plot(dir_ + "/5_2000_256");
  plots_folder_add(p_, dir_.c_str());
  std::vector<std::pair<uint64_t, uint64_t>> want = {{2000, 256}};
  EXPECT_EQ(p_->ranges[dir_ + "/"], want);
  EXPECT_EQ(plots_folder_next_nonce(p_, dir_.c_str()), 2256u);
  EXPECT_FALSE(plots_range_overlaps(p_, 0, 1000));
}

TEST_F(plots_test, destroy_accepts_null) { plots_destroy(nullptr); }

// Names from anywhere (a dropped file, a folder listing) never crash the
// parser; what it accepts is three or four numbers at the start of the name.
TEST(plot_name, fuzz_parse) {
#if defined(VG_UNDER_ASAN) || defined(VG_UNDER_TSAN)
  const auto budget = std::chrono::milliseconds(1500);
#else
  const auto budget = std::chrono::milliseconds(2500);
#endif
  std::mt19937 rng(99);
  const std::string seeds[] = {"/mnt/a/7_1000_4096", "7_0_1000_4.plotting", "/x/18446744073709551615_1_2",
                               "a_b_c", "/"};
  const char alphabet[] = "0123456789_/.-+ plotting\xff";
  auto t_end = std::chrono::steady_clock::now() + budget;
  long runs = 0;
  while (std::chrono::steady_clock::now() < t_end) {
    std::string s = seeds[rng() % 5];
    int edits = 1 + rng() % 8;
    for (int e = 0; e < edits; e++) {
      size_t pos = rng() % (s.size() + 1);
      if (rng() % 3 == 0 && pos < s.size())
        s.erase(pos, 1);
      else
        s.insert(s.begin() + pos, alphabet[rng() % (sizeof alphabet - 1)]);
    }
    uint64_t account, start, nonces, stagger;
    bool ok = plot_name_parse(s.c_str(), &account, &start, &nonces, &stagger);
    if (ok) {
      // The name after the last '/' starts with a number.
      size_t slash = s.rfind('/');
      std::string name = slash == std::string::npos ? s : s.substr(slash + 1);
      ASSERT_FALSE(name.empty()) << s;
    }
    runs++;
  }
  EXPECT_GT(runs, 1000);
}
