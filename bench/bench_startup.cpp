// Start-up of the program, from fork to the first paint of its window, against a plain
// toolkit window (ref_minimal_window: a main window with a menu, a text view and a button).
// Both run offscreen with UNMZ_REPORT_FIRST_PAINT=1, so each writes "first paint ..." on
// stderr right after its first paint and exits; the time is taken when that line arrives.
// Runs alternate between the two (one warm-up each first); peak RSS is each child's own,
// from wait4().
//
// usage: bench_startup [RUNS [PROGRAM [REFERENCE]]]   (default 15 runs each, the programs
//                                                      built with this benchmark)
#include "bench/BenchFigures.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace
{

using bench::quantile;

using Clock = std::chrono::steady_clock;

constexpr int defaultRuns = 15;
constexpr int childTimeoutMs = 60'000; // a loaded machine may be slow, but not this slow
const char firstPaintLine[] = "first paint ";

struct Run {
    double ms = 0;     // fork to the first-paint line
    double ownMs = -1; // the child's own figure: since its creation, 10 ms steps
    double cpuMs = 0;  // user + system time of the child
    long peakRssKiB = 0;
};

double cpuMsOf(const rusage &usage)
{
    return bench::cpuSeconds(usage) * 1000;
}

// The environment of the children: ours, with the offscreen platform and the report on.
std::vector<std::string> childEnvironment()
{
    std::vector<std::string> env;
    for (char **at = environ; *at; ++at) {
        const std::string item(*at);
        if (item.rfind("QT_QPA_PLATFORM=", 0) != 0
            && item.rfind("UNMZ_REPORT_FIRST_PAINT=", 0) != 0)
            env.push_back(item);
    }
    env.push_back("QT_QPA_PLATFORM=offscreen");
    env.push_back("UNMZ_REPORT_FIRST_PAINT=1");
    return env;
}

// One start of `program`; false (and a message) when it never reports its first paint.
bool timeOne(const char *program, const std::vector<std::string> &env, Run &run)
{
    std::vector<char *> envp;
    for (const std::string &item : env)
        envp.push_back(const_cast<char *>(item.c_str()));
    envp.push_back(nullptr);
    char *argv[] = {const_cast<char *>(program), nullptr};

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        std::perror("pipe");
        return false;
    }
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], STDERR_FILENO);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ::dup2(null, STDOUT_FILENO);
        ::execve(program, argv, envp.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    if (pid < 0) {
        std::perror("fork");
        ::close(fds[0]);
        return false;
    }

    std::string output;
    bool reported = false;
    char buffer[4096];
    while (true) {
        pollfd waitFor{fds[0], POLLIN, 0};
        const int remaining = childTimeoutMs
            - int(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start)
                      .count());
        const int ready = remaining > 0 ? ::poll(&waitFor, 1, remaining) : 0;
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            std::fprintf(stderr, "%s: no first paint within %d ms\n", program, childTimeoutMs);
            ::kill(pid, SIGKILL);
            break;
        }
        const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
        if (got <= 0)
            break;
        output.append(buffer, size_t(got));
        const size_t at = output.find(firstPaintLine);
        if (!reported && at != std::string::npos && output.find('\n', at) != std::string::npos) {
            run.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            run.ownMs = std::atof(output.c_str() + at + sizeof firstPaintLine - 1);
            reported = true;
        }
    }
    ::close(fds[0]);

    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    run.peakRssKiB = usage.ru_maxrss;
    run.cpuMs = cpuMsOf(usage);
    if (!reported) {
        std::fprintf(stderr, "%s: ended (status %d) without a first paint; its output:\n%s\n",
            program, status, output.c_str());
        return false;
    }
    return true;
}

struct Summary {
    double median, q1, q3, min, max, ownMedian, cpuMedian, rssMedianMiB, rssMaxMiB;
};

Summary summarize(const std::vector<Run> &runs)
{
    std::vector<double> ms, own, cpu, rss;
    for (const Run &run : runs) {
        ms.push_back(run.ms);
        own.push_back(run.ownMs);
        cpu.push_back(run.cpuMs);
        rss.push_back(double(run.peakRssKiB) / 1024);
    }
    return {quantile(ms, 0.5), quantile(ms, 0.25), quantile(ms, 0.75), quantile(ms, 0),
        quantile(ms, 1), quantile(own, 0.5), quantile(cpu, 0.5), quantile(rss, 0.5),
        quantile(rss, 1)};
}

void printSummary(const char *label, const Summary &s)
{
    std::printf("  %-18s median %6.1f ms  IQR %6.1f-%6.1f  min %6.1f  max %6.1f  (own report %.0f "
                "ms)\n  %-18s CPU median %6.1f ms  peak RSS median %5.1f MiB, max %5.1f MiB\n",
        label, s.median, s.q1, s.q3, s.min, s.max, s.ownMedian, "", s.cpuMedian, s.rssMedianMiB,
        s.rssMaxMiB);
}

const char *baseName(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

double loadAverage()
{
    double load = -1;
    if (std::FILE *file = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(file, "%lf", &load) != 1)
            load = -1;
        std::fclose(file);
    }
    return load;
}

} // namespace

int main(int argc, char **argv)
{
    const int runs = argc > 1 ? std::atoi(argv[1]) : defaultRuns;
    const char *program = argc > 2 ? argv[2] : UNMZ_UPLOADER_PATH;
    const char *reference = argc > 3 ? argv[3] : UNMZ_REFERENCE_WINDOW_PATH;
    if (runs < 1) {
        std::fprintf(stderr, "usage: bench_startup [RUNS [PROGRAM [REFERENCE]]]\n");
        return 2;
    }
    const std::vector<std::string> env = childEnvironment();

    const double loadBefore = loadAverage();
    Run warmUp;
    if (!timeOne(program, env, warmUp) || !timeOne(reference, env, warmUp))
        return 1;
    std::vector<Run> ours(static_cast<size_t>(runs)), theirs(static_cast<size_t>(runs));
    for (int i = 0; i < runs; ++i) {
        // Alternating, so a change in the machine's load falls on both alike.
        if (!timeOne(program, env, ours[size_t(i)]) || !timeOne(reference, env, theirs[size_t(i)]))
            return 1;
    }
    const double loadAfter = loadAverage();

    const Summary a = summarize(ours), b = summarize(theirs);
    std::printf("fork to first paint, offscreen, %d runs each alternating (load average %.1f "
                "before, %.1f after):\n",
        runs, loadBefore, loadAfter);
    printSummary(baseName(program), a);
    printSummary(baseName(reference), b);
    std::printf("  ratio of medians %s/%s %.2f (goal <= 1.3), of CPU medians %.2f; program peak "
                "RSS %.1f MiB (goal <= 40 MiB)\n",
        baseName(program), baseName(reference), a.median / b.median, a.cpuMedian / b.cpuMedian,
        a.rssMedianMiB);
    return 0;
}
