// May use: the C library's stdout, isatty, signal. Holds the program's one way to standard
// output, and the SIGPIPE setting that lets output that cannot be written be dropped instead of
// ending the run: it is made here, on the first output, so it is in every program that prints.
#include "platform/platform.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>

namespace platform {
namespace {

bool prepared = false;
bool console = false;
char outputBuffer[4096];

void prepare() {
    prepared = true;
    signal(SIGPIPE, SIG_IGN);
    console = isatty(STDOUT_FILENO) != 0;
    // A console gets each call's bytes as the call returns; a file or a pipe gets them in blocks
    // of 4096 bytes, the rest when the program exits.
    std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
}

} // namespace

void writeStandardOutput(const char* bytes, std::size_t count) {
    if (!prepared) {
        prepare();
    }
    std::fwrite(bytes, 1, count, stdout);
    if (console) {
        std::fflush(stdout);
    }
    // A failed write is dropped; the next one is tried afresh.
    std::clearerr(stdout);
}

} // namespace platform
