// File, folder and drive services on real files in a temporary folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "platform/sys_linux.h"
#include "tests/support/loop_fs.h"
#include "tests/support/temp_dir.h"

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string pattern(size_t n, int seed) {
  std::string s(n, 0);
  for (size_t i = 0; i < n; i++) s[i] = (char)(i * 7 + seed + i / 4096);
  return s;
}

int open_fd_count() {
  int n = 0;
  for (auto& e : std::filesystem::directory_iterator("/proc/self/fd")) n += !e.path().empty();
  return n;
}

struct page_buffer_s {
  uint8_t* p;
  explicit page_buffer_s(uint64_t n) : p((uint8_t*)sys_page_alloc(n)) {}
  ~page_buffer_s() { sys_page_free(p); }
};

class Files : public testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir.path.empty()) << "no folder with direct I/O"; }
  temp_dir_s dir{"files", true};
};

}  // namespace

TEST_F(Files, CreateWriteReadAtOffsetsWithDirectIo) {
  const std::string path = dir.file("1_0_8");
  const uint64_t size = 4 * 16384;
  testing::internal::CaptureStderr();
  int fd = sys_create_file(path.c_str(), size, false);
  std::string err = testing::internal::GetCapturedStderr();
  ASSERT_GT(fd, 0);
  EXPECT_EQ(err, "Allocating 65.5 KB for " + path + "...\nDone allocating space for " + path + "\n");
  EXPECT_EQ(sys_file_size(fd), size);
  EXPECT_TRUE(fcntl(fd, F_GETFL) & O_DIRECT);

  page_buffer_s out(16384), in(16384);
  const std::string a = pattern(16384, 1), b = pattern(16384, 2);
  memcpy(out.p, a.data(), 16384);
  sys_write_at(fd, 0, 16384, out.p);
  memcpy(out.p, b.data(), 16384);
  sys_write_at(fd, 2 * 16384, 16384, out.p);

  ASSERT_TRUE(sys_read_at(fd, 2 * 16384, 16384, in.p, nullptr));
  EXPECT_EQ(memcmp(in.p, b.data(), 16384), 0);
  ASSERT_TRUE(sys_read_at(fd, 0, 16384, in.p, nullptr));
  EXPECT_EQ(memcmp(in.p, a.data(), 16384), 0);
  sys_close(fd);

  // Opening again (a resumed plot) keeps what was written.
  fd = sys_create_file(path.c_str(), size, true);
  ASSERT_GT(fd, 0);
  EXPECT_EQ(sys_file_size(fd), size);
  sys_close(fd);
  std::string contents = read_file(path);
  ASSERT_EQ(contents.size(), size);
  EXPECT_EQ(contents.substr(0, 16384), a);
  EXPECT_EQ(contents.substr(16384, 16384), std::string(16384, '\0'));
  EXPECT_EQ(contents.substr(2 * 16384, 16384), b);
}

TEST_F(Files, CreateFailuresReturnZeroAndLeakNothing) {
  const std::string missing = dir.file("no/such/folder/f");
  testing::internal::CaptureStderr();
  EXPECT_EQ(sys_create_file(missing.c_str(), 16384, false), 0);
  EXPECT_EQ(errno, ENOENT);  // the reason stays for the caller to tell
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Could not create file: " + missing + " errno = 2 (No such file or directory)\n");

  const std::string huge = dir.file("huge");
  int before = open_fd_count();
  testing::internal::CaptureStderr();
  EXPECT_EQ(sys_create_file(huge.c_str(), 1ull << 62, false), 0);
  EXPECT_EQ(errno, EFBIG);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Failed to efficiently resize " + huge + ": File too large\n"), std::string::npos) << err;
  EXPECT_EQ(open_fd_count(), before);
  EXPECT_FALSE(sys_exists(huge.c_str()));  // made here, so removed with what it had taken
}

