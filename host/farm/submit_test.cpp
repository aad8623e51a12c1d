// Frame chunks, script quoting and the job description of cluster submissions.
#include "host/farm/submit.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include <cstdio>
#include <filesystem>

#include "host/core/error.h"
#include "testsupport/test_support.h"

namespace {

using host::Chunk;

std::vector<std::vector<int>> frames_of(const std::vector<Chunk>& chunks) {
  std::vector<std::vector<int>> out;
  for (const Chunk& c : chunks) out.push_back(c.frames());
  return out;
}

TEST(Submit, ChunksCoverTheRangeOnceInOrder) {
  // An uneven last chunk.
  const std::vector<Chunk> twelve = host::split_frames(1, 12, 1, 5);
  EXPECT_EQ(frames_of(twelve),
            (std::vector<std::vector<int>>{{1, 2, 3, 4, 5}, {6, 7, 8, 9, 10}, {11, 12}}));
  EXPECT_EQ(twelve[1].ranges(), "6-10");
  EXPECT_EQ(twelve[2].ranges(), "11-12");
  // One frame: one chunk, written as a single number.
  const std::vector<Chunk> one = host::split_frames(7, 7, 1, 10);
  EXPECT_EQ(frames_of(one), (std::vector<std::vector<int>>{{7}}));
  EXPECT_EQ(one[0].ranges(), "7");
  // Steps: chunks end on frames of the range, and list their frames.
  const std::vector<Chunk> stepped = host::split_frames(-3, 10, 3, 2);
  EXPECT_EQ(frames_of(stepped), (std::vector<std::vector<int>>{{-3, 0}, {3, 6}, {9}}));
  EXPECT_EQ(stepped[0].ranges(), "-3 0");
  // Every range and size: each frame exactly once, chunks never over size.
  for (int step = 1; step <= 4; ++step)
    for (int size = 1; size <= 6; ++size)
      for (int last = 0; last <= 20; ++last) {
        std::vector<int> all;
        for (const Chunk& c : host::split_frames(0, last, step, size)) {
          ASSERT_LE(c.frames().size(), size_t(size));
          ASSERT_FALSE(c.frames().empty());
          for (int f : c.frames()) all.push_back(f);
        }
        std::vector<int> expected;
        for (int f = 0; f <= last; f += step) expected.push_back(f);
        ASSERT_EQ(all, expected) << step << " " << size << " " << last;
      }
  EXPECT_THROW(host::split_frames(5, 4, 1, 1), host::HostError);
  EXPECT_THROW(host::split_frames(1, 4, 1, 0), host::HostError);
  // Near the top of the integers nothing wraps around.
  EXPECT_EQ(host::split_frames(2147483640, 2147483647, 1, 5).size(), 2u);
}

TEST(Submit, ArrayIndicesJoinRuns) {
  EXPECT_EQ(host::array_indices({0, 1, 2}, 0), "0-2");
  EXPECT_EQ(host::array_indices({1, 3, 4, 5, 9}, 2), "1,3-5,9%2");
  EXPECT_EQ(host::array_indices({4}, 0), "4");
}

host::JobSpec sample_job(const testing_support::TempDir& dir) {
  host::JobSpec job;
  job.program = dir.file("bin dir/it's \"here\"");
  job.scene = "/shots/my scene's.vsc";
  job.plugin = "/opt/v/vantrel64.so";
  job.background = "/plates/bg $HOME.####.exr";
  job.outputs = {"/out/sky `x`.####.png", "/out/sky.%04d.exr"};
  job.databases = {"/db/a b.stars"};
  job.workdir = "/work dir";
  job.jobdir = "/out/sky.job";
  job.name = "vantrel-shot";
  job.first = 1, job.last = 12, job.chunk = 5, job.width = 64, job.height = 48, job.jobs = 2;
  job.partition = "render";
  job.time_limit = "1:00:00";
  job.sbatch_args = {"--mem=4G", "--comment=a \"quoted\" word"};
  return job;
}

#ifndef _WIN32
// The task script as bash runs it, with a program that prints its arguments.
std::string run_task(const testing_support::TempDir& dir, const host::JobSpec& job, int task) {
  testing_support::write_bytes(dir.file("task.sh"), host::render_script(job));
  const std::string cmd = "SLURM_ARRAY_TASK_ID=" + std::to_string(task) + " bash '" +
                          dir.file("task.sh") + "' > '" + dir.file("args.txt") + "' 2>&1";
  const int status = std::system(cmd.c_str());
  return testing_support::read_bytes(dir.file("args.txt")) + "status " +
         std::to_string(WEXITSTATUS(status));
}

#endif

TEST(Submit, TaskScriptPassesPathsThroughTheShellUnchanged) {
#ifdef _WIN32
  GTEST_SKIP() << "the task script runs under bash on the cluster's nodes; Windows has none";
#else
  testing_support::TempDir dir;
  host::JobSpec job = sample_job(dir);
  testing_support::make_dirs(dir.file("bin dir"));
  // Prints each argument on a line; fails for frames 11-12 and for frame 1 alone.
  testing_support::write_bytes(job.program,
                               "#!/bin/sh\nfor a in \"$@\"; do echo \"[$a]\"; done\n"
                               "case \" $* \" in *' 11-12 '* | *' 1 '*) exit 3;; esac\n");
  std::filesystem::permissions(job.program, std::filesystem::perms::owner_all);
  const std::string args =
      "[render]\n[/shots/my scene's.vsc]\n[--plugin]\n[/opt/v/vantrel64.so]\n[--frames]\n[6-10]\n"
      "[--background]\n[/plates/bg $HOME.####.exr]\n[-o]\n[/out/sky `x`.####.png]\n[-o]\n"
      "[/out/sky.%04d.exr]\n";
  EXPECT_EQ(run_task(dir, job, 1), args + "status 0");
  // The render's failure is the task's.
  EXPECT_NE(run_task(dir, job, 2).find("status 3"), std::string::npos);
  // No such chunk: an error, not a silent success.
  const std::string none = run_task(dir, job, 3);
  EXPECT_NE(none.find("no chunk '3'"), std::string::npos) << none;
  EXPECT_NE(none.find("status 2"), std::string::npos) << none;
  // With a step, a task renders its frames one by one, and stops at the first failure.
  job.first = 1, job.last = 13, job.step = 4, job.chunk = 2;
  const std::string stepped = run_task(dir, job, 1);
  EXPECT_NE(stepped.find("[--frames]\n[9]\n"), std::string::npos) << stepped;
  EXPECT_NE(stepped.find("[--frames]\n[13]\n"), std::string::npos) << stepped;
  EXPECT_NE(stepped.find("status 0"), std::string::npos) << stepped;
  const std::string failed = run_task(dir, job, 0);
  EXPECT_NE(failed.find("[--frames]\n[1]\n"), std::string::npos) << failed;
  EXPECT_EQ(failed.find("[5]"), std::string::npos) << failed;
  EXPECT_NE(failed.find("status 3"), std::string::npos) << failed;
#endif
}

TEST(Submit, ScriptsCarryTheirSlurmOptions) {
  testing_support::TempDir dir;
  const host::JobSpec job = sample_job(dir);
  const std::string render = host::render_script(job);
  for (const char* line :
       {"#!/bin/bash\n", "#SBATCH --array=0-2%2\n", "#SBATCH --job-name=\"vantrel-shot\"\n",
        "#SBATCH --output=\"/out/sky.job/logs/render-%A_%a.out\"\n",
        "#SBATCH --chdir=\"/work dir\"\n", "#SBATCH --partition=\"render\"\n",
        "#SBATCH --time=\"1:00:00\"\n", "#SBATCH --mem=4G\n",
        "#SBATCH --comment='a \"quoted\" word'\n"})
    EXPECT_NE(render.find(line), std::string::npos) << line << render;
  const std::string check = host::check_script(job);
  EXPECT_NE(check.find("#SBATCH --kill-on-invalid-dep=yes\n"), std::string::npos) << check;
  EXPECT_NE(check.find("#SBATCH --output=\"/out/sky.job/logs/check-%j.out\"\n"), std::string::npos);
  EXPECT_NE(check.find(" submit --check '/out/sky.job'\n"), std::string::npos) << check;
  EXPECT_EQ(check.find("--array"), std::string::npos);
  // Values sbatch could not read back are refused, not written wrong.
  host::JobSpec both = job;
  both.workdir = "/it's \"both\"";
  EXPECT_THROW(host::render_script(both), host::HostError);
  both = job;
  both.jobdir = "/out/100%.job";
  EXPECT_THROW(host::render_script(both), host::HostError);
}

TEST(Submit, JobDescriptionReadsBackWhole) {
  testing_support::TempDir dir;
  const host::JobSpec job = sample_job(dir);
  const std::string text = host::format_job(job);
  const host::JobSpec back = host::parse_job(text, "job.txt");
  EXPECT_EQ(host::format_job(back), text);
  EXPECT_EQ(back.outputs, job.outputs);
  EXPECT_EQ(back.sbatch_args, job.sbatch_args);
  EXPECT_EQ(back.program, job.program);
  EXPECT_EQ(back.chunk, 5);
  EXPECT_EQ(back.jobs, 2);
  try {
    host::parse_job("VantrelJob 1\nChunk \"five\"\n", "job.txt");
    FAIL();
  } catch (const host::HostError& e) {
    EXPECT_STREQ(e.what(), "job.txt:2: Chunk expects an integer, found 'five'");
  }
  EXPECT_THROW(host::parse_job("VantrelScene 1\n", "job.txt"), host::HostError);
  EXPECT_THROW(host::parse_job("VantrelJob 1\nColour \"red\"\n", "job.txt"), host::HostError);
  EXPECT_THROW(host::parse_job("VantrelJob 1\nFirst \"9\"\nLast \"2\"\n", "job.txt"),
               host::HostError);
}

}  // namespace
