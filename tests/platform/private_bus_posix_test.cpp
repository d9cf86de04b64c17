// A private bus's folder on Linux: what /dev/shm is to the default bus, so only a folder that nobody else
// may change is used.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/private_bus_job.h"

namespace {

namespace fs = std::filesystem;
using test_support::PrivateBusJob;
using test_support::RefusedBusReport;

TEST(PrivateBusFolder, OneThatOthersMayChangeIsRefusedUnlessSticky) {
  const test_support::TempDir temp;
  const fs::path open_folder = temp.Path() / "open";
  fs::create_directory(open_folder);
  ASSERT_EQ(::chmod(open_folder.c_str(), 0777), 0);
  EXPECT_EQ(RefusedBusReport(PrivateBusJob(open_folder), temp.Path() / "open.log"),
            "SPINDREL_BUS_ROOT=" + open_folder.string() + " refused");
  EXPECT_NE(test_support::ReadFile(temp.Path() / "open.log").find("writable by group or others and not sticky"),
            std::string::npos);

  // Sticky, as /dev/shm itself is: nobody else can rename or remove the namespace folders in it.
  ASSERT_EQ(::chmod(open_folder.c_str(), 01777), 0);
  auto job = test_support::StartChild("private-bus-registry", {test_support::Unique("sticky"), "x", "clean"},
                                      PrivateBusJob(open_folder).Environment());
  ASSERT_TRUE(job);
  EXPECT_EQ(job->Wait(test_support::kChildDeadline), 0);
  EXPECT_TRUE(fs::is_directory(open_folder / "registry"));
}

TEST(PrivateBusFolder, OneOfAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to run a job as a second user";
  if (!fs::exists("/usr/bin/setpriv")) GTEST_SKIP() << "needs setpriv, to run a job as a second user";
  const test_support::TempDir temp;
  const fs::path roots = temp.Path() / "roots";  // root's, 0700, made as the job's folder would be
  fs::create_directory(roots);
  ASSERT_EQ(::chmod(roots.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(temp.Path().c_str(), 0755), 0);
  EXPECT_EQ(RefusedBusReport(PrivateBusJob(roots), temp.Path() / "stranger.log",
                             {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}),
            "SPINDREL_BUS_ROOT=" + roots.string() + " refused");
  EXPECT_NE(test_support::ReadFile(temp.Path() / "stranger.log")
                .find("owned by uid 0, not by this process's user (uid 65534)"),
            std::string::npos);
}

}  // namespace
