// The real window under a private Xvfb, driven with xdotool by
// tests/ui/xvfb_session.sh; each test starts its own server.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct session_s {
  std::string dir;
  std::vector<std::string> events;

  ~session_s() {
    if (dir.empty()) return;
    std::string rm = "rm -rf '" + dir + "'";
    if (system(rm.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir.c_str());
  }

  static std::string read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  // Runs one scenario; a private Xvfb that fails to start is retried.
  bool run(const char* scenario) {
    char tmpl[] = "/tmp/vg_xvfb_XXXXXX";
    if (!mkdtemp(tmpl)) return false;
    dir = tmpl;
    const std::string cmd = std::string("timeout 360 tests/xvfb-run.sh bash tests/ui/xvfb_session.sh ") +
                            scenario + " " + VG_WINDOW_DEMO + " " + dir + " 2>" + dir + "/run_stderr.txt";
    int rc = -1;
    for (int attempt = 0; attempt < 3; ++attempt) {
      rc = system(cmd.c_str());
      if (rc == 0 || read(dir + "/run_stderr.txt").find("Xvfb failed to start") == std::string::npos)
        break;
    }
    std::istringstream lines(read(dir + "/events.txt"));
    for (std::string line; std::getline(lines, line);) events.push_back(line);
    // Every session ends with a close through the window's close request.
    const std::string demo_err = read(dir + "/demo_stderr.txt");
    EXPECT_EQ(demo_err.find("Sanitizer"), std::string::npos) << demo_err;
    EXPECT_EQ(demo_err.find("runtime error"), std::string::npos) << demo_err;
    if (rc == 0) {
      EXPECT_EQ(count("close"), 1);
      EXPECT_EQ(count("loop ended"), 1);
    }
    if (rc != 0) {
      ADD_FAILURE() << scenario << " failed (" << rc << "): " << read(dir + "/run_stderr.txt")
                    << "\ndemo stderr: " << read(dir + "/demo_stderr.txt")
                    << "\nevents:\n" << read(dir + "/events.txt");
    }
    return rc == 0;
  }

  int count(const std::string& line) const {
    int n = 0;
    for (const std::string& e : events) n += e == line;
    return n;
  }
  // The event lines from the first "from" on that start with prefix.
  std::vector<std::string> starting(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const std::string& e : events)
      if (e.compare(0, prefix.size(), prefix) == 0) out.push_back(e);
    return out;
  }
  int geometry(const char* key) const {
    std::istringstream in(read(dir + "/geometry.txt"));
    for (std::string line; std::getline(in, line);)
      if (line.rfind(std::string(key) + "=", 0) == 0) return atoi(line.c_str() + strlen(key) + 1);
    return -1;
  }
};

TEST(WindowXvfb, ClicksWheelKeysAndEntry) {
  session_s s;
  ASSERT_TRUE(s.run("input"));
  // Left, right, middle: one click each; a double click: two. The drag off
  // the button and the disabled button run nothing.
  EXPECT_EQ(s.count("click alpha"), 5);
  EXPECT_EQ(s.count("click beta"), 0);
  // A double click reports three presses (the extra double-press event
  // counts) and two releases.
  EXPECT_EQ(s.count("mouse 0 30 30"), 3 + 3 + 1);
  EXPECT_EQ(s.count("mouse 2 30 30"), 3 + 2);
  EXPECT_EQ(s.count("mouse 2 600 400"), 1);
  EXPECT_EQ(s.starting("scroll"), (std::vector<std::string>{"scroll 0 -32", "scroll 0 32"}));
  EXPECT_EQ(s.starting("mouse 3"), (std::vector<std::string>{"mouse 3 0 -32", "mouse 3 0 32"}));
  // Navigation keys, the keypad's Down, "ab c" (space 7), F12, 18 letters,
  // Tab, F12, and F10 that closes.
  std::vector<std::string> keys = {"key 0", "key 1", "key 2", "key 3", "key 4", "key 5",
                                   "key 6", "key 9", "key -1", "key -1", "key -1", "key 7",
                                   "key -1", "key -1"};
  keys.insert(keys.end(), 18, "key -1");
  keys.insert(keys.end(), {"key 8", "key -1", "key -1"});
  EXPECT_EQ(s.starting("key"), keys);
  // The typed keys also reached the focused entry (moved into place after
  // the first two were cleared), whose 16 characters leave the 16-byte
  // buffer 15 and its terminating zero.
  EXPECT_EQ(s.starting("entry"),
            (std::vector<std::string>{"entry index 0", "entry [ab c]", "entry [ab cdefghijklmn]"}));
}

TEST(WindowXvfb, NeverSmallerThanItsSizeRequest) {
  session_s s;
  ASSERT_TRUE(s.run("size"));
  const std::string hints = session_s::read(s.dir + "/hints.txt");
  if (hints.find("xprop missing") != std::string::npos) {
    fprintf(stderr, "note: xprop (x11-utils) is not installed; size hints not checked\n");
  } else {
    EXPECT_NE(hints.find("minimum size: 640 by 480"), std::string::npos) << hints;
  }
  const std::vector<std::string> sizes = s.starting("size");
  ASSERT_EQ(sizes.size(), 2u);
  EXPECT_EQ(sizes[0], "size 640 480");  // the request for 300 x 200 was not granted
  EXPECT_EQ(sizes[1], "size 800 600");  // enlarging works
  for (const std::string& r : s.starting("resize")) {
    int w = 0, h = 0;
    ASSERT_EQ(sscanf(r.c_str(), "resize %d %d", &w, &h), 2);
    EXPECT_GE(w, 640);
    EXPECT_GE(h, 480);
  }
}

