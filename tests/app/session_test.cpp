// An unfinished session as the next start meets it: what is stored as one,
// which restored entries are taken, what a discard removes, and a session
// whose disk is not there.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include "app/drives.h"
#include "app/prefs.h"
#include "appdata_fixture.h"
#include "engine/plot_file.h"
#include "platform/sys_linux.h"
#include "tests/support/loop_fs.h"

using namespace appdata_test;

namespace {

std::vector<std::string>& questions() {
  static std::vector<std::string> list;
  return list;
}
bool g_answer = true;
bool record_question(const char* title, const char* text) {
  questions().push_back(std::string(title) + ": " + text);
  return g_answer;
}

class session_test : public app_fixture {
 protected:
  void SetUp() override {
    app_fixture::SetUp();
    questions().clear();
    g_answer = true;
    old_question_ = g_app_question;
    g_app_question = record_question;
  }
  void TearDown() override {
    g_app_question = old_question_;
    g_plan_restored = false;
    app_fixture::TearDown();
  }
  bool load(const std::string& text) {
    write_file(dir_ + "/config.yml", text);
    bool ok = prefs_load();
    ui_tasks_run();
    return ok;
  }
  bool told(const std::string& part) {
    for (const std::string& m : messages())
      if (m.find(part) != std::string::npos) return true;
    return false;
  }
  void restart() {
    plotter_destroy(g_plotter);
    plots_destroy(g_plots);
    g_plotter = plotter_create();
    g_plots = plots_create();
    g_ssds.clear();
    g_drives.clear();
    g_plan_restored = false;
    messages().clear();
    unlink((dir_ + "/config.yml.damaged").c_str());
  }
  static std::string entry(uint64_t start, uint64_t count, const std::string& write, const std::string& move = "") {
    return "  - {start: " + std::to_string(start) + ", count: " + std::to_string(count) + ", write: " + write +
           (move.empty() ? "" : ", move: " + move) + "}\n";
  }
  bool (*old_question_)(const char*, const char*) = nullptr;
};

void preallocate(const std::string& path, uint64_t bytes) {
  int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(posix_fallocate(fd, 0, (off_t)bytes), 0) << path;
  close(fd);
}

}  // namespace

// A plan drawn up and never started is no session; the RAM amount is a
// setting of its own and outlives every run.
TEST_F(session_test, plan_that_never_ran_is_no_session_and_the_ram_amount_stays) {
  std::string t = sub("t");
  drive_add(1, t.c_str(), 0);
  ASSERT_GT(plotter_job_count(g_plotter), 0u);
  g_resume_ram = 3ull << 30;
  ASSERT_TRUE(prefs_save());
  restart();
  g_resume_ram = 0;
  ASSERT_TRUE(load(read_file(dir_ + "/config.yml")));
  EXPECT_FALSE(told("Auto-Resuming"));
  EXPECT_EQ(plotter_job_count(g_plotter), 0u);
  EXPECT_EQ(g_resume_ram, 3ull << 30);

  // A run that was started is one, scatter runs included.
  g_ssd_scatter = true;
  drive_add(1, t.c_str(), 0);
  g_plan_restored = true;  // what starting the run sets
  ASSERT_TRUE(prefs_save());
  restart();
  ASSERT_TRUE(load(read_file(dir_ + "/config.yml")));
  EXPECT_TRUE(told("Auto-Resuming"));
  EXPECT_GT(plotter_job_count(g_plotter), 0u);
}

// Hand-made entries get the checks of a new plan, each refusal naming its
// entry; the valid ones still resume.
TEST_F(session_test, restored_entries_pass_the_checks_of_a_new_plan) {
  std::string t = sub("t");
  const std::string head = "account: 7\nresume_drives: [" + t + "]\nresume_plots:\n";
  const uint64_t huge = 256ull << 30;  // 64 PiB of nonces: past any free space
  struct case_s {
    std::string entries;
    std::string why;
    std::vector<planned_s> kept;
  } cases[] = {
      {entry(0, 1000, t), "resume entry 1 has 1000 nonces, not a multiple of 256", {}},
      {entry(0, 256, t) + entry(0, 256, t), "resume entry 2 names the same file as resume entry 1", {{t, "", 0, 256}}},
      {entry(0, 512, t) + entry(256, 512, t), "resume entry 2 is refused: two files share nonces from 256",
       {{t, "", 0, 512}}},
      {entry(0, 256, t) + entry(1 << 20, huge, t), "resume entry 2 is refused: a file system would be booked",
       {{t, "", 0, 256}}},
  };
  for (const case_s& c : cases) {
    SCOPED_TRACE(c.entries);
    restart();
    ASSERT_TRUE(load(head + c.entries));
    EXPECT_TRUE(told(c.why));
    EXPECT_EQ(planned_jobs(), c.kept);
  }
}

