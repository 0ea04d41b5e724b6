// A made load for the whole-run comparison: PROCESSES processes of THREADS threads each (the main
// thread included), all asleep, for at most SECONDS seconds. Prints "ready" once every thread
// exists, then waits for the time to pass or for SIGINT/SIGTERM, and ends every process it
// started by its own id before it returns. Children also die with it (PR_SET_PDEATHSIG).
//
//   load_generator [PROCESSES=2000] [THREADS=10] [SECONDS=60]
//
// Bounded: at most 5000 processes, 64 threads each, 600 seconds.
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace {

volatile sig_atomic_t stopRequested = 0;

void onStop(int) {
    stopRequested = 1;
}

long argument(int argc, char** argv, int index, long fallback, long low, long high) {
    long value = index < argc ? std::strtol(argv[index], nullptr, 10) : fallback;
    return value < low ? low : value > high ? high : value;
}

void* sleeper(void*) {
    for (;;) {
        pause();
    }
    return nullptr;
}

// The body of one loaded process: its threads, a byte on `ready` once they exist, then sleep.
[[noreturn]] void child(int ready, long threads, pid_t parent) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) {
        _exit(0); // the generator is already gone
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 64 * 1024);
    for (long i = 1; i < threads; ++i) {
        pthread_t id;
        if (pthread_create(&id, &attr, sleeper, nullptr) != 0) {
            break;
        }
    }
    char byte = 1;
    ssize_t written = write(ready, &byte, 1);
    (void)written;
    close(ready);
    for (;;) {
        pause();
    }
}

} // namespace

int main(int argc, char** argv) {
    const long processes = argument(argc, argv, 1, 2000, 1, 5000);
    const long threads = argument(argc, argv, 2, 10, 1, 64);
    const long seconds = argument(argc, argv, 3, 60, 1, 600);

    struct sigaction action {};
    action.sa_handler = onStop;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) {
        std::perror("load_generator: pipe");
        return 1;
    }
    const pid_t self = getpid();
    std::vector<pid_t> children;
    children.reserve(static_cast<std::size_t>(processes));
    for (long i = 0; i < processes && !stopRequested; ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            close(pipeEnds[0]);
            child(pipeEnds[1], threads, self);
        }
        if (pid < 0) {
            std::perror("load_generator: fork");
            break;
        }
        children.push_back(pid);
    }
    close(pipeEnds[1]);
    std::size_t readyCount = 0;
    char byte;
    while (readyCount < children.size() && !stopRequested) {
        ssize_t n = read(pipeEnds[0], &byte, 1);
        if (n == 1) {
            ++readyCount;
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    close(pipeEnds[0]);
    std::printf("ready %zu processes x %ld threads\n", readyCount, threads);
    std::fflush(stdout);

    const std::time_t end = std::time(nullptr) + seconds;
    while (!stopRequested && std::time(nullptr) < end) {
        sleep(1);
    }
    for (pid_t pid : children) {
        kill(pid, SIGKILL);
    }
    for (pid_t pid : children) {
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    return 0;
}
