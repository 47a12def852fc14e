// Small text routines: plot-file names, size and duration texts, bounded
// string copies, paths, hexadecimal. The formatters return thread-local
// buffers, so any thread may call them at once.
#pragma once

#include <stdint.h>

#include <string>

// Reports a broken internal condition: when ok is 0 logs
// "Assertion failure <file> : <line>" and, when fatal, ends the process.
void util_assert(int ok, bool fatal, const char* file, int line);

// The base name of path is exactly "<account>_<start>_<nonces>[_<stagger>]",
// each number plain decimal digits within 64 bits, optionally followed by
// ".plotting" (an unfinished file); stagger is 0 for the three-number form.
// Outputs are written only on true.
bool plot_name_parse(const char* path, uint64_t* account, uint64_t* start, uint64_t* nonces, uint64_t* stagger);
bool is_plot_name(const char* path);
// A plot name that ends in ".plotting".
bool plot_name_is_unfinished(const char* path);

// "12.5 MB/s": one decimal, a unit from three quarters of it upwards.
int format_size_to(int size, char* buf, uint64_t bytes, bool binary, const char* suffix);
// As format_size_to into the next of three thread-local buffers.
const char* format_size(uint64_t bytes, bool binary, const char* suffix);
// "1 day, 2 hours, 0 minutes" or "59.9 seconds"; the next of two
// thread-local buffers.
const char* format_duration(double seconds);
// "%d" below 1000, "%d,%03d" up to 999999; larger values give "" (the
// thread-local buffer holds 16 bytes).
const char* format_thousands(int value);

// Bounded copy (size >= 1); returns the bytes copied.
uint64_t text_copy(char* dst, const char* src, uint64_t size);
// Appends as much of src as fits into dst (terminated within size).
void text_append(int size, char* dst, const char* src);
// As text_append; returns the new length.
uint64_t text_append_len(char* dst, const char* src, uint64_t size);

// The folder part of src (without its last '/') into dst of size bytes; a
// name without '/' is kept whole.
void path_dirname(int size, char* dst, const char* src);
// path with a '/' appended unless it ends in one.
std::string path_with_slash(const char* path);

// Two digits per byte plus NUL into dst; *len is the capacity in and the text
// length out (or the needed capacity when too small).
bool hex_encode(const uint8_t* src, uint64_t n, char* dst, uint64_t* len, bool upper);
// Pairs of hexadecimal digits into out; *len is the capacity in and the byte
// count out.
bool hex_decode(const char* text, uint64_t count, uint8_t* out, uint64_t* len);
