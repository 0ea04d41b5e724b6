// The ntsnap program built for this machine: a whole run, with its output read, closed early,
// or not open at all.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

extern char** environ;

namespace {

enum class Output { read, closeAfterFirstByte, closed };

// Runs the program with `option` (or none) and returns its wait status; `text` gets what it
// printed (the first byte only when the reader stops there).
int runProgram(const char* option, Output output, std::string* text) {
    const char* exe = std::getenv("NTSNAP_EXE");
    int ends[2];
    if (pipe(ends) != 0) {
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (output == Output::closed) {
        posix_spawn_file_actions_addclose(&actions, STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    }
    posix_spawn_file_actions_addclose(&actions, ends[0]);
    posix_spawn_file_actions_addclose(&actions, ends[1]);
    char* argv[] = {const_cast<char*>(exe), const_cast<char*>(option), nullptr};
    pid_t pid = -1;
    int spawned = posix_spawn(&pid, exe, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    if (spawned != 0) {
        close(ends[0]);
        ADD_FAILURE() << "cannot start " << exe;
        return -1;
    }
    char buffer[65536];
    for (;;) {
        ssize_t n =
            read(ends[0], buffer, output == Output::closeAfterFirstByte ? 1 : sizeof buffer);
        if (n <= 0) {
            break;
        }
        text->append(buffer, static_cast<std::size_t>(n));
        if (output == Output::closeAfterFirstByte) {
            break;
        }
    }
    close(ends[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

// The program to run comes from the build (ctest passes it); without it there is nothing to test.
class ProgramRun : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::getenv("NTSNAP_EXE") == nullptr) {
            GTEST_SKIP() << "NTSNAP_EXE names no program";
        }
    }
};

TEST_F(ProgramRun, BothReportsOfThisMachineAndExitZero) {
    std::string text;
    int status = runProgram(nullptr, Output::read, &text);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << text.substr(0, 400);
    EXPECT_NE(text.find("PROCESS SNAPSHOT"), std::string::npos);
    EXPECT_NE(text.find("THREAD SNAPSHOT"), std::string::npos);
    EXPECT_NE(text.find("Idle"), std::string::npos);
    EXPECT_EQ(text.find("probe"), std::string::npos) << "a step failed";
    // Every line ends in CR LF.
    EXPECT_EQ(text.find("\r\n"), text.find('\n') - 1);
}

TEST_F(ProgramRun, ExitsZeroWhenItsOutputIsClosedEarlyOrNotOpen) {
    for (const char* option : {static_cast<const char*>(nullptr), "/p", "/t"}) {
        std::string text;
        int status = runProgram(option, Output::closeAfterFirstByte, &text);
        ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_EQ(text.size(), 1u);
        text.clear();
        status = runProgram(option, Output::closed, &text);
        ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
}

} // namespace
