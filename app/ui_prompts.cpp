// The first-run question and the value prompts. Each prompt parses its text
// on every paint, so what takes effect is the value seen at the last paint
// before the button press.
#include "app/ui_prompts.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <strings.h>

#include "app/drives.h"
#include "app/settings.h"
#include "app/ui_config.h"
#include "engine/plot_file.h"
#include "engine/plots.h"
#include "platform/sys_linux.h"
#include "platform/sys_tasks.h"
#include "platform/util.h"
#include "ui/draw.h"
#include "ui/widgets.h"
#include "ui/window.h"

char g_account_text[PROMPT_TEXT_MAX];
char g_nonce_text[PROMPT_TEXT_MAX];
char g_file_size_text[PROMPT_TEXT_MAX];
char g_ram_text[PROMPT_TEXT_MAX];
char g_fill_text[PROMPT_TEXT_MAX];
address_s g_address = [] {
  address_s a{};
  address_encode(&a, 0);
  return a;
}();

namespace {

// The text a prompt opened with: confirming it unedited changes nothing.
std::string g_prompt_initial;

bool prompt_edited(const char* text) { return g_prompt_initial != text; }

// What Return and Escape do on the prompt shown: its paint names them, so
// that Return confirms exactly as the prompt's own button would. The serial
// tells a key queued for a prompt that has closed since.
std::function<void()> g_prompt_confirm;
std::function<void()> g_prompt_cancel;
unsigned g_prompt_serial = 0;

const char* FONT = "Microsoft Sans Serif";
const unsigned GREY = 0xff707070;
const unsigned REFUSED = 0xffc62828;  // why the text gives no account
const unsigned BLACK = 0xff000000;
const int ENTRY_W = 440;
const int ENTRY_H = 30;
// Shown as the account prompt's example, as an address and as its id.
const uint64_t EXAMPLE_ACCOUNT = 10282355196851764065ull;
const double GB = 1e9;
const double GIB = 1073741824.0;

// The screens here are laid out for a 640 x 480 window; a larger one shows
// the same layout in its middle.
const int DESIGN_H = 480;
// Where the layout starts in a window of the given height.
int layout_top(int height) { return std::max(0, (height - DESIGN_H) / 2); }
// The title stands this far above the entry (150 in the design window).
const int TITLE_ABOVE_ENTRY = 75;
// Least room left between a centred text and the window's sides.
const int SIDE_MARGIN = 8;

int entry_x0(int width) { return (width - ENTRY_W) / 2; }
int entry_y0(int height) { return (height - ENTRY_H) / 2; }

// A centred line in the given size, made smaller when it would not fit
// between the side margins: the same text comes out wider with GDK_SCALE=2
// (glyphs fitted to the finer pixels) and in a substitute for the layout's
// face, and a line cut at both sides loses its first and last words.
void text_centred(window_s* w, float points, const char* text, float y) {
  int room = window_width(w) - 2 * SIDE_MARGIN;
  draw_set_font(w, FONT, points);
  float tw = draw_text_width(w, text);
  // Glyph widths do not follow the size exactly; a few tries settle it.
  for (int i = 0; i < 4 && tw > room && tw > 0; i++) {
    points *= room / tw;
    draw_set_font(w, FONT, points);
    tw = draw_text_width(w, text);
  }
  draw_text(w, text, (float)((window_width(w) - (int)tw) / 2), y);
}

// White background, grey title, the line under the entry; returns y0.
int prompt_frame(window_s* w, const char* title) {
  int W = window_width(w), H = window_height(w);
  int x0 = entry_x0(W), y0 = entry_y0(H);
  draw_clear(w, 0xffffffff);
  draw_set_fill(w, GREY);
  text_centred(w, 22, title, (float)(y0 - TITLE_ABOVE_ENTRY));
  draw_set_stroke(w, GREY);
  draw_line(w, (float)x0, (float)(y0 + 34), (float)(x0 + ENTRY_W), (float)(y0 + 34));
  return y0;
}

// The prompt's confirming button; Return runs the same action, and only
// while the button is enabled.
void ok_button(window_s* w, int y0, bool enabled, std::function<void()> action) {
  g_prompt_confirm = enabled ? action : std::function<void()>();
  paint_button(w, "OK", enabled, (window_width(w) - 100) / 2, y0 + 114, 100, 34, 12,
               std::move(action));
}

// The key is acted on from the task queue, outside the key's own handling:
// the action removes the entry that is about to receive the key.
void prompt_key(void*, int key) {
  std::function<void()>* action = key == WINDOW_KEY_RETURN   ? &g_prompt_confirm
                                  : key == WINDOW_KEY_ESCAPE ? &g_prompt_cancel
                                                             : nullptr;
  if (!action || !*action) return;
  unsigned serial = g_prompt_serial;
  std::function<void()> run = *action;
  ui_task_post([serial, run] {
    if (serial == g_prompt_serial) run();
  });
}

void close_prompt() {
  g_prompt_serial++;
  g_prompt_confirm = nullptr;
  g_prompt_cancel = nullptr;
  window_clear_entries(g_window);
  window_set_key_callback(g_window, nullptr);
  window_set_resize_callback(g_window, std::function<void(int, int)>());
}

// Skips leading blanks; negative numbers are refused rather than wrapped.
bool starts_negative(const char* text) {
  while (*text == ' ' || *text == '\t') text++;
  return *text == '-';
}

// strtoull that gives 0 for negative, overflowing or non-numeric text.
uint64_t parse_u64(const char* text) {
  if (starts_negative(text)) return 0;
  errno = 0;
  unsigned long long v = strtoull(text, nullptr, 10);
  if (errno == ERANGE) return 0;
  return v;
}

void refuse(const std::string& text) {
  report_s r;
  r.title = "Value out of range";
  r.what = text;
  app_report(r);
}

}  // namespace

