// What the user is told of a failure: the dialog's text and the log line
// carry the program's message first, then the file and the reason in words.
#include <errno.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/sys_linux.h"
#include "ui/report.h"

TEST(Report, DialogAndLogNameTheFileAndTheReasonInWords) {
  EXPECT_EQ(report_reason(EIO), "Input/output error");
  EXPECT_EQ(report_reason(EROFS), "Read-only file system");

  struct {
    report_s r;
    std::string text, line;
  } cases[] = {
      {{"Error", "Could not create file:", "/hdd/7_0_512.plotting", report_reason(EROFS),
        "Nothing was written. Choose a folder you can write to."},
       "Could not create file:\n /hdd/7_0_512.plotting\nRead-only file system.\n\n"
       "Nothing was written. Choose a folder you can write to.",
       "Could not create file: /hdd/7_0_512.plotting: Read-only file system. Nothing was written. Choose a folder "
       "you can write to.\n"},
      {{"Sorry", "Could not add these folders:", "", "/a: it does not exist\n/b: not enough free space", ""},
       "Could not add these folders:\n/a: it does not exist\n/b: not enough free space.",
       "Could not add these folders: /a: it does not exist\n/b: not enough free space.\n"},
      {{"Error", "Could not move file:", "/ssd/7_0_512", "", ""}, "Could not move file:\n /ssd/7_0_512",
       "Could not move file: /ssd/7_0_512\n"},
      {{"Sorry", "This folder cannot be used:", "/a", "it does not exist", ""},
       "This folder cannot be used:\n /a\nIt does not exist.", "This folder cannot be used: /a: It does not exist.\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(report_text(c.r), c.text);
    testing::internal::CaptureStderr();
    report_log(c.r);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line);
  }
}

TEST(Report, LaterReportIsShownByTheUiThreadThenRunsWhatFollows) {
  std::vector<std::string> seen;
  report_s r{"Error", "Could not write file:", "/hdd/f", report_reason(EIO), "The plot file is kept."};
  testing::internal::CaptureStderr();
  std::thread([&] {
    report_to_user_later(
        r, [&](const char* title, const char* text) { seen.push_back(std::string(title) + "|" + text); },
        [&] { seen.push_back("after"); });
  }).join();
  // Logged at once, by the thread that met the failure.
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Could not write file: /hdd/f: Input/output error. The plot file is kept.\n");
  EXPECT_TRUE(seen.empty());
  ui_tasks_run();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], "Error|" + report_text(r));
  EXPECT_EQ(seen[1], "after");
}