TEST_F(Files, OpenReadSizeRenameUnlink) {
  const std::string a = dir.file("a"), b = dir.file("b");
  write_file(a, "hello");
  EXPECT_EQ(sys_open_read(dir.file("missing").c_str(), false), 0);
  int fd = sys_open_read(a.c_str(), true);
  ASSERT_GT(fd, 0);
  EXPECT_EQ(sys_file_size(fd), 5u);
  char buf[8] = {0};
  ASSERT_TRUE(sys_read_at(fd, 1, 3, buf, nullptr));
  EXPECT_STREQ(buf, "ell");
  sys_close(fd);

  sys_rename(a.c_str(), b.c_str());
  EXPECT_FALSE(sys_exists(a.c_str()));
  EXPECT_TRUE(sys_exists(b.c_str()));
  testing::internal::CaptureStderr();
  sys_rename(a.c_str(), b.c_str());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to rename " + a + " to " + b + " errno 2 (No such file or directory)\n");
  sys_unlink(b.c_str());
  EXPECT_FALSE(sys_exists(b.c_str()));

  testing::internal::CaptureStderr();
  EXPECT_EQ(sys_file_size(-1), 0u);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Assertion failure sys_linux : 305\n");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(sys_read_at(-1, 4096, 1, buf, nullptr));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to seek file to offset 4096. Error 9\n");
}

TEST_F(Files, AsyncReadsQueuedThenPolled) {
  const std::string path = dir.file("scoops");
  const std::string data = pattern(64 * 1024, 3);
  write_file(path, data);
  int fd = sys_open_read(path.c_str(), true);
  ASSERT_GT(fd, 0);
  const int n = 16;
  std::vector<aiocb*> reqs(n, nullptr);
  std::vector<char> got((size_t)n * 64);
  for (int i = 0; i < n; i++)
    ASSERT_TRUE(sys_read_at(fd, (uint64_t)i * 4096 + 32, 64, got.data() + i * 64, &reqs[i]));
  for (int i = 0; i < n; i++) {
    ASSERT_NE(reqs[i], nullptr);
    EXPECT_NE(reqs[i]->aio_fildes, 0);
    while (!sys_aio_done(fd, reqs[i])) usleep(100);
    EXPECT_EQ(memcmp(got.data() + i * 64, data.data() + i * 4096 + 32, 64), 0) << i;
    sys_aio_cancel(fd, reqs[i]);  // done already: nothing to cancel
    sys_aio_free(reqs[i]);
  }
  sys_aio_cancel(fd, nullptr);  // every request of fd; none outstanding
  sys_aio_free(nullptr);
  sys_close(fd);
}

namespace {
int g_fake_errno;
int fake_aio_read(aiocb*) {
  errno = g_fake_errno;
  return -1;
}
}  // namespace

TEST_F(Files, AsyncReadWhenQueueIsFullOrRefused) {
  const std::string path = dir.file("scoops");
  const std::string data = pattern(8192, 4);
  write_file(path, data);
  int fd = sys_open_read(path.c_str(), true);
  ASSERT_GT(fd, 0);
  int (*real)(aiocb*) = g_sys_aio_read;
  g_sys_aio_read = fake_aio_read;

  // Queue full: read at once, block zeroed, done, nothing to cancel.
  g_fake_errno = EAGAIN;
  char buf[64] = {0};
  aiocb* req = nullptr;
  EXPECT_TRUE(sys_read_at(fd, 4096, 64, buf, &req));
  ASSERT_NE(req, nullptr);
  EXPECT_EQ(memcmp(buf, data.data() + 4096, 64), 0);
  EXPECT_EQ(req->aio_fildes, 0);
  EXPECT_EQ(req->aio_buf, nullptr);
  EXPECT_TRUE(sys_aio_done(fd, req));
  sys_aio_cancel(fd, req);
  sys_aio_free(req);

  // Any other refusal: false, a message, and the block is still the caller's.
  g_fake_errno = EINVAL;
  req = nullptr;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(sys_read_at(fd, 0, 64, buf, &req));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error async reading from file. Errno 22\n");
  ASSERT_NE(req, nullptr);
  EXPECT_EQ(req->aio_fildes, fd);
  sys_aio_free(req);

  g_sys_aio_read = real;
  sys_close(fd);
}

