// The screens in the real window under a private Xvfb each: the scenario
// scripts drive screens_demo with xdotool as a person would (clicks, typing,
// GTK's choosers), take screenshots (kept under the build folder's
// artifacts/), and the tests check the demo's state file and the pixels.
// Below them, the prompts' number conversions.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/address.h"
#include "app/ui_config.h"
#include "app/ui_processing.h"
#include "app/ui_prompts.h"

namespace {

// ---- display scenarios --------------------------------------------------

struct image_s {
  int w = 0, h = 0;
  std::vector<unsigned char> rgb;
  unsigned at(int x, int y) const {
    if (x < 0 || y < 0 || x >= w || y >= h) return 0xffffffffu;
    const unsigned char* p = &rgb[(size_t(y) * w + x) * 3];
    return (unsigned(p[0]) << 16) | (unsigned(p[1]) << 8) | p[2];
  }
};

image_s read_ppm(const std::string& path) {
  image_s img;
  std::ifstream f(path, std::ios::binary);
  std::string magic;
  int maxval = 0;
  f >> magic >> img.w >> img.h >> maxval;
  f.get();
  if (magic != "P6" || maxval != 255) return image_s{};
  img.rgb.resize(size_t(img.w) * img.h * 3);
  f.read(reinterpret_cast<char*>(img.rgb.data()), img.rgb.size());
  return img;
}

int channel(unsigned c, int shift) { return (c >> shift) & 0xff; }

bool near(unsigned a, unsigned b, int tol = 24) {
  for (int s : {16, 8, 0})
    if (std::abs(channel(a, s) - channel(b, s)) > tol) return false;
  return true;
}

// The colour over white at the given coverage (a 1 px line on a pixel
// boundary covers two rows half each).
unsigned over_white(unsigned c, double cover) {
  unsigned out = 0;
  for (int s : {16, 8, 0}) {
    int v = int(std::lround(channel(c, s) * cover + 255 * (1 - cover)));
    out |= unsigned(v) << s;
  }
  return out;
}

// A horizontal 1 px line of colour c drawn at y shows in row y - 1 or y.
bool hline_at(const image_s& img, int x, int y, unsigned c) {
  for (int row : {y - 1, y})
    if (near(img.at(x, row), c) || near(img.at(x, row), over_white(c, 0.5))) return true;
  return false;
}

int count_colour(const image_s& img, int x0, int y0, int x1, int y1, unsigned c, int tol = 24) {
  int n = 0;
  for (int y = y0; y < y1; y++)
    for (int x = x0; x < x1; x++)
      if (near(img.at(x, y), c, tol)) n++;
  return n;
}

std::string artifacts_root() { return VG_ARTIFACTS_DIR; }

struct scenario_s {
  std::string out;
  int rc = -1;
  std::map<std::string, std::string> state;
  std::string log;
  image_s shot(const std::string& name) const { return read_ppm(out + "/" + name + ".ppm"); }
};

std::string make_temp_dir() {
  char templ[] = "/tmp/vg_screens_XXXXXX";
  const char* d = mkdtemp(templ);
  return d ? d : "";
}

void remove_tree(const std::string& dir) {
  if (dir.size() > 5) {
    std::string cmd = "rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0) perror("rm");
  }
}

// Runs body under its own Xvfb with the helpers of screens_lib.sh. Its
// waits follow the demo and give up at the scenario's one limit, for a hang:
// VG_SCREENS_LIMIT seconds where it is set, else limit_seconds. A real run's
// waits also fail when nothing has moved for minutes (see wait_run). The
// timeout around the scenario is a last guard, past that limit, for a
// script that no longer waits at all.
// xvfb_screen, when given, is the display's geometry ("2560x1440x24").
scenario_s run_scenario(const std::string& name, const std::string& body, int limit_seconds = 600,
                        const std::string& xvfb_screen = "") {
  if (const char* limit = getenv("VG_SCREENS_LIMIT")) limit_seconds = atoi(limit);
  scenario_s s;
  s.out = artifacts_root() + "/" + name;
  std::string mk = "rm -rf '" + s.out + "' && mkdir -p '" + s.out + "'";
  EXPECT_EQ(system(mk.c_str()), 0);
  std::string script = s.out + "/scenario.sh";
  {
    std::ofstream f(script);
    f << "OUT='" << s.out << "'\nDEMO='" << VG_SCREENS_DEMO << "'\n"
      << "VG_SCREENS_LIMIT=" << limit_seconds << "\n"
      << "source '" << VG_SOURCE_DIR << "/tests/app/screens_lib.sh'\n"
      << body << "\nstop_demo\nexit 0\n";
  }
  std::string env = xvfb_screen.empty() ? "" : "VG_XVFB_SCREEN=" + xvfb_screen + " ";
  std::string cmd = env + "timeout " + std::to_string(limit_seconds + 60) + " '" VG_SOURCE_DIR "/tests/xvfb-run.sh' bash '" +
                    script + "' > '" + s.out + "/scenario.log' 2>&1";
  int st = system(cmd.c_str());
  s.rc = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  std::ifstream lf(s.out + "/scenario.log");
  std::stringstream ss;
  ss << lf.rdbuf();
  s.log = ss.str();
  std::ifstream sf(s.out + "/state");
  std::string line;
  while (std::getline(sf, line)) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) s.state[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return s;
}

#define EXPECT_SCENARIO_OK(s) ASSERT_EQ((s).rc, 0) << (s).log

class Screens : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = make_temp_dir();
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override { remove_tree(dir_); }
  std::string sub(const std::string& name) {
    std::string p = dir_ + "/" + name;
    mkdir(p.c_str(), 0755);
    return p;
  }
  std::string dir_;
};

const unsigned WHITE = 0xffffff;
const unsigned DISABLED_BUTTON = 0xcccccc;
const unsigned SELECTED_ITEM = 0xf1f6fa;

// The texts of one processing frame as the screen drew them.
struct text_box_s {
  float x, y, w, h, points;
  std::string text;
};

