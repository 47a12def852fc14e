// The plot file on disk: layout, resume marker, creation, finishing, move
// and scatter, each with its syncs in the order that keeps data ahead of the
// names and markers that claim it.
#include "engine/plot_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/sys_linux.h"
#include "platform/util.h"

const char* const PLOT_FILE_PLOTTING = ".plotting";
const char* const PLOT_FILE_MOVING = ".moving";
const char* const PLOT_FILE_SCATTERING = ".scattering";

bool g_plot_file_sync = true;

namespace {

bool sync_data(int fd) { return !g_plot_file_sync || sys_sync_data(fd); }
bool sync_folder_of(const char* path) { return !g_plot_file_sync || sys_sync_folder_of(path); }

// Whether errno says that the disk (or the user's quota on it) is full.
bool disk_full() { return errno == ENOSPC || errno == EDQUOT; }

// The step that failed and the system's words for errno, for the user.
void failure_reason(std::string* why, const std::string& step) {
  int err = errno;
  if (why) *why = step + ": " + strerror(err);
}

// Gives a complete file its final name once its data is durable, and makes
// the new name durable too.
// Its caller reports a failure with the file and the reason (one line for
// one event), so the rename itself logs nothing; errno keeps the reason.
bool rename_durably(const char* from, const char* to) { return rename(from, to) == 0 && sync_folder_of(to); }

}  // namespace

uint64_t plot_file_marker_bytes(uint64_t sector) { return sector < 4096 ? 4096 : sector; }

bool plot_file_marker_parse(const uint8_t* data, uint64_t marker_bytes, uint64_t nonces, uint64_t* value) {
  if (marker_bytes < 8) return false;
  for (uint64_t i = 0; i < marker_bytes - 8; i++)
    if (data[i] != 0) return false;
  uint64_t v = 0;
  for (int i = 0; i < 8; i++) v |= static_cast<uint64_t>(data[marker_bytes - 8 + i]) << (8 * i);
  if (v >= nonces) return false;
  *value = v;
  return true;
}

bool plot_file_mark(int fd, uint64_t nonces, uint64_t sector, uint64_t value) {
  // Direct writes into preallocated space still leave the extents' "written"
  // state in the file system's journal; a marker overwriting an already
  // written block reaches the disk at once. Without this sync a power cut
  // keeps the marker and loses the batch it claims: zeros in a finished plot.
  if (!sync_data(fd)) return false;
  uint64_t s = plot_file_marker_bytes(sector);
  uint8_t* block = static_cast<uint8_t*>(sys_aligned_alloc(4096, s));
  util_assert(block != nullptr, false, __FILE__, __LINE__);
  if (!block) return false;  // the previous marker stays: a resume repeats more, loses nothing
  memset(block, 0, s);
  for (int i = 0; i < 8; i++) block[s - 8 + i] = static_cast<uint8_t>(value >> (8 * i));
  bool written = sys_write_at(fd, plot_file_bytes(nonces) - s, s, block);
  int err = errno;
  sys_aligned_free(block);
  errno = err;
  return written;
}

bool plot_file_marker_read(int fd, uint64_t nonces, uint64_t sector, uint64_t* value) {
  uint64_t s = plot_file_marker_bytes(sector);
  if (plot_file_bytes(nonces) < s) return false;
  uint8_t* block = static_cast<uint8_t*>(sys_aligned_alloc(4096, s));
  if (!block) return false;
  memset(block, 0xFF, s);  // a short read must not pass as a zero marker
  uint64_t v = 0;
  // A value off the drive's batch alignment could not have been written by
  // direct I/O batches: it is not a resume point.
  bool ok = sys_read_at(fd, plot_file_bytes(nonces) - s, s, block, nullptr) &&
            plot_file_marker_parse(block, s, nonces, &v) && v % (s / PLOT_SCOOP_BYTES) == 0;
  sys_aligned_free(block);
  if (ok) *value = v;
  return ok;
}

bool plot_file_seal(int fd, uint64_t nonces, uint64_t sector, const uint8_t* data) {
  if (!sync_data(fd)) return false;
  uint64_t s = plot_file_marker_bytes(sector);
  return sys_write_at(fd, plot_file_bytes(nonces) - s, s, data);
}

bool plot_file_is_complete(int fd, uint64_t account, uint64_t start, uint64_t nonces, uint64_t sector) {
  uint64_t s = plot_file_marker_bytes(sector);
  uint64_t covered = s / PLOT_SCOOP_BYTES;
  if (plot_file_bytes(nonces) < s || nonces < covered) return false;
  uint8_t* block = static_cast<uint8_t*>(sys_aligned_alloc(4096, s));
  uint8_t* nonce = static_cast<uint8_t*>(sys_aligned_alloc(4096, PLOT_NONCE_BYTES));
  bool complete = block && nonce && sys_read_at(fd, plot_file_bytes(nonces) - s, s, block, nullptr);
  const uint64_t last_scoop = PLOT_SCOOPS - 1;
  for (uint64_t k : {nonces - covered, nonces - 1}) {
    if (!complete) break;
    plot_nonce(account, start + k, nonce, true);
    const uint8_t* on_disk = block + (k - (nonces - covered)) * PLOT_SCOOP_BYTES;
    complete = memcmp(on_disk, nonce + last_scoop * PLOT_SCOOP_BYTES, PLOT_SCOOP_BYTES) == 0;
  }
  if (block) sys_aligned_free(block);
  if (nonce) sys_aligned_free(nonce);
  return complete;
}