TEST_F(Files, CopyInStepsKeepsSourceAndMode) {
  struct row_s {
    const char* what;
    uint64_t size;
    std::vector<uint64_t> progress;
  };
  const uint64_t step = 8388608;
  const row_s rows[] = {
      {"empty", 0, {}},
      // After each step, what is on the disk; the whole after the sync.
      {"one step", 5000, {0, 5000}},
      {"two steps", step + 4096, {0, step, step + 4096}},
  };
  for (const row_s& r : rows) {
    const std::string src = dir.file("src"), dst = dir.file("dst");
    const std::string data = pattern(r.size, 5);
    write_file(src, data);
    chmod(src.c_str(), 0640);
    std::vector<uint64_t> seen;
    EXPECT_EQ(sys_copy_file(src.c_str(), dst.c_str(), [&seen](uint64_t n) {
      seen.push_back(n);
      return true;
    }), SYS_COPY_DONE) << r.what;
    EXPECT_EQ(seen, r.progress) << r.what;
    EXPECT_EQ(read_file(src), data) << r.what;
    EXPECT_EQ(read_file(dst), data) << r.what;
    struct stat st;
    ASSERT_EQ(stat(dst.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u) << r.what;
    sys_unlink(dst.c_str());
  }
}

TEST_F(Files, CopyStoppedOnTheLastStep) {
  const std::string src = dir.file("src"), dst = dir.file("dst");
  const std::string data = pattern(100000, 6);
  write_file(src, data);
  int calls = 0;
  EXPECT_EQ(sys_copy_file(src.c_str(), dst.c_str(), [&calls](uint64_t) {
    calls++;
    return false;
  }), SYS_COPY_STOPPED);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(read_file(src), data);
  EXPECT_EQ(read_file(dst), data);
}

// Bytes written to a block device so far (its stat counts 512-byte sectors).
uint64_t device_bytes_written(const std::string& device) {
  std::ifstream in("/sys/block/" + device.substr(device.rfind('/') + 1) + "/stat");
  uint64_t v[7] = {};
  for (uint64_t& x : v) in >> x;
  return v[6] * 512;
}

// What a copy reports is on the disk, not in the page cache: a copy to a
// slow disk otherwise shows its end long before the final sync has written
// most of it. Every report is at most what the target's disk has taken.
TEST_F(Files, CopyReportsOnlyBytesOnTheDisk) {
  loop_fs_s fs(96);
  if (!fs.ok()) GTEST_SKIP() << fs.why;
  const uint64_t step = 8388608;
  const uint64_t size = 4 * step + 4096;
  const std::string src = dir.file("src"), dst = fs.file("dst");
  const std::string data = pattern(size, 3);
  write_file(src, data);
  const uint64_t before = device_bytes_written(fs.device);
  std::vector<uint64_t> seen;
  EXPECT_EQ(sys_copy_file(src.c_str(), dst.c_str(), [&](uint64_t n) {
    EXPECT_LE(n, device_bytes_written(fs.device) - before) << "reported " << n << " of " << size;
    seen.push_back(n);
    return true;
  }), SYS_COPY_DONE);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), size);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_EQ(read_file(dst), data);
}

// A copy that cannot be made is the caller's to handle: it reports and
// leaves the source alone.
TEST_F(Files, CopyFailuresAreReported) {
  const std::string src = dir.file("src");
  write_file(src, "data");
  auto keep_going = [](uint64_t) { return true; };
  const struct {
    std::string from, to, logged;
  } rows[] = {
      {dir.file("missing"), dir.file("d"), "Error opening " + dir.file("missing") + " for copy! Error No such file or directory\n"},
      {src, dir.file("no/d"), "Error opening " + dir.file("no/d") + " for write! Error No such file or directory\n"},
  };
  for (const auto& r : rows) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(sys_copy_file(r.from.c_str(), r.to.c_str(), keep_going), SYS_COPY_FAILED);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), r.logged);
  }
  EXPECT_EQ(read_file(src), "data");
}

