// Refusals on the configuration screen are told once each: one log line and
// one dialog, both with the file concerned.
#include <string>
#include <vector>

#include "app/drives.h"
#include "app/settings.h"
#include "app/ui_config.h"
#include "appdata_fixture.h"

using namespace appdata_test;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

class refusals_test : public app_fixture {};

size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

void drop(const std::string& path) {
  std::vector<char> copy(path.begin(), path.end());
  copy.push_back('\0');
  char* paths[] = {copy.data()};
  files_dropped(1, paths);
}

}  // namespace

TEST_F(refusals_test, each_refusal_is_one_log_line_and_one_dialog) {
  g_account = 5;
  const std::string folder = sub("plots");
  const std::string short_file = folder + "/5_0_256.plotting";
  make_file(short_file, 4096);
  const std::string long_path = "/" + std::string(300, 'x');
  struct {
    const char* what;
    std::function<void()> act;
    std::string dialog;  // the dialog's start: "title: text"
    std::string path;    // named in the log line and the dialog
  } cases[] = {
      {"dropped file with a wrong name", [&] { drop(folder + "/plot.plotting"); },
       "Error: Incorrect filename format for plotfile.", folder + "/plot.plotting"},
      {"dropped file of another account", [&] { drop(folder + "/9_0_256.plotting"); },
       "Error: Can't resume plot for a different account id.", folder + "/9_0_256.plotting"},
      {"dropped PoC1 file", [&] { drop(folder + "/5_0_256_256.plotting"); },
       "Error: Can't resume PoC1 format plots.", folder + "/5_0_256_256.plotting"},
      {"dropped file shorter than its name", [&] { drop(short_file); }, "Error: Can't resume this file:",
       short_file},
      {"folder path too long", [&] { drive_add(1, long_path.c_str(), 0); },
       "Sorry: This folder path is too long", long_path},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    messages().clear();
    CaptureStderr();
    c.act();
    std::string log = GetCapturedStderr();
    ASSERT_EQ(messages().size(), 1u);
    const std::string& shown = messages()[0];
    EXPECT_EQ(shown.rfind(c.dialog, 0), 0u) << shown;
    EXPECT_NE(shown.find(c.path), std::string::npos) << shown;
    // The dialog's first words, as the log line starts with them.
    const std::string words = c.dialog.substr(c.dialog.find(": ") + 2);
    EXPECT_EQ(count_of(log, words), 1u) << log;
    size_t line = log.find(words);
    if (line != std::string::npos) {
      std::string told = log.substr(line, log.find('\n', line) - line);
      EXPECT_NE(told.find(c.path), std::string::npos) << told;
    }
  }
}
