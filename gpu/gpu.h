// GPU plotting: the OpenCL device list, the per-run GPU context with its
// kernels, batch dispatch into a RAM buffer, the benchmark and the self-test.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "engine/run_settings.h"
#include "gpu/opencl.h"

struct buffer_s;

// A device computes one pass of a buffer while the pass before is read
// back: two passes per device are in flight, each with its own events.
enum { GPU_MAX_DEVICES = 8, GPU_HASH_EVENTS = 8192, GPU_PASSES_IN_FLIGHT = 2 };

// The longest one kernel launch should take on a device's measured rate. A
// card that drives a display is reset by the driver's watchdog after about
// two seconds in one launch; a tenth of a second leaves room for a device
// slower than measured and keeps the screen responsive.
const double GPU_LAUNCH_SECONDS = 0.1;

// One listed OpenCL GPU. Its position in g_gpu_devices is its GPU number:
// bit n of the user's GPU selection means entry n.
struct gpu_device_s {
  cl_device_id device;
  cl_platform_id platform;
  uint64_t max_work_group;
  uint64_t global_mem;
  uint64_t max_alloc;
  char name[64];
  char driver_version[64];
  // A CPU-type device listed as a GPU for the test suite (see
  // gpu_list_devices): the plan treats it as a GPU, but its short benchmark
  // keeps the suite's GPU sessions quick.
  bool stand_in;
};

// Filled once by gpu_list_devices at start-up, read-only afterwards.
extern std::vector<gpu_device_s> g_gpu_devices;

struct gpu_preset_s {
  const char* name;
  uint32_t nonces;
};
enum { GPU_PRESET_COUNT = 20 };
extern const gpu_preset_s gpu_presets[GPU_PRESET_COUNT];

// Logs every OpenCL platform and device, keeps up to max GPU-type devices
// in g_gpu_devices and copies their names into names[0..]; returns how many
// were kept (0 without OpenCL). Only GPU-type devices are kept; for the test
// suite, VG_TEST_OPENCL_CPU=1 in the environment also admits CPU-type devices
// (PoCL), see gpu_devices.cpp.
int gpu_list_devices(int max, int name_size, char** names);
uint64_t gpu_device_max_alloc(int index);
uint64_t gpu_device_global_mem(int index);
uint32_t gpu_device_preset_nonces(int index);  // 0 = no preset for the name
int gpu_device_max_work_group(int index);

// The GPU side of one plotting run, for up to eight devices. Per-device
// slots at and beyond count stay null.
struct gpu_s {
  int count;
  int device_index[GPU_MAX_DEVICES];
  cl_context context[GPU_MAX_DEVICES];
  cl_program program[GPU_MAX_DEVICES];
  cl_kernel kernel_setup[GPU_MAX_DEVICES];
  cl_kernel kernel_hash_down[GPU_MAX_DEVICES];
  cl_kernel kernel_final[GPU_MAX_DEVICES];
  cl_device_id device[GPU_MAX_DEVICES];
  cl_command_queue queue[GPU_MAX_DEVICES];
  cl_mem genbuf[GPU_MAX_DEVICES];    // nonces_per_device x 262160 bytes
  cl_mem scoopbuf[GPU_MAX_DEVICES];  // nonces_per_device x 262144 bytes
  cl_event final_event[GPU_MAX_DEVICES][GPU_PASSES_IN_FLIGHT];
  cl_event read_event[GPU_MAX_DEVICES][GPU_PASSES_IN_FLIGHT];
  // GPU_HASH_EVENTS slots for each pass in flight
  cl_event* hash_events[GPU_MAX_DEVICES];
  uint64_t nonces_per_device;
  int hashes_per_launch;
  uint64_t bytes_allocated;
  // The launch geometry every batch, self-test and benchmark of the set
  // uses: the work-group size of every launch (the threads_per_group
  // setting within group_limit), the largest group every device and every
  // kernel of the set accepts (0 = not known), and the rate the set was
  // measured at, nonces per minute per device (0 = not measured), which
  // bounds the hash_down rounds of one launch.
  uint64_t work_group;
  uint64_t group_limit;
  double device_rate;
  // The run's threads_per_group and hash_per_dispatch settings, copied when
  // the set is made.
  int threads_per_group;
  int hash_per_dispatch;
};

// Null when nonces_per_device is 0; otherwise always a set. A device whose
// context, queue, buffers, program or kernels cannot be made is released
// and dropped with a log line, and the devices after it move up: count is
// the number of devices that came up completely (0 when none did).
// The set takes its launch settings from settings.
gpu_s* gpu_create(int count, const int* device_index, uint64_t nonces_per_device,
                  const run_settings_s& settings);
// True when slot i holds a device with every object a batch needs.
bool gpu_device_ready(const gpu_s* gpu, int i);
void gpu_destroy(gpu_s* gpu);  // null allowed; releases exactly what exists
uint64_t gpu_batch_nonces(const gpu_s* gpu);
uint64_t gpu_bytes_allocated(const gpu_s* gpu);
// Of the set's first device; null / 0 for a null set.
const char* gpu_driver_version(const gpu_s* gpu);
uint64_t gpu_global_mem(const gpu_s* gpu);
int gpu_max_work_group(const gpu_s* gpu);