std::vector<text_box_s> read_texts(const std::string& path) {
  std::vector<text_box_s> out;
  std::ifstream f(path);
  std::string line;
  while (std::getline(f, line)) {
    std::istringstream in(line);
    text_box_s t;
    in >> t.x >> t.y >> t.w >> t.h >> t.points;
    std::getline(in >> std::ws, t.text);
    if (in || !t.text.empty()) out.push_back(t);
  }
  return out;
}

// No text under 7 pt, none outside the window, no two overlapping.
void expect_legible(const std::vector<text_box_s>& texts, int W, int H, const std::string& what) {
  EXPECT_GT(texts.size(), 10u) << what;
  for (const text_box_s& t : texts) {
    EXPECT_GE(t.points, 6.95f) << what << ": " << t.text;
    EXPECT_TRUE(t.x >= 0 && t.y >= 0 && t.x + t.w <= W && t.y + t.h <= H) << what << ": " << t.text;
  }
  for (size_t i = 0; i < texts.size(); i++)
    for (size_t j = i + 1; j < texts.size(); j++) {
      const text_box_s &a = texts[i], &b = texts[j];
      float ox = std::min(a.x + a.w, b.x + b.w) - std::max(a.x, b.x);
      float oy = std::min(a.y + a.h, b.y + b.h) - std::max(a.y, b.y);
      EXPECT_FALSE(ox > 0.5f && oy > 0.5f)
          << what << ": '" << a.text << "' (" << a.x << "," << a.y << " " << a.w << "x" << a.h
          << ") overlaps '" << b.text << "' (" << b.x << "," << b.y << " " << b.w << "x" << b.h
          << ")";
    }
}

bool has_text(const std::vector<text_box_s>& texts, const std::string& s) {
  for (const text_box_s& t : texts)
    if (t.text == s) return true;
  return false;
}

// The relative luminance of an sRGB colour and the contrast ratio of two,
// as legibility guidelines measure them (1 = none, 21 = black on white).
double luminance(unsigned c) {
  double l = 0;
  const double weight[] = {0.2126, 0.7152, 0.0722};
  int k = 0;
  for (int s : {16, 8, 0}) {
    double v = channel(c, s) / 255.0;
    v = v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    l += weight[k++] * v;
  }
  return l;
}

// How a text stands out: its darkest pixel (the ink) against the lightest
// one of its box (what lies behind it).
double text_contrast(const image_s& img, const text_box_s& t) {
  double dark = 1, light = 0;
  for (int y = (int)t.y; y <= (int)(t.y + t.h); y++)
    for (int x = (int)t.x; x <= (int)(t.x + t.w); x++) {
      double l = luminance(img.at(x, y));
      dark = std::min(dark, l);
      light = std::max(light, l);
    }
  return (light + 0.05) / (dark + 0.05);
}

bool is_percentage(const text_box_s& t) { return !t.text.empty() && t.text.back() == '%'; }

TEST_F(Screens, ConfigListsFillPromptAndPlan) {
  std::string target = sub("target"), ssd = sub("ssd");
  scenario_s s = run_scenario("config_lists", R"SH(
start_demo --screen config --account 0 --target ')SH" + target + R"SH(' --fill-bytes 10737418240
shot config_start
click 60 275                                 # "Click to select..." of the SSD list
choose "Path to SSD folder" ')SH" + ssd + R"SH('
wait_state ssds ')SH" + ssd + R"SH(|0;'
hover 620 20
shot config_ssd_added
click 50 270                                 # the SSD's path removes it
wait_state ssds ''
click 44 385                                 # "Fill ..." of the target
wait_state screen fill
type_text 0.07
hover 320 358
shot fill_prompt
click 320 356                                # OK
wait_state screen config
shot config_filled
)SH");
  EXPECT_SCENARIO_OK(s);
  EXPECT_EQ(s.state["targets"], target + "|70000000;");
  EXPECT_EQ(s.state["job_nonces"], "256");
  EXPECT_EQ(s.state["plan"], "67.1 MB will be written to 1 file on 1 drive.");

  image_s start = s.shot("config_start");
  ASSERT_EQ(start.w, 640);
  // One CPU item, 560 px from x 40, selected (filled) with g_gpus 0.
  EXPECT_TRUE(near(start.at(42, 170), SELECTED_ITEM, 3));
  EXPECT_TRUE(near(start.at(597, 170), SELECTED_ITEM, 3));
  EXPECT_TRUE(near(start.at(603, 170), WHITE, 3));
  // "Start Plotting!" is disabled without an account.
  EXPECT_TRUE(near(start.at(491, 421), DISABLED_BUTTON, 3));
  // The plan sentence is drawn at (24, 74) in grey.
  EXPECT_GT(count_colour(start, 24, 74, 300, 88, 0x707070, 40), 30);
  // After the SSD was added the list shows its path in green.
  EXPECT_GT(count_colour(s.shot("config_ssd_added"), 40, 265, 200, 285, 0x4da60c, 40), 20);
}

TEST_F(Screens, ProcessorStripSelection) {
  scenario_s s = run_scenario("processor_strip", R"SH(
start_demo --screen config --account 1 --gpus 2
hover 620 20
shot processor_two_gpus
click 320 174                                # GPU0
wait_state gpus 1
click 508 174                                # GPU1
wait_state gpus 3
shot processor_both
click 132 174                                # CPU
wait_state gpus 0
click 508 174
click 508 174
wait_state gpus 0
)SH");
  EXPECT_SCENARIO_OK(s);
  // Three items of 184 px: CPU selected first, then both GPUs.
  image_s two = s.shot("processor_two_gpus");
  EXPECT_TRUE(near(two.at(44, 200), SELECTED_ITEM, 3));
  EXPECT_TRUE(near(two.at(232, 200), WHITE, 3));
  image_s both = s.shot("processor_both");
  EXPECT_TRUE(near(both.at(44, 200), WHITE, 3));
  EXPECT_TRUE(near(both.at(232, 200), SELECTED_ITEM, 3));
  EXPECT_TRUE(near(both.at(596, 200), SELECTED_ITEM, 3));
}