// A write that fails is the caller's to report (with the file's name, which
// only the caller knows): the process goes on, the error number is left in
// errno and the log says what happened in words.
TEST_F(Files, WriteFailuresAreReturnedWithTheReason) {
  const std::string src = dir.file("src");
  write_file(src, "data");
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  int ro = sys_open_read(src.c_str(), false);
  ASSERT_GT(ro, 0);
  char buf[16] = {0};
  const struct {
    int fd;
    uint64_t offset;
    int err;
    std::string logged;
  } rows[] = {
      {pipe_fds[1], 16384, ESPIPE, "Failed to write to file at offset 16384. Error Illegal seek\n"},
      {ro, 0, EBADF, "\n\nError while writing to file: Bad file descriptor. Offset 0, bytes: 16\n\n"},
  };
  for (const auto& r : rows) {
    testing::internal::CaptureStderr();
    errno = 0;
    EXPECT_FALSE(sys_write_at(r.fd, r.offset, 16, buf));
    EXPECT_EQ(errno, r.err);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), r.logged);
  }
  close(pipe_fds[0]);
  close(pipe_fds[1]);
  sys_close(ro);
  EXPECT_EQ(read_file(src), "data");
}

TEST_F(Files, ListDirPassesEveryEntryWithOneSlash) {
  write_file(dir.file("a"), "");
  mkdir(dir.file("sub").c_str(), 0755);
  const std::set<std::string> expected = {dir.file("."), dir.file(".."), dir.file("a"), dir.file("sub")};
  for (const std::string& d : {dir.path, dir.path + "/"}) {
    std::set<std::string> seen;
    sys_list_dir(d.c_str(), [&seen](const char* p) {
      seen.insert(p);
      return true;
    });
    EXPECT_EQ(seen, expected) << d;
  }
  int calls = 0;
  sys_list_dir(dir.path.c_str(), [&calls](const char*) { return ++calls < 1; });
  EXPECT_EQ(calls, 1);
  sys_list_dir(dir.file("missing").c_str(), [&calls](const char*) { return ++calls > 0; });
  EXPECT_EQ(calls, 1);

  EXPECT_TRUE(sys_dir_exists(dir.path.c_str()));
  EXPECT_FALSE(sys_dir_exists(dir.file("a").c_str()));
  EXPECT_FALSE(sys_dir_exists(dir.file("missing").c_str()));
}

TEST_F(Files, WorkingDirectory) {
  char old[260], now[260];
  sys_getcwd(sizeof old, old);
  sys_chdir(dir.path.c_str());
  sys_getcwd(sizeof now, now);
  EXPECT_EQ(std::filesystem::equivalent(now, dir.path), true);
  char tiny[4] = "xyz";
  sys_getcwd(sizeof tiny, tiny);  // does not fit: empty rather than garbage
  EXPECT_STREQ(tiny, "");
  sys_chdir(dir.file("missing").c_str());  // ignored
  sys_getcwd(sizeof now, now);
  EXPECT_EQ(std::filesystem::equivalent(now, dir.path), true);
  sys_chdir(old);
}

TEST_F(Files, DriveDetails) {
  uint64_t total = 12345;
  testing::internal::CaptureStderr();
  EXPECT_EQ(sys_free_space(dir.file("missing").c_str(), &total), 0u);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error getting free space for path " + dir.file("missing") + "\n");
  EXPECT_EQ(total, 12345u);

  uint64_t free_bytes = sys_free_space(dir.path.c_str(), &total);
  EXPECT_GT(free_bytes, 0u);
  EXPECT_GE(total, free_bytes);
  EXPECT_GT(sys_free_space(dir.path.c_str(), nullptr), 0u);

  EXPECT_EQ(sys_sector_size(dir.path.c_str()), 16384u);
  EXPECT_EQ(sys_sector_size(""), 16384u);
  char volume[32], fs[32];
  memset(volume, 'x', sizeof volume);
  memset(fs, 'x', sizeof fs);
  uint32_t serials[4] = {0};
  for (uint32_t& s : serials) sys_volume_info(dir.path.c_str(), sizeof volume, volume, fs, &s);
  EXPECT_STREQ(volume, "");
  EXPECT_STREQ(fs, "");
  EXPECT_FALSE(serials[0] == serials[1] && serials[1] == serials[2] && serials[2] == serials[3]);
}