// A file that is already on its disk books only the blocks it lacks: a
// preallocated one nothing, a sparse one (a file system without
// preallocation) the rest of its size.
TEST_F(session_test, restored_files_book_the_blocks_they_still_need) {
  loop_fs_s fs(192);
  if (!fs.ok()) GTEST_SKIP() << fs.why;
  std::string t = fs.file("t");
  mkdir(t.c_str(), 0755);
  preallocate(t + "/7_0_512.plotting", 512 * 262144);
  make_file(t + "/7_512_512.plotting", 512 * 262144);
  ASSERT_TRUE(load("account: 7\nresume_drives: [" + t + "]\nresume_plots:\n" + entry(0, 512, t) +
                   entry(512, 512, t)));
  std::vector<planned_s> want = {{t, "", 0, 512}};
  EXPECT_EQ(planned_jobs(), want);
  EXPECT_TRUE(told("resume entry 2 is refused: a file system would be booked"));
}

// "Discard" names and removes every unfinished file of the session, and
// only those: ".plotting", complete staged files, ".moving", ".scattering".
TEST_F(session_test, discard_removes_and_names_every_unfinished_file) {
  for (bool scatter : {false, true}) {
    SCOPED_TRACE(scatter ? "scatter" : "move");
    restart();
    g_ssd_scatter = scatter;
    std::string ssd = sub(scatter ? "ssd2" : "ssd"), t = sub(scatter ? "t2" : "t");
    std::vector<std::string> files = {ssd + "/7_0_256.plotting", ssd + "/7_256_256"};
    files.push_back(scatter ? t + "/7_0_768.scattering" : t + "/7_512_256.moving");
    if (!scatter) make_file(ssd + "/7_512_256", 256 * 262144);
    for (const std::string& f : files) make_file(f, 4096);
    std::string other = t + "/7_9000_256";  // a finished plot of another run
    make_file(other, 256 * 262144);
    ASSERT_TRUE(load("account: 7\nresume_ssds: [" + ssd + "]\nresume_drives: [" + t + "]\nresume_plots:\n" +
                     entry(0, 256, ssd, t) + entry(256, 256, ssd, t) + entry(512, 256, ssd, t)));
    ASSERT_EQ(plotter_job_count(g_plotter), 3u);
    ASSERT_TRUE(drive_plan_may_replace());
    ASSERT_EQ(questions().size(), 1u);
    const std::string& q = questions().back();
    for (const std::string& f : files) {
      EXPECT_NE(q.find(f), std::string::npos) << f;
      EXPECT_FALSE(sys_exists(f.c_str())) << f;
    }
    if (!scatter) {
      EXPECT_NE(q.find(ssd + "/7_512_256\n"), std::string::npos);
      EXPECT_FALSE(sys_exists((ssd + "/7_512_256").c_str()));
    }
    EXPECT_EQ(q.find(".plotting", q.find(files[0]) + files[0].size()), std::string::npos) << "names only what exists";
    EXPECT_TRUE(sys_exists(other.c_str()));
    questions().clear();
  }
}