TEST_F(Screens, FirstRunNoAskForAccount) {
  scenario_s s = run_scenario("first_run_no", R"SH(
start_demo --screen first
shot first_run
click 380 231                                # "No"
wait_state screen account
type_text 'not an id'
hover 320 360
shot account_refused
[ "$(state account)" = 0 ] || fail "text gave an account"
click 320 356                                # disabled: nothing happens
wait_state screen account
xdotool key Return                           # says why, and stays
dialog 'Not an account'
xdotool key Return
dialog_gone 'Not an account'
wait_state screen account
type_text 'BURST-'
type_text '12345'
# The pointer stays where it is: the key press alone must enable OK, and
# only OK takes the account (the entry's text above came in a state that
# tells the account too).
[ "$(state account)" = 0 ] || fail "the typed account was taken before OK"
shot account_ok
click 320 356
wait_state screen config
wait_state account 12345
shot config_no_target
)SH");
  EXPECT_SCENARIO_OK(s);
  image_s refused = s.shot("account_refused");
  EXPECT_TRUE(near(refused.at(275, 343), DISABLED_BUTTON, 3));
  image_s ok = s.shot("account_ok");
  EXPECT_FALSE(near(ok.at(275, 343), DISABLED_BUTTON, 3));
  // The reason is written in red between the example and OK, and only
  // while the text is refused; Return told it once in the log too.
  const unsigned REFUSED = 0xc62828;
  EXPECT_GT(count_colour(refused, 0, 285, 640, 310, REFUSED, 40), 20);
  EXPECT_EQ(count_colour(ok, 0, 285, 640, 310, REFUSED, 40), 0);
  std::string demo_log;
  {
    std::ifstream f(s.out + "/demo.log");
    std::stringstream ss;
    ss << f.rdbuf();
    demo_log = ss.str();
  }
  const std::string told = "This is neither an address nor an account id: not an id: O and I are not used in addresses";
  size_t at = demo_log.find(told);
  EXPECT_NE(at, std::string::npos) << demo_log;
  if (at != std::string::npos) {
    EXPECT_EQ(demo_log.find(told, at + 1), std::string::npos) << demo_log;
  }
  // An account but no jobs: still disabled.
  EXPECT_TRUE(near(s.shot("config_no_target").at(491, 421), DISABLED_BUTTON, 3));
}

// The hovered look follows the region under the pointer: back from a
// prompt whose OK lay over a drive's path, the path is drawn hovered, and
// moving off it in one step draws it plain again.
TEST_F(Screens, HoverFollowsTheRegionAfterPromptOk) {
  std::string target = sub("target_with_a_long_folder_name_that_reaches_past_the_middle");
  scenario_s s = run_scenario("hover_after_ok", R"SH(
start_demo --screen config --account 1 --target ')SH" + target + R"SH('
click 44 385                                 # "Fill ..." of the target
wait_state screen fill
click 320 356                                # OK, over the target's path
wait_state screen config
shot back_on_path
hover 620 20
shot moved_off
)SH");
  EXPECT_SCENARIO_OK(s);
  const unsigned PATH_HOVER = 0x8b12ae, PATH = 0x4da60c;
  image_s on = s.shot("back_on_path");
  EXPECT_GT(count_colour(on, 40, 342, 600, 380, PATH_HOVER, 40), 50);
  image_s off = s.shot("moved_off");
  EXPECT_EQ(count_colour(off, 40, 342, 600, 380, PATH_HOVER, 40), 0);
  EXPECT_GT(count_colour(off, 40, 342, 600, 380, PATH, 40), 50);
}

// The helpers wait for what the demo has drawn, not for a while: a demo
// that stands still for seconds after each move (as on a loaded machine)
// is still shot with the frame that shows the move.
TEST_F(Screens, ShotsShowTheMoveOfADemoThatStalls) {
  std::string target = sub("target_with_a_long_folder_name_that_reaches_past_the_middle");
  scenario_s s = run_scenario("stalled_demo", R"SH(
start_demo --screen config --account 1 --target ')SH" + target + R"SH('
stall() { kill -STOP "$DEMO_PID"; (sleep 2; kill -CONT "$DEMO_PID") & }
hover 620 20
stall
hover 320 360                                # over the target's path
shot stalled_on_path
stall
hover 620 20
shot stalled_off_path
)SH");
  EXPECT_SCENARIO_OK(s);
  const unsigned PATH_HOVER = 0x8b12ae;
  EXPECT_GT(count_colour(s.shot("stalled_on_path"), 40, 342, 600, 380, PATH_HOVER, 40), 50);
  EXPECT_EQ(count_colour(s.shot("stalled_off_path"), 40, 342, 600, 380, PATH_HOVER, 40), 0);
}

TEST_F(Screens, FirstRunYesReadsPlotFileName) {
  std::string plots = sub("plots");
  std::string file = plots + "/123_1000_4096";
  std::ofstream(file).put('x');
  std::string bad = plots + "/not_a_plot";
  std::ofstream(bad).put('x');
  scenario_s s = run_scenario("first_run_yes", R"SH(
start_demo --screen first
click 260 231                                # "Yes"
choose "Select any plot file" ')SH" + file + R"SH('
wait_state screen config
wait_state account 123
[ "$(state start_nonce)" = 0 ] || fail "auto start took a nonce"
click 60 423                                 # "Start nonce: Automatic"
wait_state screen nonce
click 320 356                                # "Choose from file"
choose "Select your latest plot file" ')SH" + bad + R"SH('
dialog Error
shot_root bad_name_message
xdotool key Return
dialog_gone Error
wait_state screen nonce
wait_state auto_start 1                      # a failed choice keeps the mode
click 320 356
choose "Select your latest plot file" ')SH" + file + R"SH('
wait_state screen config
wait_state start_nonce 5096
shot config_fixed_start
)SH");
  EXPECT_SCENARIO_OK(s);
  EXPECT_EQ(s.state["account"], "123");
  EXPECT_EQ(s.state["auto_start"], "0");
}