namespace {

bool row_has_data(int fd, uint64_t offset, uint64_t length, uint8_t* buffer) {
  if (!sys_read_at(fd, offset, length, buffer, nullptr)) return false;
  for (uint64_t i = 0; i < length; i++)
    if (buffer[i] != 0) return true;
  return false;
}

}  // namespace

bool plot_file_scatter_holds(const char* dst, uint64_t s0, uint64_t n) {
  uint64_t acc, d0, dn, stagger;
  if (n == 0 || !plot_name_parse(dst, &acc, &d0, &dn, &stagger) || s0 < d0 || s0 - d0 > dn ||
      n > dn - (s0 - d0))
    return false;
  std::string temp = std::string(dst) + PLOT_FILE_SCATTERING;
  int fd = sys_open_read(temp.c_str(), false);
  if (!fd) fd = sys_open_read(dst, false);
  if (!fd) return false;
  bool held = sys_file_size(fd) >= plot_file_bytes(dn);
  const uint64_t run = n * PLOT_SCOOP_BYTES;
  uint8_t* buffer = static_cast<uint8_t*>(sys_page_alloc(run));
  held = held && buffer;
  // The first and the last row: a scatter writes its rows in order and
  // syncs them all before the staged file goes.
  for (uint64_t scoop : {uint64_t(0), uint64_t(PLOT_SCOOPS - 1)})
    held = held && row_has_data(fd, plot_file_scoop_offset(dn, scoop, s0 - d0), run, buffer);
  if (buffer) sys_page_free(buffer);
  sys_close(fd);
  return held;
}

int plot_file_open(const char* temp_path, uint64_t nonces, bool resume) {
  return sys_create_file(temp_path, plot_file_bytes(nonces), resume);
}

bool plot_file_finish(int fd, const char* temp_path, const char* final_path) {
  bool synced = sync_data(fd);
  int err = errno;
  sys_close(fd);
  errno = err;
  if (!synced) return false;
  return rename_durably(temp_path, final_path);
}

int plot_file_move(const char* src, const char* dst, const std::function<bool(uint64_t)>& progress,
                   std::string* why) {
  std::string temp = std::string(dst) + PLOT_FILE_MOVING;
  // The move is done once its final name is durable, not when the copy's
  // last byte is: its whole size is reported here, after that.
  int in = sys_open_read(src, false);
  const uint64_t whole = in ? sys_file_size(in) : 0;
  if (in) sys_close(in);
  uint64_t shown = 0;
  int copied = sys_copy_file(
      src, temp.c_str(),
      [&progress, &shown, whole](uint64_t done) {
        if (done < whole) shown = done;
        return progress(shown);
      },
      why);
  if (copied == SYS_COPY_STOPPED) {
    sys_unlink(temp.c_str());
    return PLOT_FILE_STOPPED;
  }
  bool named = copied == SYS_COPY_DONE && rename_durably(temp.c_str(), dst);
  if (copied == SYS_COPY_DONE && !named) failure_reason(why, std::string("naming ") + dst);
  if (!named) {
    // A partial copy on a full target would only take more of its space.
    sys_unlink(temp.c_str());
    return copied == SYS_COPY_FULL ? PLOT_FILE_FULL : PLOT_FILE_FAILED;
  }
  sys_unlink(src);
  progress(whole);
  return PLOT_FILE_DONE;
}

