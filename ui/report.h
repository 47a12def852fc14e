// The one way a failure, a refusal or a verdict reaches the user: a log line
// with the file and the reason in words, and a message dialog that says what
// happened, why, what was kept and what the user can do. Every subsystem
// tells the user through here, so that no failure is a bare number in the
// log or a dialog without its cause.
#pragma once

#include <functional>
#include <string>

struct report_s {
  std::string title = "Error";  // the dialog's title
  std::string what;             // first words: the program's message ("Could not create file:")
  std::string path;             // the file or folder concerned; "" when none
  std::string reason;           // why, in words (report_reason for an errno); "" when unknown
  std::string kept;             // what was kept and what the user can do; "" when nothing to say
};

// The system's words for an error number ("Input/output error").
std::string report_reason(int err);

// The dialog's text: what, the path on its own line (indented by one blank,
// as the program's file messages always were), the reason as a sentence,
// then what was kept.
std::string report_text(const report_s& r);

// Writes the report's log line: "<what> <path>: <reason>. <kept>".
void report_log(const report_s& r);

// How a report's dialog is shown: title and text. Empty: window_message
// without a parent window, on the calling thread (the UI thread).
typedef std::function<void(const char* title, const char* text)> report_show_fn;

// Logs the report and shows its dialog through show (see above); returns
// when the dialog is closed. UI thread.
void report_to_user(const report_s& r, const report_show_fn& show = report_show_fn());

// A failure that asks the user how to go on (yes or no): logs the report
// (one line: line breaks of its text become blanks), then asks with its
// text through ask and returns the answer.
typedef std::function<bool(const char* title, const char* text)> report_ask_fn;
bool report_ask_user(const report_s& r, const report_ask_fn& ask);

// From any thread: logs the report now and shows its dialog from the UI
// thread's task queue, without waiting; then (on the UI thread, once the
// dialog is closed) runs after, when given.
void report_to_user_later(const report_s& r, const report_show_fn& show = report_show_fn(),
                          std::function<void()> after = std::function<void()>());