TEST_F(Screens, PromptsSizeRamAndCentredEntry) {
  std::string target = sub("target");
  scenario_s s = run_scenario("prompts", R"SH(
start_demo --screen config --account 1 --target ')SH" + target + R"SH(' --fill-bytes 10737418240
click 60 432                                 # "Max file size: 10.7 GB"
wait_state screen size
type_text 10
hover 320 358
shot size_prompt
click 320 356
wait_state screen config
wait_state max_bytes_per_file 10000000000
wait_state jobs 2
click 60 450                                 # "RAM to use"
wait_state screen ram
type_text 8
hover 320 358
shot ram_prompt
xdotool windowsize "$WID" 800 600
wait_state entry_xy 180,285
shot ram_prompt_800
click 400 416
wait_state screen config
wait_state resume_ram 8589934592
wait_state jobs 2
wait_state entries 0
xdotool windowsize "$WID" 640 480
wait_state size 640,480
shot config_after_prompts
)SH");
  EXPECT_SCENARIO_OK(s);
  EXPECT_EQ(s.state["resume_ram"], "8589934592");
  EXPECT_EQ(s.state["max_bytes_per_file"], "10000000000");
  // The entry lies centred: the grey line under it spans x 100..540 at y 259.
  image_s size = s.shot("size_prompt");
  EXPECT_TRUE(hline_at(size, 110, 259, 0x707070));
  EXPECT_TRUE(hline_at(size, 530, 259, 0x707070));
}

TEST_F(Screens, ProcessingWithoutSsdPauseEstimateSummary) {
  std::string target = sub("target");
  scenario_s s = run_scenario("processing_no_ssd", R"SH(
start_demo --account 1 --target ')SH" + target + R"SH(' --fake-run 0
wait_state screen processing
wait_run_seconds 1.5
shot processing
early_eta="$(state eta)"
early_clock="$(state clock)"
# No estimate during the first 5 s of the run.
if awk "BEGIN { exit !($early_clock < 5) }"; then [ -z "$early_eta" ] || fail "estimate before 5 s"; fi
echo "$early_eta" > "$OUT/early_eta"
has_eta() { [ -n "$(state eta)" ]; }
await "an estimate" has_eta
click 577 465                                # "Pause"
wait_state paused 1
# A paused run claims no time left, however little it had.
wait_state eta 'Estimated time remaining: paused'
shot estimate
cp "$OUT/state.texts" "$OUT/texts_estimate"
click 577 465                                # "Resume"
wait_state paused 0
not_paused_eta() { case "$(state eta)" in *paused) return 1 ;; esac; }
await "an estimate that is not 'paused' after Resume" not_paused_eta
shot resumed
wait_state screen summary
shot summary
)SH");
  EXPECT_SCENARIO_OK(s);
  // S = 208: the Compute bar at y 50 and the Write bar at y 282, both
  // 170 px high and W - 198 = 442 px wide; the gauges 52 px wide at 472.
  image_s p = s.shot("processing");
  EXPECT_TRUE(hline_at(p, 200, 50, 0x117dbb));
  EXPECT_TRUE(hline_at(p, 200, 220, 0x117dbb));
  EXPECT_TRUE(hline_at(p, 200, 282, 0x4da60c));
  EXPECT_TRUE(hline_at(p, 200, 452, 0x4da60c));
  EXPECT_TRUE(hline_at(p, 490, 50, 0x8b12ae));
  EXPECT_TRUE(hline_at(p, 490, 282, 0x8b12ae));
  EXPECT_TRUE(near(p.at(469, 150), WHITE, 3)) << "nothing between bar and gauge";
  // The estimate's line at (24, 463), below the file name under the bar
  // (whose descenders reach row 466), appears only after 5 s.
  std::ifstream early(s.out + "/early_eta");
  std::string early_eta;
  std::getline(early, early_eta);
  if (early_eta.empty()) {
    EXPECT_EQ(count_colour(p, 24, 468, 300, 478, 0x707070, 60), 0);
  }
  image_s paused = s.shot("estimate");
  EXPECT_GT(count_colour(paused, 24, 468, 300, 478, 0x707070, 60), 20);
  std::vector<text_box_s> estimate = read_texts(s.out + "/texts_estimate");
  expect_legible(estimate, 640, 480, "one target with the estimate");
  // One unit for every figure: the RAM gauge and the write-buffer gauge
  // count in the MB of Computed, Remaining and Written beside them.
  const std::regex size(R"(^[0-9]+\.[0-9] [KMGT]B(/s)?$)");
  int gauge_figures = 0, figures = 0;
  for (const text_box_s& t : estimate) {
    EXPECT_EQ(t.text.find("iB"), std::string::npos) << t.text;
    if (!std::regex_match(t.text, size)) continue;
    figures++;
    if (t.x >= 472 && t.x + t.w <= 524) gauge_figures++;
  }
  EXPECT_EQ(gauge_figures, 2) << "a figure in each gauge";
  EXPECT_GE(figures, 7);
  // The button reads "Resume" while paused, "Pause" again after the click:
  // the longer word has more ink.
  int ink_pause = count_colour(p, 534, 455, 620, 475, 0x000000, 100);
  int ink_resume = count_colour(paused, 534, 455, 620, 475, 0x000000, 100);
  int ink_again = count_colour(s.shot("resumed"), 534, 455, 620, 475, 0x000000, 100);
  EXPECT_GT(ink_resume, ink_pause + 10);
  EXPECT_LT(ink_again + 10, ink_resume);
  // Summary: stacked bars on the base line at y 334.
  image_s sum = s.shot("summary");
  EXPECT_GT(count_colour(sum, 24, 90, 616, 334, 0x117dbb, 10), 200);
  EXPECT_GT(count_colour(sum, 24, 90, 616, 334, 0x4da60c, 10), 200);
  EXPECT_TRUE(hline_at(sum, 320, 335, 0x000000));
  EXPECT_GT(count_colour(sum, 100, 370, 540, 392, 0x000000, 60), 50);
}