// A disk is known by its file system's UUID: the same xfs disk on another
// loop device (xfs derives its statfs id from the device number) is still
// the session's disk, and another disk is not.
TEST_F(Files, FileSystemIdentityFollowsTheDiskNotItsDevice) {
  loop_fs_s fs(320, "", "xfs");
  if (!fs.ok()) GTEST_SKIP() << "loop xfs: " << fs.why;
  std::string before, after, other_id;
  ASSERT_TRUE(sys_fs_identity(fs.mount_point.c_str(), &before));
  const std::string first_device = fs.device;
  ASSERT_TRUE(fs.reattach_elsewhere()) << fs.why;
  ASSERT_NE(fs.device, first_device);
  ASSERT_TRUE(sys_fs_identity(fs.mount_point.c_str(), &after));
  EXPECT_EQ(after, before);
  EXPECT_TRUE(sys_fs_identity_is(fs.mount_point.c_str(), before));
  loop_fs_s other(320, "", "xfs");
  ASSERT_TRUE(other.ok()) << other.why;
  ASSERT_TRUE(sys_fs_identity(other.mount_point.c_str(), &other_id));
  EXPECT_NE(other_id, before);
  EXPECT_FALSE(sys_fs_identity_is(other.mount_point.c_str(), before));
  // An id stored in the older form is still compared the way it was made.
  struct statfs st;
  ASSERT_EQ(statfs(other.mount_point.c_str(), &st), 0);
  char old_form[64];
  snprintf(old_form, sizeof old_form, "fsid:%016llx",
           (unsigned long long)((uint64_t)(uint32_t)st.f_fsid.__val[0] | ((uint64_t)(uint32_t)st.f_fsid.__val[1] << 32)));
  EXPECT_TRUE(sys_fs_identity_is(other.mount_point.c_str(), old_form));
}

// The file system's type and its largest file come from the mount, not the
// folder's name: FAT (here through FUSE) holds files of at most 4 GiB - 1.
TEST_F(Files, FileSystemInfoKnowsFatsFileLimit) {
  sys_fs_info_s info;
  {
    loop_fs_s fat(64, "", "fat32");
    if (!fat.ok()) GTEST_SKIP() << "FAT32 through FUSE: " << fat.why;
    ASSERT_TRUE(sys_fs_info(fat.mount_point.c_str(), &info));
    EXPECT_EQ(info.type, "fuse.fusefat");
    EXPECT_EQ(info.max_file_bytes, (4ull << 30) - 1);
  }
  loop_fs_s ext4(64);
  ASSERT_TRUE(ext4.ok()) << ext4.why;
  ASSERT_TRUE(sys_fs_info(ext4.mount_point.c_str(), &info));
  EXPECT_EQ(info.type, "ext4");
  EXPECT_EQ(info.source, ext4.device);
  EXPECT_EQ(info.max_file_bytes, 0u);
}

// Where the file system cannot preallocate (exFAT and FAT through FUSE) a
// new file is not written full of zeros before its first batch: it grows
// as batches are written. The free space is still checked for all of it.
TEST_F(Files, FileWhereNothingPreallocatesIsNotFilledWithZeros) {
  for (const char* type : {"exfat", "fat32"}) {
    SCOPED_TRACE(type);
    loop_fs_s fs(256, "", type);
    if (!fs.ok()) GTEST_SKIP() << type << " through FUSE: " << fs.why;
    const uint64_t bytes = 128ull << 20;
    const std::string path = fs.file("7_0_512.plotting");
    sync();
    const uint64_t before = device_bytes_written(fs.device);
    int fd = sys_create_file(path.c_str(), bytes, false);
    ASSERT_GT(fd, 0);
    ASSERT_TRUE(sys_sync_data(fd));
    sync();
    const uint64_t written = device_bytes_written(fs.device) - before;
    EXPECT_LT(written, 4ull << 20) << "written before the first batch";
    // A batch's last scoop run and the marker land where they belong.
    void* block = sys_page_alloc(16384);
    memset(block, 0x5a, 16384);
    ASSERT_TRUE(sys_write_at(fd, bytes - 16384, 16384, block));
    sys_page_free(block);
    sys_close(fd);
    EXPECT_EQ(std::filesystem::file_size(path), bytes);
    EXPECT_EQ(sys_create_file(fs.file("too_big").c_str(), 512ull << 20, false), 0) << "booked beyond the free space";
    EXPECT_FALSE(std::filesystem::exists(fs.file("too_big")));
  }
}