TEST(WindowXvfb, DialogsClosedWithTheKeyboardAndAskedFromAThread) {
  session_s s;
  ASSERT_TRUE(s.run("dialogs"));
  EXPECT_EQ(s.count("message closed"), 1);
  // The worker thread's question, shown on the main thread: Yes, then Escape.
  EXPECT_EQ(s.starting("answer"), (std::vector<std::string>{"answer 1", "answer 0"}));
}

// The drop lands at its drawing-area pixel below a client-side title bar;
// file URIs arrive as decoded file names, anything else is left out.
TEST(WindowXvfb, DroppedUrisReachTheDropRegionAsFileNames) {
  session_s s;
  ASSERT_TRUE(s.run("drag"));
  EXPECT_EQ(s.starting("drop"),
            std::vector<std::string>{"drop at 105 205: 2 /tmp/my plots/1_0_256 /tmp/caf\xc3\xa9"});
  EXPECT_NE(session_s::read(s.dir + "/log.txt").find("Dropped item is not a local file, ignored: http://host/x"),
            std::string::npos);
  EXPECT_EQ(s.count("delete asked"), 0);
}

// A drag offered only as a move is refused: a drop here never asks the
// source to delete what it dragged.
TEST(WindowXvfb, AMoveOnlyDragIsRefusedAndDeletesNothing) {
  session_s s;
  ASSERT_TRUE(s.run("drag_move"));
  EXPECT_EQ(s.count("drag ended"), 1);
  EXPECT_EQ(s.starting("drop"), std::vector<std::string>{});
  EXPECT_EQ(s.count("delete asked"), 0);
}

// Pointer positions are drawing-area pixels: below a client-side title bar
// a click still hits the button drawn there, and over a text entry the
// position is the area's, not the entry's.
TEST(WindowXvfb, PointerPositionsAreDrawingAreaPixels) {
  for (const char* scenario : {"pointer", "headerbar"}) {
    session_s s;
    ASSERT_TRUE(s.run(scenario));
    EXPECT_EQ(s.count("click alpha"), 1) << scenario;
    EXPECT_EQ(s.count("mouse 0 30 30"), 1) << scenario;
    EXPECT_EQ(s.count("mouse 2 30 30"), 1) << scenario;
    EXPECT_EQ(s.starting("pointer"), std::vector<std::string>{"pointer 100 335"}) << scenario;
  }
}

TEST(WindowXvfb, ChooserCopiesOnlyAWholePath) {
  session_s s;
  ASSERT_TRUE(s.run("chooser"));
  const std::string path = s.dir + "/1_0_256";
  // Accepted with room; accepted into 8 bytes (refused, buffer kept); cancelled.
  EXPECT_EQ(s.starting("open"),
            (std::vector<std::string>{"open 1 " + path, "open 0 " + path, "open 0 " + path}));
  EXPECT_NE(session_s::read(s.dir + "/log.txt").find("The chosen path is too long"),
            std::string::npos);
}

// The folder chooser opens in the home folder, then where the last choice
// was made, never on "Recent": a name typed there and Return choose it.
TEST(WindowXvfb, FolderChooserTakesATypedPathWithReturn) {
  session_s s;
  ASSERT_TRUE(s.run("folder"));
  EXPECT_EQ(s.starting("folder"), (std::vector<std::string>{"folder 1 " + s.dir + "/home/plots",
                                                            "folder 1 " + s.dir + "/disk/a",
                                                            "folder 1 " + s.dir + "/disk/b"}));
}

// A binary PPM as ImageMagick writes it.
struct ppm_s {
  int width = 0, height = 0;
  std::string data;
  unsigned rgb(int x, int y) const {
    const unsigned char* p = (const unsigned char*)data.data() + ((size_t)y * width + x) * 3;
    return (unsigned)p[0] << 16 | (unsigned)p[1] << 8 | p[2];
  }
};

bool ppm_read(const std::string& bytes, ppm_s* out) {
  std::istringstream in(bytes);
  std::string magic;
  int maxval = 0;
  in >> magic >> out->width >> out->height >> maxval;
  in.get();
  if (magic != "P6" || maxval != 255 || !in) return false;
  out->data = bytes.substr((size_t)in.tellg());
  return out->data.size() >= (size_t)out->width * out->height * 3;
}

TEST(WindowXvfb, ScreenshotShowsTheButtonColours) {
  session_s s;
  ASSERT_TRUE(s.run("screenshot"));
  ppm_s shot;
  ASSERT_TRUE(ppm_read(session_s::read(s.dir + "/shot.ppm"), &shot));
  const int x = s.geometry("X"), y = s.geometry("Y");
  ASSERT_GE(x, 0);
  ASSERT_GE(y, 0);
  struct { int px, py; unsigned rgb; const char* what; } cases[] = {
      {25, 25, 0xe5f1fb, "hovered button"},
      {165, 25, 0xcccccc, "disabled button"},
      {305, 25, 0xe1e1e1, "enabled button"},
      {400, 200, 0x336699, "filled rectangle"},
      {630, 470, 0xffffff, "cleared background"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(shot.rgb(x + c.px, y + c.py), c.rgb) << c.what;
}

}  // namespace