TEST_F(Screens, ProcessingWithSsdSections) {
  std::string target = sub("target"), ssd = sub("ssd");
  scenario_s s = run_scenario("processing_ssd", R"SH(
start_demo --account 1 --ssd ')SH" + ssd + R"SH(' --target ')SH" + target + R"SH(' --fake-run 1
wait_state screen processing
wait_run_seconds 1.5
shot processing_ssd
cp "$OUT/state.texts" "$OUT/texts_start"
# The move begins at 9.6 s of the simulated run; the file is written at
# 15.6 s and moves until 24 s.
wait_run_seconds 11
shot processing_ssd_moving
wait_run_seconds 17
shot processing_ssd_written
cp "$OUT/state.texts" "$OUT/texts_written"
)SH");
  EXPECT_SCENARIO_OK(s);
  // Written and moving out: the SSD's Write bar stays full.
  std::string ssd_percent;
  for (const text_box_s& t : read_texts(s.out + "/texts_written"))
    if (t.x < 40 && t.y > 250 && t.y < 290) ssd_percent = t.text;
  EXPECT_EQ(ssd_percent, "100.0%");
  // Every percentage stands out from its bar, a stage that has not begun
  // (the Move at the start) or has ended (the Compute and the SSD later)
  // as well as one at work.
  const struct {
    const char* frame;
    const char* texts;
    size_t percentages;
  } frames[] = {{"processing_ssd", "texts_start", 3}, {"processing_ssd_written", "texts_written", 3}};
  for (const auto& f : frames) {
    image_s img = s.shot(f.frame);
    size_t n = 0;
    for (const text_box_s& t : read_texts(s.out + "/" + f.texts)) {
      if (!is_percentage(t)) continue;
      n++;
      EXPECT_GE(text_contrast(img, t), 3.0) << f.frame << ": " << t.text << " at " << t.x << "," << t.y;
    }
    EXPECT_EQ(n, f.percentages) << f.frame;
  }
  // S = 130: bars 92 px high at y 50, 204 and 358; the Compute bar W - 140.
  image_s p = s.shot("processing_ssd");
  EXPECT_TRUE(hline_at(p, 300, 50, 0x117dbb));
  EXPECT_TRUE(hline_at(p, 300, 142, 0x117dbb));
  EXPECT_TRUE(hline_at(p, 300, 204, 0x4da60c));
  EXPECT_TRUE(hline_at(p, 300, 296, 0x4da60c));
  EXPECT_TRUE(hline_at(p, 300, 358, 0xa74f01));
  EXPECT_TRUE(hline_at(p, 300, 450, 0xa74f01));
  EXPECT_TRUE(hline_at(p, 490, 50, 0x117dbb)) << "no gauge with SSDs";
  // The Pause button at (534, 455).
  EXPECT_TRUE(near(p.at(540, 465), 0xe1e1e1, 3));
}

// Thirteen targets behind two SSDs, then as many targets as the list takes:
// every frame stays legible at 640 x 480 and larger, paging the columns.
TEST_F(Screens, ProcessingManyDrivesStaysLegible) {
  std::string args13 = " --ssd '" + sub("ssd_one") + "' --ssd '" + sub("ssd_two") + "'";
  for (int i = 1; i <= 13; i++) args13 += " --target '" + sub("plots_disk" + std::to_string(i)) + "'";
  std::string args64;
  for (int i = 1; i <= 64; i++) args64 += " --target '" + sub("d" + std::to_string(i)) + "'";
  scenario_s s = run_scenario("processing_many", R"SH(
texts() { cp "$OUT/state.texts" "$OUT/texts_$1"; }
start_demo --account 1)SH" + args13 + R"SH( --fake-run 1
wait_state screen processing
wait_run_seconds 2
shot many_staged; texts many_staged
click 605 347                                # ">" of the Move section
shot many_staged_page2; texts many_staged_page2
wait_run_seconds 11                          # moving from the SSDs
shot many_staged_moving; texts many_staged_moving
xdotool windowsize "$WID" 800 600
wait_state size 800,600
shot many_staged_800; texts many_staged_800
stop_demo
start_demo --account 1)SH" + args64 + R"SH( --fake-run 0
wait_state screen processing
wait_run_seconds 2
shot all_targets; texts all_targets
)SH");
  EXPECT_SCENARIO_OK(s);
  std::vector<text_box_s> first = read_texts(s.out + "/texts_many_staged");
  expect_legible(first, 640, 480, "13 targets, page 1");
  EXPECT_TRUE(has_text(first, "1/3")) << "the Move section pages its columns";
  std::vector<text_box_s> second = read_texts(s.out + "/texts_many_staged_page2");
  expect_legible(second, 640, 480, "13 targets, page 2");
  EXPECT_TRUE(has_text(second, "2/3"));
  expect_legible(read_texts(s.out + "/texts_many_staged_moving"), 640, 480, "13 targets, moving");
  expect_legible(read_texts(s.out + "/texts_many_staged_800"), 800, 600, "13 targets at 800 x 600");
  std::vector<text_box_s> all = read_texts(s.out + "/texts_all_targets");
  expect_legible(all, 640, 480, "64 targets");
  EXPECT_TRUE(has_text(all, "1/13"));
}

TEST_F(Screens, DroppedPlottingFiles) {
  std::string ssd = sub("ssd"), target = sub("target"), folder = sub("resume"), more = sub("more");
  std::string file = folder + "/7_2000_256.plotting";
  auto sized = [](const std::string& path, uint64_t bytes) {
    std::ofstream(path).put('x');
    ASSERT_EQ(truncate(path.c_str(), (off_t)bytes), 0);
  };
  sized(file, 256 * 262144);
  // Names the engine cannot resume: a count of 0, one that is no whole
  // number of sector units, a file shorter than its name says.
  sized(folder + "/7_0_0.plotting", 0);
  sized(folder + "/7_0_100.plotting", 100 * 262144);
  sized(folder + "/7_4096_256.plotting", 1);
  scenario_s s = run_scenario("dropped_files", R"SH(
drop() { echo "$1" > "$OUT/state.drop"; }
start_demo --screen config --account 7 --ram 268435456 --ssd ')SH" + ssd + R"SH(' --target ')SH" + target + R"SH('
# An existing folder dropped on the target list becomes a target.
printf '@%s\n%s\n' 320,360 ')SH" + more + R"SH(' > "$OUT/state.drop"
wait_state targets ')SH" + target + "|0;" + more + R"SH(|0;'
click 50 370                                 # a click on the first path removes it
wait_state targets ')SH" + more + R"SH(|0;'
jobs=$(state jobs)
for name in 8_2000_256.plotting 7_2_3_8.plotting x.plotting 7_0_0.plotting 7_0_100.plotting 7_4096_256.plotting; do
  drop ')SH" + folder + R"SH(/'$name
  dialog Error
  shot_root "error_${name%%.*}"
  xdotool key Return
  dialog_gone Error
  wait_state screen config
  wait_state targets ')SH" + more + R"SH(|0;'
  wait_state jobs "$jobs"
done
# "No" to the question changes nothing and checks nothing.
drop ')SH" + file + R"SH('
dialog 'Resume?'
xdotool key Escape
dialog_gone 'Resume?'
drawn                                        # the answer handled
wait_state screen config
wait_state jobs "$jobs"
wait_state targets ')SH" + more + R"SH(|0;'
drop ')SH" + file + R"SH('
dialog 'Resume?'
shot_root resume_question
xdotool key --clearmodifiers alt+y
# The plotter's start (its benchmark) holds the UI thread for a while.
dialog_gone 'Resume?'
wait_state screen processing
wait_state targets ')SH" + more + "|0;" + folder + R"SH(|0;'
)SH");
  EXPECT_SCENARIO_OK(s);
  EXPECT_EQ(s.state["ssds"], ssd + "|0;");  // the saved SSD list stays
  EXPECT_EQ(s.state["jobs"], "1");
}

