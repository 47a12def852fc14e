// Counts the file-system lookups this test program makes (the access and
// stat families) and the folders it opens for reading, so that a test can
// tell how the cost of an operation grows: with files or with folders.
#pragma once

namespace fs_calls {

struct counts_s {
  long lookups;       // access, faccessat, stat, lstat, fstatat, statx
  long folder_reads;  // opendir, fdopendir
};

// Starts counting from zero.
void start();
// Stops counting and returns what was counted since start().
counts_s stop();

}  // namespace fs_calls
