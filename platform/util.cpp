// Plot-file names, size and duration texts, bounded copies, paths, hex.
#include "platform/util.h"

#include <stdio.h>
#include <string.h>

#include "platform/sys_linux.h"

// ---- Plot-file names ------------------------------------------------------

static const char* base_name(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}

static const char k_unfinished_suffix[] = ".plotting";

// One plain decimal field of 1 to 20 digits that fits 64 bits; *text is moved
// past it.
static bool parse_field(const char** text, uint64_t* out) {
  const char* p = *text;
  uint64_t v = 0;
  int digits = 0;
  for (; *p >= '0' && *p <= '9'; p++, digits++) {
    uint64_t d = (uint64_t)(*p - '0');
    if (v > (UINT64_MAX - d) / 10) return false;
    v = v * 10 + d;
  }
  if (digits == 0) return false;
  *text = p;
  *out = v;
  return true;
}

// The whole base name must be the numbers with '_' between them, then
// nothing or the unfinished suffix: any other text (a date-named log, a
// sign, a blank, a temporary suffix) makes the file no plot.
bool plot_name_parse(const char* path, uint64_t* account, uint64_t* start, uint64_t* nonces, uint64_t* stagger) {
  const char* p = base_name(path);
  uint64_t v[4] = {0, 0, 0, 0};
  int fields = 0;
  for (;;) {
    if (!parse_field(&p, &v[fields])) return false;
    fields++;
    if (*p != '_' || fields == 4) break;
    p++;
  }
  if (fields < 3) return false;
  if (*p != '\0' && strcmp(p, k_unfinished_suffix) != 0) return false;
  *account = v[0], *start = v[1], *nonces = v[2], *stagger = v[3];
  return true;
}

bool is_plot_name(const char* path) {
  uint64_t a, s, n, g;
  return plot_name_parse(path, &a, &s, &n, &g);
}

bool plot_name_is_unfinished(const char* path) {
  size_t len = strlen(path), suffix = sizeof k_unfinished_suffix - 1;
  return is_plot_name(path) && len > suffix && strcmp(path + len - suffix, k_unfinished_suffix) == 0;
}

// ---- Size, duration and number texts --------------------------------------

int format_size_to(int size, char* buf, uint64_t bytes, bool binary, const char* suffix) {
  static const char* const decimal_names[4] = {"KB", "MB", "GB", "TB"};
  static const char* const binary_names[4] = {"KiB", "MiB", "GiB", "TiB"};
  const uint64_t base = binary ? 1024 : 1000;
  uint64_t unit = base;
  int index = 0;
  // A unit is used from three quarters of it upwards.
  while (index < 3 && bytes >= unit * base / 4 * 3) {
    unit *= base;
    index++;
  }
  const char* name = binary ? binary_names[index] : decimal_names[index];
  double value = (double)bytes / (double)unit;
  if (size < 1) return snprintf(nullptr, 0, "%0.1f %s%s", value, name, suffix);
  return snprintf(buf, (size_t)size, "%0.1f %s%s", value, name, suffix);
}

const char* format_size(uint64_t bytes, bool binary, const char* suffix) {
  static thread_local char buffers[3][64];
  static thread_local int next;
  next = (next + 1) % 3;
  format_size_to(sizeof buffers[next], buffers[next], bytes, binary, suffix);
  return buffers[next];
}

static const char* plural(unsigned long long count) { return count == 1 ? "" : "s"; }