namespace {

// Copies src's scoop rows into the open scatter file out of dn nonces from
// d0: PLOT_FILE_DONE when every row was read and written, PLOT_FILE_STOPPED
// when progress asked to stop after a row, PLOT_FILE_FULL when a write found
// the disk full, PLOT_FILE_FAILED (with *why).
int scatter_rows(int in, int out, uint64_t s0, uint64_t n, uint64_t d0, uint64_t dn, const char* src,
                 const std::string& dst, const std::function<bool(uint64_t)>& progress, std::string* why) {
  const uint64_t run = n * PLOT_SCOOP_BYTES;
  uint8_t* buffer = static_cast<uint8_t*>(sys_page_alloc(run));
  util_assert(buffer != nullptr, false, __FILE__, __LINE__);
  int result = buffer != nullptr ? PLOT_FILE_DONE : PLOT_FILE_FAILED;
  if (!buffer && why) *why = "no memory for a scoop row";
  for (uint64_t i = 0; result == PLOT_FILE_DONE && i < PLOT_SCOOPS; i++) {
    if (!sys_read_at(in, i * run, run, buffer, nullptr)) {
      failure_reason(why, std::string("reading ") + src + " at byte " + std::to_string(i * run));
      sys_log("Scatter of %llu stopped: read failed at scoop %llu of %s\n", (unsigned long long)s0,
              (unsigned long long)i, src);
      result = PLOT_FILE_FAILED;
      break;
    }
    progress(i * run + run / 2);
    uint64_t at = plot_file_scoop_offset(dn, i, s0 - d0);
    if (!sys_write_at(out, at, run, buffer)) {
      result = disk_full() ? PLOT_FILE_FULL : PLOT_FILE_FAILED;
      failure_reason(why, "writing " + dst + " at byte " + std::to_string(at));
      break;
    }
    // Any row boundary is a safe place to stop: the staged file is still
    // whole, and scattering it again at the next start writes every row
    // anew, so the rows already copied need no sync. The last row counts
    // once the scatter file is durable (plot_file_scatter).
    if (i + 1 < PLOT_SCOOPS && !progress((i + 1) * run)) result = PLOT_FILE_STOPPED;
  }
  sys_page_free(buffer);
  return result;
}

}  // namespace

int plot_file_scatter(const char* src, const char* dst, bool last, const std::function<bool(uint64_t)>& progress,
                      std::string* why) {
  uint64_t acc, s0, n, stagger, d0, dn;
  bool named = plot_name_parse(src, &acc, &s0, &n, &stagger);
  bool dnamed = plot_name_parse(dst, &acc, &d0, &dn, &stagger);
  if (!named || !dnamed || n == 0 || s0 < d0 || s0 - d0 > dn || n > dn - (s0 - d0)) {
    sys_log("Scatter of %s stopped: file names do not fit\n", src);
    if (why) *why = std::string("the names of ") + src + " and " + dst + " do not fit together";
    return PLOT_FILE_FAILED;
  }
  int in = sys_open_read(src, false);
  if (!in) {
    failure_reason(why, std::string("opening ") + src);
    sys_log("Scatter of %llu stopped: could not open %s\n", (unsigned long long)s0, src);
    return PLOT_FILE_FAILED;
  }
  // A short read reports success with stale bytes in the buffer, so a staged
  // file shorter than its name says is refused before anything is copied.
  if (sys_file_size(in) < plot_file_bytes(n)) {
    sys_close(in);
    sys_log("Scatter of %llu stopped: %s is shorter than its name says\n", (unsigned long long)s0, src);
    if (why) *why = std::string(src) + " is shorter than its name says";
    return PLOT_FILE_FAILED;
  }
  std::string temp = std::string(dst) + PLOT_FILE_SCATTERING;
  // A target too full for the scatter file's space is waited for, as a
  // move's is; a scatter file created here is removed by the failed
  // allocation, one reopened keeps the rows of earlier staged files.
  int out = sys_create_file(temp.c_str(), plot_file_bytes(dn), true);
  if (!out) {
    bool full = disk_full();
    failure_reason(why, "opening " + temp);
    sys_close(in);
    sys_log("Scatter of %llu stopped: could not open %s\n", (unsigned long long)s0, temp.c_str());
    return full ? PLOT_FILE_FULL : PLOT_FILE_FAILED;
  }
  int rows = scatter_rows(in, out, s0, n, d0, dn, src, temp, progress, why);
  bool ok = rows == PLOT_FILE_DONE;
  if (ok && !sync_data(out)) {
    rows = disk_full() ? PLOT_FILE_FULL : PLOT_FILE_FAILED;
    failure_reason(why, "syncing " + temp);
    ok = false;
  }
  sys_close(out);
  sys_close(in);
  if (rows == PLOT_FILE_STOPPED || rows == PLOT_FILE_FULL) return rows;
  if (!ok) return PLOT_FILE_FAILED;
  // The staged file goes only once its rows are durable in the scatter file,
  // and so is the scatter file's name: the first staged file creates it.
  bool named_durably = last ? rename_durably(temp.c_str(), dst) : sync_folder_of(temp.c_str());
  if (!named_durably) {
    failure_reason(why, std::string(last ? "naming " : "syncing the folder of ") + (last ? dst : temp.c_str()));
    return PLOT_FILE_FAILED;
  }
  sys_unlink(src);
  progress(plot_file_bytes(n));
  return PLOT_FILE_DONE;
}

uint64_t plot_file_scatter_room(const char* dst) {
  uint64_t acc, d0, dn, stagger;
  if (!plot_name_parse(dst, &acc, &d0, &dn, &stagger)) return 0;
  std::string temp = std::string(dst) + PLOT_FILE_SCATTERING;
  if (sys_exists(temp.c_str())) return sys_unallocated_bytes(temp.c_str(), plot_file_bytes(dn));
  return sys_exists(dst) ? 0 : plot_file_bytes(dn);
}
