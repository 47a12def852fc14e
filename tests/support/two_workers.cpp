// Linked into the test binaries that hash: they run as on a machine of three
// processors, so every default worker count (the plotter's and the checker's
// "processors minus one") is two. ctest is told that each of their tests
// takes two processors (tests/test_resources.cmake); a test about the worker
// count sets its own.
#include "platform/cpu_features.h"

namespace {

const bool g_three_processors = (g_cpu_count.store(3), true);

}  // namespace