const char* format_duration(double seconds) {
  static thread_local char buffers[2][64];
  static thread_local int next;
  next = (next + 1) % 2;
  char* out = buffers[next];
  // Negative, NaN or astronomically large inputs must not reach the integer
  // conversion, whose result would be undefined.
  double whole_minutes = seconds / 60;
  unsigned long long minutes = 0;
  if (whole_minutes >= 18446744073709551615.0) minutes = ~0ull;
  else if (whole_minutes >= 1) minutes = (unsigned long long)whole_minutes;
  unsigned long long years = minutes / 525600, days = (minutes / 1440) % 365;
  unsigned long long hours = (minutes / 60) % 24, mins = minutes % 60;
  if (minutes >= 525600)
    snprintf(out, 64, "%llu year%s, %llu day%s, %llu hour%s, %llu minute%s", years, plural(years), days,
             plural(days), hours, plural(hours), mins, plural(mins));
  else if (days > 0)
    snprintf(out, 64, "%llu day%s, %llu hour%s, %llu minute%s", days, plural(days), hours, plural(hours), mins,
             plural(mins));
  else if (hours > 0)
    snprintf(out, 64, "%llu hour%s, %llu minute%s", hours, plural(hours), mins, plural(mins));
  else if (mins > 0)
    snprintf(out, 64, "%llu minute%s", mins, plural(mins));
  else
    snprintf(out, 64, "%0.1f seconds", seconds);
  return out;
}

const char* format_thousands(int value) {
  static thread_local char buffer[16];
  if (value < 1000) {
    snprintf(buffer, sizeof buffer, "%d", value);
    return buffer;
  }
  // Above 999999 the grouping simply goes on ("2,147,483,647" fits).
  char groups[16];
  int n = snprintf(groups, sizeof groups, "%d", value);
  int lead = n % 3 ? n % 3 : 3, out = 0;
  for (int i = 0; i < n; i++) {
    if (i >= lead && (i - lead) % 3 == 0) buffer[out++] = ',';
    buffer[out++] = groups[i];
  }
  buffer[out] = 0;
  return buffer;
}

// ---- Bounded copies -------------------------------------------------------

uint64_t text_copy(char* dst, const char* src, uint64_t size) {
  if (size < 1) return 0;
  uint64_t n = strnlen(src, (size_t)(size - 1));
  memcpy(dst, src, (size_t)n);
  dst[n] = 0;
  return n;
}

uint64_t text_append_len(char* dst, const char* src, uint64_t size) {
  if (size < 1) return 0;
  uint64_t len = strnlen(dst, (size_t)size);
  if (len >= size - 1) return len;
  return len + text_copy(dst + len, src, size - len);
}

void text_append(int size, char* dst, const char* src) {
  if (size < 1) return;
  text_append_len(dst, src, (uint64_t)size);
}

// ---- Paths ----------------------------------------------------------------

void path_dirname(int size, char* dst, const char* src) {
  if (size < 1) {
    // No room even for the terminator: report and leave dst untouched.
    util_assert(0, false, "util", 194);
    return;
  }
  int n = 0, last_slash = -1;
  for (; n < size - 1 && src[n]; n++) {
    dst[n] = src[n];
    if (src[n] == '/') last_slash = n;
  }
  dst[last_slash >= 0 ? last_slash : n] = 0;
}

std::string path_with_slash(const char* path) {
  std::string out = path;
  // An empty path names no folder; appending would turn it into the root.
  if (!out.empty() && out.back() != '/') out += '/';
  return out;
}

// ---- Hexadecimal ----------------------------------------------------------

bool hex_encode(const uint8_t* src, uint64_t n, char* dst, uint64_t* len, bool upper) {
  if (n > (UINT64_MAX - 1) / 2) return false;
  if (*len < 2 * n + 1) {
    *len = 2 * n + 1;
    return false;
  }
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  for (uint64_t i = 0; i < n; i++) {
    dst[2 * i] = digits[src[i] >> 4];
    dst[2 * i + 1] = digits[src[i] & 15];
  }
  dst[2 * n] = 0;
  *len = 2 * n;
  return true;
}

static int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool hex_decode(const char* text, uint64_t count, uint8_t* out, uint64_t* len) {
  if (count % 2) return false;
  // The whole text is checked first, so a bad digit is refused whatever the
  // capacity and out is not written then.
  for (uint64_t i = 0; i < count; i++)
    if (hex_digit(text[i]) < 0) return false;
  uint64_t n = count / 2 < *len ? count / 2 : *len;
  for (uint64_t i = 0; i < n; i++) out[i] = (uint8_t)(hex_digit(text[2 * i]) << 4 | hex_digit(text[2 * i + 1]));
  *len = n;
  return true;
}