double prompt_number(const char* text) {
  double v = strtod(text, nullptr);
  if (!std::isfinite(v) || v < 0) return 0;
  return v;
}

bool prompt_parse_size(const char* text, double unit, uint64_t* bytes) {
  const char* p = text;
  while (*p == ' ' || *p == '\t') p++;
  if (*p == '-' || *p == '+') return false;
  char* end = nullptr;
  double v = strtod(p, &end);
  if (end == p || !std::isfinite(v) || v < 0) return false;
  // The prompt's own unit may follow the number.
  while (*end == ' ' || *end == '\t') end++;
  const char* units[] = {"GiB", "GB", "G", ""};
  bool known = false;
  for (const char* u : units) {
    size_t n = strlen(u);
    if (strncasecmp(end, u, n) != 0) continue;
    const char* rest = end + n;
    while (*rest == ' ' || *rest == '\t') rest++;
    if (*rest == '\0') {
      known = true;
      break;
    }
  }
  if (!known) return false;
  double b = std::round(v * unit);
  if (!(b < 18446744073709551616.0)) return false;
  *bytes = (uint64_t)b;
  return true;
}

bool prompt_parse_nonce(const char* text, uint64_t* nonce) {
  const char* p = text;
  while (*p == ' ' || *p == '\t') p++;
  size_t digits = strspn(p, "0123456789");
  if (digits == 0 || p[digits + strspn(p + digits, " \t")] != '\0') return false;
  errno = 0;
  unsigned long long v = strtoull(p, nullptr, 10);
  if (errno == ERANGE) return false;
  *nonce = v;
  return true;
}

uint64_t prompt_gb_to_bytes(const char* text, double unit) {
  double v = prompt_number(text) * unit;
  // Anything a 64-bit byte count cannot hold counts like text that is not a
  // number: 0, the prompts' "no cap" / "automatic".
  if (!std::isfinite(v) || v >= 18446744073709551616.0) return 0;
  return (uint64_t)v;
}

// Only a text of digits alone may be read as a plain number: anything with
// letters or dashes is an address, and a mistyped address must not become
// the number of its first group.
uint64_t prompt_account_value(address_s* a, const char* text) {
  if (address_parse(a, text)) return address_to_id(a);
  const char* p = text;
  while (*p == ' ' || *p == '\t') p++;
  size_t digits = strspn(p, "0123456789");
  if (digits == 0 || p[digits + strspn(p + digits, " \t")] != '\0') return 0;
  return parse_u64(p);
}

