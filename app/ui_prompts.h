// The first-run question and the one-line value prompts (account, start
// nonce, file size, RAM, drive fill). Each prompt is a full screen with one
// text entry over the drawing area. A setting changes only when the prompt
// is confirmed (its button, or Return) with a value in range; Escape leaves
// it, and confirming the text a prompt opened with changes nothing.
#pragma once

#include <string>

#include <cstdint>

#include "app/address.h"

enum { PROMPT_TEXT_MAX = 128 };

extern char g_account_text[PROMPT_TEXT_MAX];
extern char g_nonce_text[PROMPT_TEXT_MAX];
extern char g_file_size_text[PROMPT_TEXT_MAX];  // GB of 10^9 bytes
extern char g_ram_text[PROMPT_TEXT_MAX];        // GiB of 2^30 bytes
extern char g_fill_text[PROMPT_TEXT_MAX];       // GB of 10^9 bytes
extern address_s g_address;

// Opens a prompt: an entry editing text (128 characters at most), the
// screen's paint callback, and a resize callback that keeps it centred. The
// leading int is not used.
void prompt__setup(int unused, char* text, void (*paint)(void*));
inline void prompt__setup(char* text, void (*paint)(void*)) { prompt__setup(0, text, paint); }
// Closes the prompt's entry and returns to the configuration screen,
// replanning when replan is set.
void back_to_config(bool replan);

// File chooser for a plot file whose name gives the account id (and the
// next start nonce when automatic start is off); true when one was taken.
bool choose_plot_file();
// The "RAM to use" label of the configuration screen.
void ram_label_click();

// Paint callbacks (user unused).
void ui_prompt_latest_plot_paint(void* user);
void start_get_account_paint(void* user);
void start_get_nonce_paint(void* user);
void start_get_size_paint(void* user);
void start_get_ram_paint(void* user);
void drive_fill_paint(void* user);

// Text to number conversions of the prompts. Text that is not a number,
// negative or non-finite values give 0 (never garbage).
uint64_t prompt_account_value(address_s* a, const char* text);
// Why the account prompt refuses text, in words; "" when it gives an
// account or holds nothing yet.
std::string prompt_account_refusal(const char* text);
uint64_t prompt_gb_to_bytes(const char* text, double unit);
double prompt_number(const char* text);
// Strict forms for what a prompt stores: false for text that is not one
// number (a unit of GB or GiB may follow), negative, or beyond 64 bits. The
// bytes are rounded to the nearest, so 0.5 GB is 500000000 exactly.
bool prompt_parse_size(const char* text, double unit, uint64_t* bytes);
// The size prompt's hint: the size and the nonces a file of it holds.
void prompt_size_hint(uint64_t bytes, char* out, size_t n);
bool prompt_parse_nonce(const char* text, uint64_t* nonce);