// The largest divisor of wanted that is at most limit (limit 0: wanted).
uint64_t gpu_group_within(uint64_t wanted, uint64_t limit);
// The threads_per_group setting (32 when not set) within every listed
// device's CL_DEVICE_MAX_WORK_GROUP_SIZE and its kernels'
// CL_KERNEL_WORK_GROUP_SIZE where a set made before found it: the size
// that will run, which the plan rounds the device batch by.
uint64_t gpu_devices_work_group(int count, const int* device_index, int threads_per_group);
// Remembers the kernels' work-group limit of listed device index (gpu_create
// calls it for every device it sets up).
void gpu_note_kernel_group_limit(int index, uint64_t limit);
// Sets the set's work-group size to wanted within its devices' and
// kernels' limits and within one device batch, and returns it; for a batch
// that is no whole number of that size, the largest size below that divides
// it. A clamp is logged once per process for each size.
uint64_t gpu_choose_work_group(gpu_s* gpu, uint64_t wanted);
// The nonces one device of the selection can hold in a batch: each of its
// two buffers within CL_DEVICE_MAX_MEM_ALLOC_SIZE, both within seven
// eighths of its memory (the rest stays for the driver and a display).
uint64_t gpu_devices_batch_limit(int count, const int* device_index);
// Gives the set the rate the benchmark measured for count devices
// together (nonces per minute), which bounds the work of one launch.
void gpu_set_rate(gpu_s* gpu, double nonces_per_minute, int count);
// The hash_down rounds of one launch: the hash_per_dispatch setting (the
// set's own value when 0), at most what keeps one launch within
// GPU_LAUNCH_SECONDS on the measured rate, and at most the value a new set
// has (4) while no rate is known. Stored in hashes_per_launch and returned.
int gpu_launch_hashes(gpu_s* gpu);
// The work items of one launch of `final` over a batch of n items in groups
// of local: all n while no rate is known, else as many whole groups as keep
// one launch within GPU_LAUNCH_SECONDS on the measured rate (final hashes
// each nonce's whole area once, about a 128th of the nonce's chain).
uint64_t gpu_final_items(const gpu_s* gpu, uint64_t n, uint64_t local);

// What the completion callbacks of one device batch share. It holds copies
// of the set's numbers, so a callback never reads the set. Everything below
// lock is guarded by it.
struct gpu_batch_context {
  buffer_s* buffer;
  uint64_t base;     // buffer progress when the batch began
  uint64_t hashes;   // hash_down rounds per launch
  uint64_t devices;  // devices in the set
  uint64_t nonces;   // nonces per device
  std::mutex lock;
  uint64_t rounds_done = 0;    // hash_down rounds completed, all devices
  uint64_t callbacks_run = 0;  // callbacks that have finished with it
  uint64_t registered = 0;     // callbacks registered, known once launched
  // Set when the dispatcher gave up waiting for late callbacks: they then
  // leave the buffer alone, and the last of them frees the context.
  bool abandoned = false;
};

// Fills buffer nonces 0..capacity-1 with plot nonces start_nonce.. of
// account; returns the final progress (capacity when complete), 0 on stop,
// OpenCL error, a device that is not ready, or a device batch with a
// compared nonce that differs from the CPU's (nothing of such a batch may
// be written).
uint64_t gpu_plot_buffer(gpu_s* gpu, uint64_t account, uint64_t start_nonce,
                         buffer_s* buffer, volatile bool* stop);
// The same for the first count nonces of the buffer only (at most its
// capacity): the end of a file, where nothing past it is computed.
uint64_t gpu_plot_nonces(gpu_s* gpu, uint64_t account, uint64_t start_nonce,
                         buffer_s* buffer, uint64_t count, volatile bool* stop);
// Completion callback of every hash_down launch.
void CL_CALLBACK gpu_event_progress(cl_event event, cl_int status, void* context);

// Nonces per minute of the selected devices together; 0 (no rate) when no
// device came up or the benchmark batch did not complete.
double gpu_benchmark(int count, const int* device_index, const run_settings_s& settings);
// One batch of the set's size on every device of the set, launched with the
// run's work-group size; the first and last nonce of each device are then
// compared whole with the CPU's. seconds receives the time until every
// device finished. False when the set has no device, a launch fails, or a
// byte differs.
bool gpu_self_test(gpu_s* gpu, double* seconds);

// OpenCL failures told in words. gpu_report_cl_error logs "OpenCL error
// CL_OUT_OF_RESOURCES (-5) from clEnqueueNDRangeKernel (hash_down) on GPU 0
// (name)" for slot i of the set (-1: no device) and keeps it, without the
// "OpenCL error" prefix, as the last GPU failure; gpu_note_failure keeps a
// failure that is not OpenCL's (a nonce that differs from the CPU's).
// gpu_last_failure is what the questions after a failure tell ("" when
// nothing failed since gpu_clear_failure).
void gpu_report_cl_error(const gpu_s* gpu, int i, const char* call, cl_int err);
void gpu_note_failure(const std::string& text);
std::string gpu_last_failure();
void gpu_clear_failure();
