// A plot file on disk: its layout, its resume marker, its creation or
// resumption, and every step that gives it a final name (finishing a written
// file, a move, a scatter). Every sync that makes data durable before a name
// or a marker claims it is made here, in this order:
//   batch data -> fdatasync -> marker;
//   whole file -> fdatasync -> rename to the final name -> sync the folder;
//   copy -> fsync -> rename to the final name -> sync the folder -> delete
//   the staged file.
//
// Names: "<account>_<start>_<nonces>" is a complete plot. Unfinished files
// carry a suffix that the plots registry, the checker and the drive plan do
// not take for a plot: ".plotting" (being written, resumable from its
// marker), ".moving" (a copy on its way to the target) and ".scattering" (a
// scatter file that does not yet hold every staged file of its range).
//
// Layout (PoC2, scoop-major): scoop s of the file's nonce k lies at byte
// (s x N + k) x 64 of a file of N nonces. While a file is written, its last
// sector (at least 4096 bytes) holds the resume marker: zeros but for the
// little-endian 64-bit count of nonces written, at its very end.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "plot/nonce.h"

extern const char* const PLOT_FILE_PLOTTING;
extern const char* const PLOT_FILE_MOVING;
extern const char* const PLOT_FILE_SCATTERING;

// Benchmarks only: false leaves out the syncs of batches, finished files and
// scatters (a move's copy is always synced), to measure what they cost.
extern bool g_plot_file_sync;

inline uint64_t plot_file_bytes(uint64_t nonces) { return nonces * PLOT_NONCE_BYTES; }
// Byte offset of scoop s of nonce k (counted from the file's first nonce).
inline uint64_t plot_file_scoop_offset(uint64_t nonces, uint64_t s, uint64_t k) {
  return (s * nonces + k) * PLOT_SCOOP_BYTES;
}

// Bytes of the marker sector on a drive of the given sector size: at least a
// page, so that its offset and length stay valid for direct I/O.
uint64_t plot_file_marker_bytes(uint64_t sector);
// True with the value in *value when the sector holds a marker below nonces.
bool plot_file_marker_parse(const uint8_t* data, uint64_t marker_bytes, uint64_t nonces, uint64_t* value);
// Makes every batch written so far durable, then writes the marker value.
// False (a log line, the reason in errno) when the sync or the marker's
// write fails: a marker must never claim data that a power cut could take
// back, and a failed write leaves the previous marker or a sector no resume
// takes for one.
bool plot_file_mark(int fd, uint64_t nonces, uint64_t sector, uint64_t value);
// The marker of a reopened file: true with the resume point, which is also a
// multiple of the drive's batch alignment.
bool plot_file_marker_read(int fd, uint64_t nonces, uint64_t sector, uint64_t* value);

// Writes the final batch's last sector (the marker's place) from data, after
// everything else of the file is durable: until this write the file carries
// its last marker, and once it has happened the file is recognised as
// complete (plot_file_is_complete), so a crash in between never makes a
// finished file look like one to plot again. False when the sync fails.
bool plot_file_seal(int fd, uint64_t nonces, uint64_t sector, const uint8_t* data);
// Whether a file without a valid marker is complete: its marker's place
// holds the plot data of the nonces it lies over (checked on the first and
// the last of them), which only the final batch writes there, last.
bool plot_file_is_complete(int fd, uint64_t account, uint64_t start, uint64_t nonces, uint64_t sector);
// Whether the scatter file dst (complete, or still dst + ".scattering")
// holds the rows of the staged file of n nonces from s0: a staged file is
// deleted only once its rows are durable there, and plot data is never a
// row of zeros, while rows not yet scattered read as zeros.
bool plot_file_scatter_holds(const char* dst, uint64_t s0, uint64_t n);

// Creates (or, resume set, reopens without truncating) a ".plotting" file
// of nonces nonces for direct I/O, preallocated; 0 on failure.
int plot_file_open(const char* temp_path, uint64_t nonces, bool resume);
// A fully written file: syncs it, closes fd, renames temp_path to
// final_path and syncs the folder. False with a log line on failure (the
// file keeps its unfinished name), the reason in errno.
bool plot_file_finish(int fd, const char* temp_path, const char* final_path);

// PLOT_FILE_FULL: a move or a scatter found its target full; src is kept,
// nothing of a move's copy is left there, and the rows a scatter wrote stay
// in its unnamed scatter file to be written again.
enum { PLOT_FILE_DONE = 0, PLOT_FILE_STOPPED = 1, PLOT_FILE_FAILED = 2, PLOT_FILE_FULL = 3 };
// Copies the staged plot src to dst + ".moving", syncs it, renames it to
// dst, syncs the folder and only then deletes src. progress gets the bytes
// of the copy on the target's disk so far and returns false to stop; the
// whole size comes last, once dst is durable under its final name. A stop or failure removes the
// partial copy and keeps src. On failure *why (may be null) receives the
// step, its file and the reason in words.
int plot_file_move(const char* src, const char* dst, const std::function<bool(uint64_t)>& progress,
                   std::string* why = nullptr);
// Copies the scoop rows of the staged plot src (its name gives its range)
// into their places in the scatter file dst + ".scattering" (created on
// first use; its range from dst's name), syncs it, and only then deletes
// src. With last set (src is the final file of the range) the scatter file
// then takes the name dst. progress gets the bytes done so far (the whole
// size last, once the scatter file and its name are durable) and returns
// false to stop after the current scoop row (PLOT_FILE_STOPPED: src kept,
// the rows copied so far stay in the unnamed scatter file and are written
// again when src is scattered again). src is kept on any failure, and *why
// (may be null) receives the step, its file and the reason in words.
int plot_file_scatter(const char* src, const char* dst, bool last, const std::function<bool(uint64_t)>& progress,
                      std::string* why = nullptr);
// Bytes of free space the scatter file dst still needs on its disk: all of
// it before the first scatter creates it, then what is not yet allocated.
uint64_t plot_file_scatter_room(const char* dst);
