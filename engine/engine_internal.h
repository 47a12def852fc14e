// What the engine's own units share and no other subsystem needs.
#pragma once

#include <cstdint>

struct job_s;
struct plotter_s;

// A question or message for the user. from_thread: the caller is not the UI
// thread, so the dialog is handed to it and the caller waits (holding no
// lock) until answered or until *stop is set. Tests replace both through
// plotter_set_dialogs.
bool engine_question(bool from_thread, const volatile bool* stop, const char* title, const char* text);
void engine_message(bool from_thread, const volatile bool* stop, const char* title, const char* text);
// Ends the process with status 1 (replaceable in tests, which then go on).
void engine_exit_error();

// The resume marker of a ".plotting" file of nonces nonces written on a drive
// with sector bytes per sector: true with the resume point in *value when
// the last sector is zero but for a little-endian value below nonces.
// Bytes of the marker sector of a job's file (the write drive's sector,
// at least 4096).
uint64_t job_marker_bytes(const job_s* job);
bool marker_parse(const uint8_t* sector_data, uint64_t sector, uint64_t nonces, uint64_t* value);