// A file dropped while a run goes on is neither checked nor resumed, and the
// user is told so instead of the drop being ignored.
TEST_F(Screens, DropsDuringARunAreRefusedWithTheReason) {
  std::string folder = sub("resume");
  std::string file = folder + "/7_2000_256.plotting";
  std::ofstream(file).put('x');
  ASSERT_EQ(truncate(file.c_str(), (off_t)(256 * 262144)), 0);
  std::ofstream(folder + "/7_0_256").put('x');
  scenario_s s = run_scenario("drop_during_run", R"SH(
drop() { echo "$1" > "$OUT/state.drop"; }
start_demo --screen config --account 7 --ram 268435456
drop ')SH" + file + R"SH('
dialog 'Resume?'
xdotool key --clearmodifiers alt+y
dialog_gone 'Resume?'
wait_state screen processing
drop ')SH" + folder + R"SH(/7_0_256'
dialog 'Not now'
shot_root refused_drop
xdotool key Return
dialog_gone 'Not now'
wait_state screen processing
)SH");
  EXPECT_SCENARIO_OK(s);
}

// A prompt confirmed with the text it opened with changes nothing: neither
// the automatic start, nor the file size cap, nor the automatic RAM.
TEST_F(Screens, UneditedPromptsChangeNothing) {
  std::string target = sub("target");
  scenario_s s = run_scenario("unedited_prompts", R"SH(
start_demo --screen config --account 1 --target ')SH" + target + R"SH(' --fill-bytes 10737418240
jobs=$(state jobs); first=$(state first_start)
click 60 415                                 # "Start nonce: Automatic"
wait_state screen nonce
click 475 356                                # "Done"
wait_state screen config
click 60 432                                 # "Max file size"
wait_state screen size
click 320 356                                # "OK"
wait_state screen config
click 60 450                                 # "RAM to use"
wait_state screen ram
click 320 356
wait_state screen config
wait_state auto_start 1
wait_state start_nonce 0
wait_state max_bytes_per_file 16000000000000
wait_state resume_ram 0
wait_state jobs "$jobs"
wait_state first_start "$first"
)SH");
  EXPECT_SCENARIO_OK(s);
}

// A restored session is only replaced when the user agrees to a question
// that names its unfinished files, which are then deleted; "No" keeps the
// session, its file and the lists.
TEST_F(Screens, ReplanningARestoredSessionAsksFirst) {
  std::string target = sub("target");
  std::string file = target + "/1_4096_256.plotting";
  std::ofstream(file).put('x');
  scenario_s s = run_scenario("restored_session", R"SH(
start_demo --screen config --account 1 --target ')SH" + target + R"SH(' --restored 4096,256
wait_state restored 1
click 50 370                                 # remove the target
dialog 'Discard unfinished session\?'
shot_root discard_question
xdotool key Escape
dialog_gone 'Discard unfinished session\?'
wait_state restored 1
wait_state targets ')SH" + target + R"SH(|0;'
wait_state jobs 1
wait_state first_start 4096
[ -e ')SH" + file + R"SH(' ] || fail "the unfinished file went"
click 60 415                                 # "Start nonce"
wait_state screen nonce
type_text 50000
click 475 356                                # "Done"
dialog 'Discard unfinished session\?'
xdotool key --clearmodifiers alt+y
dialog_gone 'Discard unfinished session\?'
wait_state screen config
wait_state restored 0
wait_state start_nonce 50000
wait_state first_start 50000
[ -e ')SH" + file + R"SH(' ] && fail "the unfinished file stayed"
true
)SH");
  EXPECT_SCENARIO_OK(s);
}