std::string prompt_account_refusal(const char* input) {
  address_s a;
  if (prompt_account_value(&a, input) != 0) return "";
  std::string text = input;
  const char* blanks = " \t\r\n";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return "";
  text = text.substr(first, text.find_last_not_of(blanks) - first + 1);
  const bool prefixed = strncasecmp(text.c_str(), "BURST-", 6) == 0;
  const std::string rest = prefixed ? text.substr(6) : text;
  const bool number = !rest.empty() && rest.find_first_not_of("0123456789 \t") == std::string::npos;
  if (number && prefixed) return "\"BURST-\" begins an address of 17 characters; an account id is typed as its digits alone";
  if (number) {
    if (rest.find_first_of(" \t") != std::string::npos) return "an account id has no blanks between its digits";
    if (rest.find_first_not_of('0') == std::string::npos) return "0 is no account id";
    return "the number is larger than any account id (18446744073709551615 at most)";
  }
  if (rest.size() > 1 && rest[0] == '-' && rest.find_first_not_of("0123456789", 1) == std::string::npos)
    return "an account id is not negative";
  // An address: the characters that look like its symbols but are none,
  // then the count of symbols, then the check.
  std::string unused;
  int symbols = 0;
  for (char c : rest) {
    char up = (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c;
    if (up == '\0') continue;
    if (strchr("01IO", up)) {
      if (unused.find(up) == std::string::npos) unused += up;
    } else if (strchr(address_alphabet, up)) {
      symbols++;
    }
  }
  if (!unused.empty()) {
    std::string list;
    for (size_t i = 0; i < unused.size(); i++) {
      if (i > 0) list += i + 1 == unused.size() ? " and " : ", ";
      list += unused[i];
    }
    return list + (unused.size() == 1 ? " is" : " are") +
           " not used in addresses (they use 2 to 9 and A to Z but I and O)";
  }
  if (symbols != 17)
    return "an address has 17 characters after \"BURST-\" (dashes not counted); this one has " +
           std::to_string(symbols);
  if (address_parse(&a, ("BURST-" + rest).c_str())) return "it is the address of 0, which is no account id";
  if (!address_check(&a)) return "it is mistyped (its check characters do not match the others)";
  return "it stands for a number beyond 64 bits, which no account has";
}

void prompt__setup(int, char* text, void (*paint)(void*)) {
  g_prompt_serial++;
  g_prompt_initial = text;
  g_prompt_confirm = nullptr;
  // Escape leaves a prompt as it found things; the account prompt, opened
  // before there is a configuration to go back to, sets its own.
  g_prompt_cancel = [] { back_to_config(false); };
  int W = window_width(g_window), H = window_height(g_window);
  int index = window_add_entry(g_window, entry_x0(W), entry_y0(H), ENTRY_W, ENTRY_H,
                               PROMPT_TEXT_MAX, text);
  window_set_paint(g_window, paint);
  window_set_key_callback(g_window, prompt_key);
  window_redraw(g_window);
  window_set_resize_callback(g_window, [index](int width, int height) {
    window_move_entry(g_window, index, entry_x0(width), entry_y0(height), ENTRY_W, ENTRY_H);
  });
}

void back_to_config(bool replan) {
  close_prompt();
  window_set_paint(g_window, config_paint);
  if (replan) drive_plan();
  window_redraw(g_window);
}

bool choose_plot_file() {
  const char* title = g_auto_start_nonce
                          ? "Select any plot file. Your account id will be read from it."
                          : "Select your latest plot file. Account id and starting nonce will "
                            "be determined from this.";
  char path[260] = {};
  if (!window_open_file(g_window, title, sizeof path, path)) return false;
  path[sizeof path - 1] = 0;
  uint64_t account = 0, start = 0, nonces = 0, stagger = 0;
  if (!plot_name_parse(path, &account, &start, &nonces, &stagger)) {
    report_s r;
    r.what = "Incorrect filename format for plotfile.";
    r.path = path;
    app_report(r);
    return false;
  }
  if (!drive_plan_may_replace()) return false;
  char folder[260];
  path_dirname(sizeof folder, folder, path);
  plots_folder_add(g_plots, folder);
  g_start_nonce = g_auto_start_nonce ? 0 : start + nonces;
  g_account = account;
  back_to_config(true);
  return true;
}

void ui_prompt_latest_plot_paint(void*) {
  window_s* w = g_window;
  int W = window_width(w), top = layout_top(window_height(w));
  draw_clear(w, 0xffffffff);
  draw_set_fill(w, GREY);
  text_centred(w, 22, "Do you have existing plots?", (float)(top + 150));
  int x = (W - 220) / 2;
  paint_button(w, "Yes", true, x, top + 214, 100, 34, 12, [] { choose_plot_file(); });
  paint_button(w, "No", true, x + 120, top + 214, 100, 34, 12, [] {
    prompt__setup(g_account_text, start_get_account_paint);
    // Without an account there is no configuration to return to.
    g_prompt_cancel = [] {
      if (g_account != 0) return back_to_config(false);
      close_prompt();
      window_set_paint(g_window, ui_prompt_latest_plot_paint);
      window_redraw(g_window);
    };
  });
  draw_set_fill(w, BLACK);
  text_centred(w, 10,
               "Pointing Veldgrain to one of your plots will allow it to determine your "
               "account id automatically.",
               (float)(top + 314));
}

void start_get_account_paint(void*) {
  window_s* w = g_window;
  int y0 = prompt_frame(w, "Please enter your address or account id");
  address_s example{};
  address_encode(&example, EXAMPLE_ACCOUNT);
  char line[128];
  std::string address = address_format(&example, 1);
  snprintf(line, sizeof line, "Example: %s or %s", address.c_str(), address_id_text(&example));
  draw_set_fill(w, GREY);
  text_centred(w, 10, line, (float)(y0 + 49));
  // The account changes only on OK: what is typed is never saved unconfirmed.
  uint64_t typed = prompt_account_value(&g_address, g_account_text);
  std::function<void()> ok = [] {
    uint64_t account = prompt_account_value(&g_address, g_account_text);
    if (account == 0) return;
    g_account = account;
    back_to_config(true);
  };
  ok_button(w, y0, typed != 0, ok);
  // A greyed OK says why under the entry, and Return tells it in a dialog.
  std::string why = prompt_account_refusal(g_account_text);
  if (why.empty()) return;
  draw_set_fill(w, REFUSED);
  text_centred(w, 10, ("Not an account: " + why).c_str(), (float)(y0 + 76));
  g_prompt_confirm = [ok] {
    // The text may have changed since this paint.
    if (prompt_account_value(&g_address, g_account_text) != 0) return ok();
    report_s r;
    r.title = "Not an account";
    r.what = "This is neither an address nor an account id:";
    r.path = g_account_text;
    r.reason = prompt_account_refusal(g_account_text);
    if (!r.reason.empty()) app_report(r);
  };
}

void start_get_nonce_paint(void*) {
  window_s* w = g_window;
  int y0 = prompt_frame(w, "Enter a new starting nonce");
  int x = (window_width(w) - 450) / 2;
  int y = y0 + 114;
  paint_button(w, "Use Auto mode", true, x, y, 140, 34, 12, [] {
    if (g_auto_start_nonce || !drive_plan_may_replace()) return back_to_config(false);
    g_start_nonce = 0;
    g_auto_start_nonce = true;
    back_to_config(true);
  });
  paint_button(w, "Choose from file", true, x + 155, y, 140, 34, 12, [] {
    // Manual only once a file gave the start: a cancelled choice keeps the
    // mode the user had.
    bool was_auto = g_auto_start_nonce;
    g_auto_start_nonce = false;
    if (!choose_plot_file()) g_auto_start_nonce = was_auto;
  });
  std::function<void()> done = [] {
    if (!prompt_edited(g_nonce_text)) return back_to_config(false);
    uint64_t nonce = 0;
    if (!prompt_parse_nonce(g_nonce_text, &nonce))
      return refuse("The starting nonce must be a whole number from 0 to 18446744073709551615.");
    if (!drive_plan_may_replace()) return back_to_config(false);
    g_start_nonce = nonce;
    g_auto_start_nonce = false;
    back_to_config(true);
  };
  g_prompt_confirm = done;
  paint_button(w, "Done", true, x + 310, y, 140, 34, 12, done);
}

void prompt_size_hint(uint64_t bytes, char* out, size_t n) {
  // A plot file holds whole sector units of nonces: what a file of this
  // size gets.
  const uint64_t unit = SETTINGS_MIN_FILE_BYTES / PLOT_NONCE_BYTES;
  uint64_t nonces = bytes / PLOT_NONCE_BYTES;
  snprintf(out, n, "%s = %llu nonces", format_size(bytes, false, ""), (unsigned long long)(nonces - nonces % unit));
}

void start_get_size_paint(void*) {
  window_s* w = g_window;
  int y0 = prompt_frame(w, "Enter new max file size in GB");
  uint64_t typed = 0;
  prompt_parse_size(g_file_size_text, GB, &typed);
  char line[128];
  prompt_size_hint(typed, line, sizeof line);
  draw_set_fill(w, GREY);
  text_centred(w, 12, line, (float)(y0 + 42));
  // The text offered is the plan's largest file, not a cap: only an edit
  // sets one.
  ok_button(w, y0, true, [] {
    if (!prompt_edited(g_file_size_text)) return back_to_config(false);
    uint64_t bytes = 0;
    bool parsed = prompt_parse_size(g_file_size_text, GB, &bytes);
    std::string why = settings_file_size_fault(parsed, bytes);
    if (!why.empty()) return refuse(why);
    if (!drive_plan_may_replace()) return back_to_config(false);
    g_max_bytes_per_file = bytes;
    back_to_config(true);
  });
}

void ram_label_click() {
  uint64_t v = g_resume_ram;
  if (v == 0) v = sys_memory(nullptr) * 3 / 4;
  snprintf(g_ram_text, sizeof g_ram_text, "%0.1f", (double)v / 1073741824.0);
  prompt__setup(g_ram_text, start_get_ram_paint);
}

void start_get_ram_paint(void*) {
  window_s* w = g_window;
  int y0 = prompt_frame(w, "Enter new max RAM size to use in GiB");
  uint64_t total = 0;
  uint64_t avail = sys_memory(&total);
  char line[256];
  snprintf(line, sizeof line, "More RAM = Faster write speed. %s free of %s",
           format_size(avail, true, ""), format_size(total, true, ""));
  draw_set_fill(w, GREY);
  text_centred(w, 10, line, (float)(y0 + 49));
  // The plan is kept: a job list restored for resume survives a RAM change.
  // The text offered may be the automatic amount, which only an edit fixes.
  ok_button(w, y0, true, [] {
    if (!prompt_edited(g_ram_text)) return back_to_config(false);
    uint64_t bytes = 0;
    bool parsed = prompt_parse_size(g_ram_text, GIB, &bytes);
    std::string why = settings_ram_fault(parsed, bytes);
    if (!why.empty()) return refuse(why);
    g_resume_ram = bytes;
    back_to_config(false);
  });
}

void drive_fill_paint(void*) {
  window_s* w = g_window;
  int y0 = prompt_frame(w, "How many GB should be filled on this drive?");
  char line[64] = "";
  if (g_fill_drive_index >= 0 && (size_t)g_fill_drive_index < g_drives.size()) {
    const drive_s& d = g_drives[g_fill_drive_index];
    snprintf(line, sizeof line, "%s available of %s total", format_size(d.free_bytes, false, ""),
             format_size(d.total_bytes, false, ""));
  }
  draw_set_fill(w, GREY);
  text_centred(w, 12, line, (float)(y0 + 42));
  ok_button(w, y0, true, [] {
    if (!prompt_edited(g_fill_text)) return back_to_config(false);
    uint64_t bytes = 0;
    if (!prompt_parse_size(g_fill_text, GB, &bytes))
      return refuse("The amount to fill must be a number of GB, 0 or more (0 fills the whole drive).");
    if (!drive_plan_may_replace()) return back_to_config(false);
    if (g_pending_fill_action) g_pending_fill_action(bytes);
    back_to_config(true);
  });
}
