// RunCommand with real shell commands: what they print, how they end, and what they cannot
// reach (a terminal, our input, our descriptors), within the time bound.
#include "platform/run_command.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

using platform::CommandResult;
using platform::RunCommand;
using namespace std::chrono_literals;

TEST(RunCommand, OutputAndEndingAreReported) {
    CommandResult lines = RunCommand("printf 'first\\nsecond\\n'; echo oops >&2", 10s);
    EXPECT_TRUE(lines.Succeeded());
    EXPECT_EQ(lines.output, "first\nsecond\n");
    EXPECT_EQ(lines.errorOutput, "oops\n");
    EXPECT_EQ(platform::FirstLine(lines.output), "first");

    CommandResult failed = RunCommand("echo 'no such item' >&2; exit 3", 10s);
    EXPECT_TRUE(failed.started);
    EXPECT_FALSE(failed.Succeeded());
    EXPECT_EQ(failed.exitStatus, 3);
    EXPECT_EQ(failed.Ending(), "exit status 3");

    CommandResult killed = RunCommand("kill -TERM $$", 10s);
    EXPECT_EQ(killed.signal, 15);
    EXPECT_EQ(killed.Ending(), "killed by signal 15");

    CommandResult missing = RunCommand("/nonexistent/helper", 10s);
    EXPECT_EQ(missing.exitStatus, 127);
    EXPECT_NE(missing.errorOutput.find("nonexistent"), std::string::npos);
}

TEST(RunCommand, FirstLineEndsAtAnyLineEnd) {
    EXPECT_EQ(platform::FirstLine("token\r\nrest"), "token");
    EXPECT_EQ(platform::FirstLine("token\rrest"), "token");
    EXPECT_EQ(platform::FirstLine("no end"), "no end");
    EXPECT_EQ(platform::FirstLine("\nsecond"), "");
}

TEST(RunCommand, ACommandThatHangsOrLeavesItsOutputOpenIsKilledAtTheBound) {
    CommandResult hung = RunCommand("echo partial; sleep 30", 300ms);
    EXPECT_TRUE(hung.timedOut);
    EXPECT_FALSE(hung.Succeeded());
    EXPECT_EQ(hung.Ending(), "no answer within the time bound (killed)");
    EXPECT_EQ(hung.output, "partial\n");

    // The shell ends at once, but a process it left behind holds the output open: the whole
    // group is killed, so no helper of a failed fetch lives on.
    char marker[] = "/tmp/vantro-run-XXXXXX";
    int fd = mkstemp(marker);
    ASSERT_GE(fd, 0);
    close(fd);
    CommandResult left =
        RunCommand(std::string("(sleep 1; echo alive > ") + marker + ") & echo done", 300ms);
    EXPECT_TRUE(left.timedOut);
    sleep(2);
    char byte;
    fd = open(marker, O_RDONLY);
    EXPECT_EQ(read(fd, &byte, 1), 0) << "the background helper outlived the kill";
    close(fd);
    unlink(marker);
}

TEST(RunCommand, NoTerminalNoInputAndNoneOfOurDescriptors) {
    // A helper that would prompt finds no terminal and no input, instead of waiting forever.
    CommandResult prompt = RunCommand("read answer < /dev/tty", 10s);
    EXPECT_FALSE(prompt.Succeeded());
    EXPECT_FALSE(prompt.timedOut);
    CommandResult input = RunCommand("cat", 10s);
    EXPECT_TRUE(input.Succeeded());
    EXPECT_EQ(input.output, "");

    int inherited = open("/dev/null", O_RDONLY); // deliberately without O_CLOEXEC
    ASSERT_GE(inherited, 3);
    CommandResult fds = RunCommand("ls /proc/self/fd", 10s);
    close(inherited);
    EXPECT_EQ(fds.output, "0\n1\n2\n3\n"); // 3 is the listing's own folder
}

TEST(RunCommand, EndlessOutputIsBoundedAndDoesNotBlockTheCommand) {
    CommandResult flood = RunCommand("head -c 1000000 /dev/zero", 10s);
    EXPECT_TRUE(flood.Succeeded());
    EXPECT_EQ(flood.output.size(), platform::kMaxCommandOutput);
}
