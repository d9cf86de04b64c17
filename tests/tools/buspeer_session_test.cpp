// An ordinary user asks an elevated peer of its own login session: the answer comes back in the
// session's local names, which both reach. Needs root, to be both users, and a login session of uid
// 65534, which root makes by setting its loginuid in a shell that starts both peers.
#include <gtest/gtest.h>

#include <unistd.h>

#include "support/bus_peers.h"

namespace {

// $1 is buspeer. Exit 77: no session could be made here. Client 110005 in the global scope belongs to
// this test alone.
// clang-format off
constexpr char kScript[] = R"sh(
echo 65534 > /proc/self/loginuid 2>/dev/null || exit 77
command -v setpriv >/dev/null || exit 77
err=$(mktemp)
"$1" listen --as TwUninstall --answer '"from root"' --count 1 --timeout 20000 >/dev/null 2>"$err" &
deadline=$(($(date +%s) + 20))
until grep -q '^listening as' "$err"; do
  [ "$(date +%s)" -lt "$deadline" ] || { cat "$err"; exit 1; }
  sleep 0.05
done
setpriv --reuid=65534 --regid=65534 --clear-groups "$1" query --from 110013 --to TwUninstall --query 1 --timeout 10000
query=$?
wait $! || exit 1
exit $query
)sh";
// clang-format on

TEST(BuspeerSession, AnOrdinaryUserGetsTheAnswerOfAnElevatedPeer) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to be root and a second user in one login session";
  test_support::TempDir temp;
  const auto out = temp.Path() / "out.txt";
  auto shell = platform::ChildProcess::Start("/bin/sh", {"-c", kScript, "sh", test_support::ProgramPath("buspeer")}, {},
                                             out, temp.Path() / "err.txt");
  ASSERT_TRUE(shell);
  const auto code = shell->Wait(test_support::kChildDeadline);
  if (code == 77) GTEST_SKIP() << "cannot set a login uid here (no audit support)";
  EXPECT_EQ(code, 0) << test_support::ReadFile(temp.Path() / "err.txt");
  EXPECT_EQ(test_support::ReadFile(out), "\"from root\"\n");
}

}  // namespace
