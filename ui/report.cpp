// Failures, refusals and verdicts told to the user: log line and dialog.
#include "ui/report.h"

#include <cstring>
#include <utility>

#include "platform/sys_linux.h"
#include "ui/window.h"

namespace {

// A reason is told as a sentence: a capital first letter, and a full stop,
// which strerror's words do not carry.
std::string sentence(std::string s) {
  if (s.empty()) return s;
  if (s[0] >= 'a' && s[0] <= 'z') s[0] = (char)(s[0] - 'a' + 'A');
  if (s.back() != '.' && s.back() != '!' && s.back() != '?') s += ".";
  return s;
}

}  // namespace

std::string report_reason(int err) {
  char buf[256];
  // The GNU strerror_r returns its text, which need not be in buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  return text ? text : "error " + std::to_string(err);
}

std::string report_text(const report_s& r) {
  std::string text = r.what;
  if (!r.path.empty()) text += "\n " + r.path;
  if (!r.reason.empty()) text += "\n" + sentence(r.reason);
  if (!r.kept.empty()) text += "\n\n" + r.kept;
  return text;
}

void report_log(const report_s& r) {
  std::string line = r.what;
  if (!r.path.empty()) line += " " + r.path;
  if (!r.reason.empty()) {
    // "Could not create file: /a/b: Read-only file system."
    line += (line.empty() || line.back() == ':' ? " " : ": ") + sentence(r.reason);
  }
  if (!r.kept.empty()) line += " " + r.kept;
  sys_log("%s\n", line.c_str());
}

void report_to_user(const report_s& r, const report_show_fn& show) {
  report_log(r);
  std::string text = report_text(r);
  if (show)
    show(r.title.c_str(), text.c_str());
  else
    window_message(nullptr, r.title.c_str(), "%s", text.c_str());
}

bool report_ask_user(const report_s& r, const report_ask_fn& ask) {
  report_s line = r;
  for (std::string* part : {&line.what, &line.reason, &line.kept})
    for (char& c : *part)
      if (c == '\n') c = ' ';
  report_log(line);
  return ask(r.title.c_str(), report_text(r).c_str());
}

void report_to_user_later(const report_s& r, const report_show_fn& show, std::function<void()> after) {
  report_log(r);
  std::string title = r.title;
  std::string text = report_text(r);
  ui_task_post([title, text, show, after]() {
    if (show)
      show(title.c_str(), text.c_str());
    else
      window_message(nullptr, title.c_str(), "%s", text.c_str());
    if (after) after();
  });
}
