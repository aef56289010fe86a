// The document search of the upload (findDocuments) over a tree of 100,000 files in 2,000
// folders holding 10,000 PDFs (half ".pdf", half ".PDF", Latin and Cyrillic names, among
// decoys such as "x.pdf.txt", "pdf", "a.pd"), against `find DIR -iname '*.pdf'`. Both run
// as child processes (the search by this program re-run with --search-only), alternating,
// warm cache (one warm-up each, which also checks that both find the same documents);
// times are whole processes, fork to exit, and peak RSS is each child's own.
//
// usage: bench_discovery [FOLDER [RUNS]]   the tree is made in FOLDER/discovery-tree once
//                                          and kept (default: a temporary folder, removed
//                                          afterwards); 9 runs each by default
//        bench_discovery --search-only DIR prints "<documents> <search s> <peak RSS KiB>"
#include "upload/uFiles.h"

#include "bench/BenchFigures.h"

#include <QString>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

using bench::quantile;

using Clock = std::chrono::steady_clock;

constexpr int topFolders = 40;
constexpr int subFoldersEach = 49; // 40 + 40 * 49 = 2,000 folders
constexpr int documentsEach = 5;   // 10,000 PDFs
constexpr int othersEach = 45;     // 90,000 other files
constexpr int defaultRuns = 9;
const char treeName[] = "discovery-tree";
const char completeMark[] = ".complete"; // written last: a tree cut short is made again

bool touch(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::perror(path.c_str());
        return false;
    }
    ::close(fd);
    return true;
}

// Names that look like documents but are not "*.pdf".
std::string decoyName(int j)
{
    char name[64];
    switch (j % 9) {
    case 0: std::snprintf(name, sizeof name, "x%02d.pdf.txt", j); break;
    case 1: std::snprintf(name, sizeof name, "a%02d.pd", j); break;
    case 2:
        if (j == 2)
            std::snprintf(name, sizeof name, "pdf");
        else
            std::snprintf(name, sizeof name, "%02dpdf", j);
        break;
    case 3: std::snprintf(name, sizeof name, "scan%02d.pdfx", j); break;
    case 4: std::snprintf(name, sizeof name, "%02d.PDF.bak", j); break;
    case 5: std::snprintf(name, sizeof name, "note%02d.txt", j); break;
    case 6: std::snprintf(name, sizeof name, "Реестр_%02d.xlsx", j); break;
    case 7: std::snprintf(name, sizeof name, "photo%02d.jpg", j); break;
    default: std::snprintf(name, sizeof name, "file%02d.p.d.f", j); break;
    }
    return name;
}

bool fillFolder(const std::string &folder, int &documentNumber)
{
    if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
        std::perror(folder.c_str());
        return false;
    }
    for (int i = 0; i < documentsEach; ++i, ++documentNumber) {
        char name[64];
        const char *stem = (documentNumber / 2) % 2 ? "Акт_приёмки_" : "scan_";
        std::snprintf(name, sizeof name, "%s%05d.%s", stem, documentNumber,
            documentNumber % 2 ? "PDF" : "pdf");
        if (!touch(folder + '/' + name))
            return false;
    }
    for (int j = 0; j < othersEach; ++j) {
        if (!touch(folder + '/' + decoyName(j)))
            return false;
    }
    return true;
}

bool makeTree(const std::string &root)
{
    if (::access((root + '/' + completeMark).c_str(), F_OK) == 0)
        return true;
    std::printf("making the tree in %s ...\n", root.c_str());
    std::fflush(stdout);
    std::filesystem::remove_all(root);
    std::error_code error;
    std::filesystem::create_directories(root, error);
    if (error) {
        std::fprintf(stderr, "%s: %s\n", root.c_str(), error.message().c_str());
        return false;
    }
    int documentNumber = 0;
    for (int t = 0; t < topFolders; ++t) {
        char top[64];
        std::snprintf(top, sizeof top, "/Раздел_%02d", t);
        if (!fillFolder(root + top, documentNumber))
            return false;
        for (int s = 0; s < subFoldersEach; ++s) {
            char sub[64];
            std::snprintf(sub, sizeof sub, "/папка %02d", s);
            if (!fillFolder(root + top + sub, documentNumber))
                return false;
        }
    }
    return touch(root + '/' + completeMark);
}

// Child mode.
int searchOnly(const char *folder)
{
    const auto start = Clock::now();
    const std::vector<FoundDocument> found = findDocuments(QString::fromLocal8Bit(folder));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const long documents = std::count_if(found.begin(), found.end(),
        [](const FoundDocument &d) { return d.problem == FoundDocument::Problem::None; });
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    std::printf("%ld %.6f %ld\n", documents, seconds, usage.ru_maxrss);
    return 0;
}

struct Run {
    double seconds = 0;    // fork to exit
    double cpuSeconds = 0; // user + system
    long peakRssKiB = 0;
    std::string output;
};