// A restored job whose folder is no longer on the file system its session
// wrote on (the disk is not mounted): the user hears of the file and the
// disk, waits (nothing starts) or discards that part.
TEST_F(session_test, session_whose_disk_is_missing_waits_or_drops_that_part) {
  std::string t = sub("t"), u = sub("u");
  std::string here;
  ASSERT_TRUE(sys_fs_identity(t.c_str(), &here));
  const std::string text = "account: 7\nresume_drives: [" + t + ", " + u + "]\nresume_plots:\n" +
                           "  - {start: 0, count: 256, write: " + t + ", write_fs: \"fsid:gone\"}\n" +
                           "  - {start: 256, count: 256, write: " + u + ", write_fs: \"" + here + "\"}\n";
  for (bool discard : {false, true}) {
    restart();
    ASSERT_TRUE(load(text));
    ASSERT_EQ(plotter_job_count(g_plotter), 2u);
    g_answer = discard;
    questions().clear();
    EXPECT_EQ(drive_session_disks_ready(), discard);
    ASSERT_EQ(questions().size(), 1u);
    EXPECT_NE(questions()[0].find(t + "/7_0_256 on " + t), std::string::npos) << questions()[0];
    EXPECT_EQ(questions()[0].find(u + "/7_256_256"), std::string::npos);
    std::vector<planned_s> all = {{t, "", 0, 256}, {u, "", 256, 256}};
    std::vector<planned_s> rest = {{u, "", 256, 256}};
    EXPECT_EQ(planned_jobs(), discard ? rest : all);
  }
  // What the session is stored with names its file systems again.
  g_plan_restored = true;
  ASSERT_TRUE(prefs_save());
  YAML::Node saved = YAML::Load(read_file(dir_ + "/config.yml"));
  EXPECT_EQ(saved["resume_plots"][0]["write_fs"].as<std::string>(""), here);
}

// A session stored without its disks (an older config.yml, one edited by
// hand) whose disk is not mounted: its folder is the empty mount point on
// the system disk. Start asks, naming the file and the folder, and nothing
// is made there. A folder that holds a file of the session is its disk, so
// a job there that never began is not asked about.
TEST_F(session_test, older_session_whose_disk_is_absent_asks_before_anything_is_made) {
  loop_fs_s fs(64);
  if (!fs.ok()) GTEST_SKIP() << "loop ext4: " << fs.why;
  ASSERT_TRUE(fs.unmount());
  const std::string gone = fs.mount_point, here = sub("here");
  make_file(here + "/7_512_256.plotting", 4096);
  const std::string text = "account: 7\nresume_drives: [" + gone + ", " + here + "]\nresume_plots:\n" +
                           entry(0, 256, gone) + entry(512, 256, here) + entry(768, 256, here);
  for (bool discard : {false, true}) {
    SCOPED_TRACE(discard ? "discard" : "wait");
    restart();
    ASSERT_TRUE(load(text));
    ASSERT_EQ(plotter_job_count(g_plotter), 3u);
    g_answer = discard;
    questions().clear();
    EXPECT_EQ(drive_session_disks_ready(), discard);
    ASSERT_EQ(questions().size(), 1u);
    const std::string& q = questions()[0];
    EXPECT_EQ(q.rfind("Disk missing: ", 0), 0u) << q;
    EXPECT_NE(q.find(gone + "/7_0_256 on " + gone), std::string::npos) << q;
    EXPECT_EQ(q.find("7_768_256"), std::string::npos) << q;
    std::vector<planned_s> all = {{gone, "", 0, 256}, {here, "", 512, 256}, {here, "", 768, 256}};
    std::vector<planned_s> rest = {{here, "", 512, 256}, {here, "", 768, 256}};
    EXPECT_EQ(planned_jobs(), discard ? rest : all);
    struct stat st;
    EXPECT_NE(stat((gone + "/7_0_256.plotting").c_str(), &st), 0) << "made on the empty mount point";
  }
}

// A job whose new file could not be made left nothing on disk: the stored
// session does not name it, and a session of only such jobs is none.
TEST_F(session_test, job_whose_file_was_refused_is_not_stored) {
  std::string t = sub("t");
  ASSERT_TRUE(load("account: 7\nresume_drives: [" + t + "]\nresume_plots:\n" + entry(0, 256, t) + entry(256, 256, t)));
  std::vector<job_s*> jobs;
  plotter_for_each_job(g_plotter, [&jobs](job_s* j) {
    jobs.push_back(j);
    return true;
  });
  ASSERT_EQ(jobs.size(), 2u);
  jobs[1]->file_refused = true;
  ASSERT_TRUE(prefs_save());
  YAML::Node saved = YAML::Load(read_file(dir_ + "/config.yml"));
  ASSERT_EQ(saved["resume_plots"].size(), 1u);
  EXPECT_EQ(saved["resume_plots"][0]["start"].as<uint64_t>(), 0u);
  jobs[0]->file_refused = true;
  ASSERT_TRUE(prefs_save());
  saved = YAML::Load(read_file(dir_ + "/config.yml"));
  EXPECT_FALSE(saved["resume_plots"].IsDefined());
}