TEST_F(Screens, RealRunFromConfigToSummary) {
  std::string target = sub("target");
  scenario_s s = run_scenario("real_run", R"SH(
start_demo --screen config --account 1 --target ')SH" + target + R"SH(' --fill-bytes 70000000 --start-nonce 0 --cpu-threads 2 --ram 268435456
wait_state jobs 1
click 551 436                                # "Start Plotting!"
wait_run screen processing ')SH" + target + R"SH('
shot real_processing
click 577 465                                # "Pause"
wait_state paused 1
shot real_paused
# A pause that lands on the run's only batch lets that batch finish the
# file, and the run ends while paused; otherwise Resume goes on.
resumed_or_done() { [ "$(state paused)" = 0 ] || [ "$(state screen)" = summary ]; }
[ "$(state screen)" = processing ] && click 577 465   # "Resume"
await "the run resumed or finished" resumed_or_done
wait_run screen summary ')SH" + target + R"SH('
shot real_summary
)SH", 3500);
  EXPECT_SCENARIO_OK(s);
  struct stat st {};
  ASSERT_EQ(stat((target + "/1_0_256").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 256 * 262144);
  image_s sum = s.shot("real_summary");
  EXPECT_GT(count_colour(sum, 100, 370, 540, 392, 0x000000, 60), 50);
}

// A real staged run of 256 nonces through an SSD: its summary shows what
// was computed, written and moved, each in its colour.
TEST_F(Screens, RealStagedRunSummaryShowsAllThreeStages) {
  std::string target = sub("target"), ssd = sub("ssd");
  scenario_s s = run_scenario("real_staged_run", R"SH(
# SSD and target share /tmp: a small file size leaves room for both.
start_demo --screen config --account 1 --ssd ')SH" + ssd + R"SH(' --target ')SH" + target + R"SH(' --fill-bytes 70000000 --max-file-bytes 70000000 --start-nonce 0 --cpu-threads 2 --ram 268435456
wait_state jobs 1
click 551 436                                # "Start Plotting!"
wait_run screen processing ')SH" + ssd + "' '" + target + R"SH('
wait_run screen summary ')SH" + ssd + "' '" + target + R"SH('
shot staged_summary
)SH", 3500);
  EXPECT_SCENARIO_OK(s);
  struct stat st {};
  ASSERT_EQ(stat((target + "/1_0_256").c_str(), &st), 0);
  image_s sum = s.shot("staged_summary");
  EXPECT_GT(count_colour(sum, 24, 90, 616, 334, 0x117dbb, 10), 100) << "computed";
  EXPECT_GT(count_colour(sum, 24, 90, 616, 334, 0x4da60c, 10), 100) << "written";
  EXPECT_GT(count_colour(sum, 24, 90, 616, 334, 0xdbdb2f, 10), 100) << "moved";
}

// A setting changes only when its prompt is confirmed, by OK or Return;
// Escape leaves it. Values a prompt cannot use are refused with their range,
// and what it accepts is stored exactly (fractions and sizes below 1 GB).
TEST_F(Screens, PromptsChangeSettingsOnlyWhenConfirmed) {
  std::string target = sub("target");
  scenario_s s = run_scenario("confirmed_prompts", R"SH(
refused() {                                  # TEXT: typed, Return, refused
  type_text "$1"
  xdotool key Return
  dialog 'Value out of range'
  xdotool key Return
  dialog_gone 'Value out of range'
  wait_state screen "$2"
}
start_demo --screen first
click 380 231                                # "No"
wait_state screen account
type_text 1028
[ "$(state account)" = 0 ] || fail "the typed account was taken before OK"
xdotool key Escape
wait_state screen first
wait_state account 0
click 380 231
wait_state screen account
type_text 1028
xdotool key Return
wait_state screen config
wait_state account 1028
stop_demo
start_demo --screen config --account 1 --target ')SH" + target + R"SH(' --fill-bytes 10737418240
click 44 385                                 # "Fill ..." of the target
wait_state screen fill
refused abc fill
wait_state targets ')SH" + target + R"SH(|0;'
type_text 0.07
xdotool key KP_Enter
wait_state screen config
wait_state targets ')SH" + target + R"SH(|70000000;'
click 60 432                                 # "Max file size"
wait_state screen size
refused 0.01 size
refused abc size
type_text 0.5
xdotool key Return
wait_state screen config
wait_state max_bytes_per_file 500000000
click 60 432
wait_state screen size
type_text 2.5
xdotool key Escape
wait_state screen config
wait_state max_bytes_per_file 500000000
click 60 432
wait_state screen size
type_text 2.5
xdotool key Return
wait_state screen config
wait_state max_bytes_per_file 2500000000
click 60 450                                 # "RAM to use"
wait_state screen ram
refused 0.01 ram
refused 100000 ram
wait_state resume_ram 0
type_text 0.5
xdotool key Return
wait_state screen config
wait_state resume_ram 536870912
)SH");
  EXPECT_SCENARIO_OK(s);
}

// The second click of a double click on a prompt's OK lands where a
// drive's path lies beneath: it must not remove the drive. A click of its
// own still does.
TEST_F(Screens, DoubleClickOnPromptOkKeepsTheDrive) {
  std::string target = sub("target_with_a_long_folder_name_that_reaches_past_the_middle");
  scenario_s s = run_scenario("double_click_ok", R"SH(
start_demo --screen config --account 1 --target ')SH" + target + R"SH('
click 44 385                                 # "Fill ..." of the target
wait_state screen fill
hover 320 356
releases=$(state releases)
xdotool click --repeat 2 --delay 60 1        # OK, twice
wait_state screen config
await "both releases of the double click" released_after $((releases + 1))
wait_state targets ')SH" + target + R"SH(|0;'
click 320 360                                # the path on its own
wait_state targets ''
)SH");
  EXPECT_SCENARIO_OK(s);
}

// The box of everything drawn that is not white.
struct ink_box_s {
  int x0 = 0, y0 = 0, x1 = -1, y1 = -1;  // inclusive; x1 < x0 when blank
};

ink_box_s ink_box(const image_s& img) {
  ink_box_s b;
  b.x0 = img.w;
  b.y0 = img.h;
  for (int y = 0; y < img.h; y++)
    for (int x = 0; x < img.w; x++)
      if (!near(img.at(x, y), WHITE, 16)) {
        b.x0 = std::min(b.x0, x);
        b.x1 = std::max(b.x1, x);
        b.y0 = std::min(b.y0, y);
        b.y1 = std::max(b.y1, y);
      }
  return b;
}

// The first-run screen, a prompt and the summary in windows from the size
// they were designed for up to a 2560 x 1440 screen, and with GDK_SCALE=2:
// everything they draw lies inside the window, clear of its edges, and
// their content sits around the window's middle, not in its top strip.
TEST_F(Screens, ScreensAreLaidOutForTheWindowSizeAndScale) {
  std::string target = sub("target");
  struct size_s {
    int scale, w, h;  // GDK_SCALE and the window in its units
  };
  const std::vector<size_s> sizes = {{1, 640, 480}, {1, 1920, 1080}, {1, 2560, 1440},
                                     {2, 640, 480}, {2, 1280, 720}};
  const char* screens[] = {"first", "account", "fill", "summary"};
  std::string list;
  for (const size_s& z : sizes)
    list += std::to_string(z.scale) + ":" + std::to_string(z.w) + "x" + std::to_string(z.h) + " ";
  scenario_s s = run_scenario("layout_sizes", R"SH(
shots() {                                    # SCREEN SCALE: one shot per size
  for size in )SH" + list + R"SH(; do
    [ "${size%%:*}" = "$2" ] || continue
    wh=${size#*:}; w=${wh%x*}; h=${wh#*x}
    xdotool windowsize "$WID" $((w * $2)) $((h * $2))
    wait_state size "$w,$h"
    shot "$1_$2_$wh"
  done
  xdotool windowsize "$WID" $((640 * $2)) $((480 * $2))
  wait_state size 640,480
}
for scale in 1 2; do
  GDK_SCALE=$scale start_demo --screen first
  shots first $scale
  click $((380 * scale)) $((231 * scale))    # "No"
  wait_state screen account
  shots account $scale
  stop_demo
  GDK_SCALE=$scale start_demo --screen config --account 1 --target ')SH" + target + R"SH('
  click $((44 * scale)) $((385 * scale))     # "Fill ...": the widest title
  wait_state screen fill
  shots fill $scale
  stop_demo
  GDK_SCALE=$scale start_demo --account 1 --target ')SH" + target + R"SH(' --fake-run 0 --fake-seconds 6
  wait_state screen summary
  shots summary $scale
  stop_demo
done
)SH", 600, "2560x1440x24");
  EXPECT_SCENARIO_OK(s);
  for (const char* screen : screens)
    for (const size_s& z : sizes) {
      std::string name = std::string(screen) + "_" + std::to_string(z.scale) + "_" +
                         std::to_string(z.w) + "x" + std::to_string(z.h);
      image_s img = s.shot(name);
      const int W = z.w * z.scale, H = z.h * z.scale;
      ASSERT_EQ(img.w, W) << name;
      ASSERT_EQ(img.h, H) << name;
      ink_box_s b = ink_box(img);
      ASSERT_GE(b.x1, b.x0) << name << ": nothing drawn";
      const int margin = 4 * z.scale;
      EXPECT_TRUE(b.x0 >= margin && b.y0 >= margin && b.x1 < W - margin && b.y1 < H - margin)
          << name << ": drawn from (" << b.x0 << "," << b.y0 << ") to (" << b.x1 << "," << b.y1
          << ") in " << W << " x " << H;
      EXPECT_NEAR((b.x0 + b.x1) / 2.0, W / 2.0, W * 0.05) << name << ": not centred across";
      EXPECT_NEAR((b.y0 + b.y1) / 2.0, H / 2.0, H * 0.1)
          << name << ": drawn from y " << b.y0 << " to " << b.y1 << " in a window " << H << " high";
    }
}

// ---- prompt conversions -------------------------------------

TEST(PromptValues, NumbersAndBadInput) {
  struct {
    const char* text;
    double unit;
    uint64_t bytes;
  } cases[] = {
      {"10", 1e9, 10000000000ull},     {"0.05", 1e9, 50000000ull},
      {"8", 1073741824.0, 8589934592ull}, {"abc", 1e9, 0},
      {"-5", 1e9, 0},                  {"nan", 1e9, 0},
      {"inf", 1e9, 0},                 {"1e30", 1e9, 0},
      {"", 1073741824.0, 0},           {"  3.5GB", 1e9, 3500000000ull},
  };
  for (const auto& c : cases) EXPECT_EQ(prompt_gb_to_bytes(c.text, c.unit), c.bytes) << c.text;
}

// What the prompts store: the exact bytes of the number typed, or a refusal.
TEST(PromptValues, StrictSizesAndNonces) {
  struct {
    const char* text;
    double unit;
    bool ok;
    uint64_t bytes;
  } cases[] = {
      {"0.5", 1e9, true, 500000000ull},      {"2.5", 1e9, true, 2500000000ull},
      {"1.1", 1e9, true, 1100000000ull},     {" 3.5 GB ", 1e9, true, 3500000000ull},
      {"0", 1e9, true, 0},                   {"8", 1073741824.0, true, 8589934592ull},
      {"0.3", 1073741824.0, true, 322122547ull}, {"abc", 1e9, false, 0},
      {"", 1e9, false, 0},                   {"-1", 1e9, false, 0},
      {"5x", 1e9, false, 0},                 {"nan", 1e9, false, 0},
      {"inf", 1e9, false, 0},                {"1e30", 1e9, false, 0},
  };
  for (const auto& c : cases) {
    uint64_t bytes = 0;
    EXPECT_EQ(prompt_parse_size(c.text, c.unit, &bytes), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(bytes, c.bytes) << c.text;
    }
  }
  uint64_t n = 0;
  EXPECT_TRUE(prompt_parse_nonce(" 18446744073709551615 ", &n));
  EXPECT_EQ(n, 18446744073709551615ull);
  for (const char* bad : {"", "abc", "-1", "12x", "18446744073709551616"})
    EXPECT_FALSE(prompt_parse_nonce(bad, &n)) << bad;
}

TEST(PromptValues, AccountFromAddressOrId) {
  address_s a{}, b{};
  address_encode(&a, 6418289488649374107ull);
  std::string text = address_format(&a, 1);
  EXPECT_EQ(prompt_account_value(&b, text.c_str()), 6418289488649374107ull);
  EXPECT_EQ(prompt_account_value(&b, "12345"), 12345u);  // too short for the codec
  EXPECT_EQ(prompt_account_value(&b, "-12345"), 0u);
  EXPECT_EQ(prompt_account_value(&b, "hello"), 0u);
  EXPECT_EQ(prompt_account_value(&b, std::string(130, '9').c_str()), 0u);
  std::string wrong = text;
  wrong[wrong.size() - 1] = wrong[wrong.size() - 1] == 'A' ? 'B' : 'A';
  EXPECT_EQ(prompt_account_value(&b, wrong.c_str()), 0u);
}

TEST(PlanText, Sentence) {
  char text[128];
  config_plan_text(text, 1, 40960, 1);
  EXPECT_STREQ(text, "10.7 GB will be written to 1 file on 1 drive.");
  config_plan_text(text, 3, 40960, 2);
  EXPECT_STREQ(text, "10.7 GB will be written to 3 files across 2 drives.");
}

}  // namespace