// Runs `argv` to its end; its stdout is kept when `keepOutput`, else goes to /dev/null.
bool runChild(const std::vector<std::string> &args, bool keepOutput, Run &run)
{
    std::vector<char *> argv;
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    int fds[2] = {-1, -1};
    if (keepOutput && ::pipe2(fds, O_CLOEXEC) != 0) {
        std::perror("pipe");
        return false;
    }
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int out = keepOutput ? fds[1] : ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ::dup2(out, STDOUT_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (keepOutput) {
        ::close(fds[1]);
        char buffer[65536];
        ssize_t got;
        while ((got = ::read(fds[0], buffer, sizeof buffer)) > 0)
            run.output.append(buffer, size_t(got));
        ::close(fds[0]);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.peakRssKiB = usage.ru_maxrss;
    run.cpuSeconds = bench::cpuSeconds(usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed (status %d)\n", argv[0], status);
        return false;
    }
    return true;
}

void printTimes(const char *label, const std::vector<double> &seconds)
{
    std::printf("  %-22s median %7.1f ms  IQR %7.1f-%7.1f  min %7.1f  max %7.1f\n", label,
        quantile(seconds, 0.5) * 1000, quantile(seconds, 0.25) * 1000,
        quantile(seconds, 0.75) * 1000, quantile(seconds, 0) * 1000, quantile(seconds, 1) * 1000);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::string(argv[1]) == "--search-only")
        return searchOnly(argv[2]);
    if (argc > 1 && argv[1][0] == '-') {
        std::fprintf(stderr, "usage: bench_discovery [FOLDER [RUNS]]\n");
        return 2;
    }
    std::string base;
    const bool temporary = argc < 2;
    if (temporary) {
        char pattern[] = "/tmp/bench_discovery.XXXXXX";
        if (!::mkdtemp(pattern)) {
            std::perror("mkdtemp");
            return 1;
        }
        base = pattern;
    } else {
        base = argv[1];
    }
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : defaultRuns;
    const std::string root = base + '/' + treeName;
    if (!makeTree(root))
        return 1;

    const std::string self = std::filesystem::read_symlink("/proc/self/exe");
    const std::vector<std::string> search = {self, "--search-only", root};
    const std::vector<std::string> find = {"/usr/bin/find", root, "-iname", "*.pdf"};

    // Warm-up, and the check that both see the same documents.
    Run warmSearch, warmFind;
    if (!runChild(search, true, warmSearch) || !runChild(find, true, warmFind))
        return 1;
    const long ourCount = std::atol(warmSearch.output.c_str());
    const long findCount = long(std::count(warmFind.output.begin(), warmFind.output.end(), '\n'));
    const long expected = long(topFolders) * (1 + subFoldersEach) * documentsEach;
    std::printf("documents: search %ld, find %ld, made %ld\n", ourCount, findCount, expected);
    if (ourCount != findCount || ourCount != expected) {
        std::fprintf(stderr, "the counts differ\n");
        return 1;
    }

    std::vector<double> ours, inside, theirs, ourCpu, theirCpu, ourRss, theirRss;
    for (int i = 0; i < runs; ++i) {
        Run a, b;
        if (!runChild(search, true, a) || !runChild(find, false, b))
            return 1;
        long count = 0;
        double searchSeconds = 0;
        long rss = 0;
        std::sscanf(a.output.c_str(), "%ld %lf %ld", &count, &searchSeconds, &rss);
        ours.push_back(a.seconds);
        inside.push_back(searchSeconds);
        ourCpu.push_back(a.cpuSeconds);
        theirCpu.push_back(b.cpuSeconds);
        ourRss.push_back(double(a.peakRssKiB) / 1024);
        theirs.push_back(b.seconds);
        theirRss.push_back(double(b.peakRssKiB) / 1024);
    }
    if (temporary)
        std::filesystem::remove_all(base);

    std::printf("search over %d folders, %d files, warm cache, %d runs each alternating:\n",
        topFolders * (1 + subFoldersEach),
        topFolders * (1 + subFoldersEach) * (documentsEach + othersEach), runs);
    printTimes("findDocuments process", ours);
    printTimes("  of which the search", inside);
    printTimes("find -iname '*.pdf'", theirs);
    printTimes("findDocuments CPU", ourCpu);
    printTimes("find CPU", theirCpu);
    std::printf("  ratio of medians search/find %.2f (goal <= 1.3); search alone/find %.2f; CPU "
                "search/find %.2f\n",
        quantile(ours, 0.5) / quantile(theirs, 0.5), quantile(inside, 0.5) / quantile(theirs, 0.5),
        quantile(ourCpu, 0.5) / quantile(theirCpu, 0.5));
    std::printf("  peak RSS: search process %.1f MiB (max %.1f), find %.1f MiB\n",
        quantile(ourRss, 0.5), quantile(ourRss, 1), quantile(theirRss, 0.5));
    return 0;
}
