// Benchmark of the form-post client: posts a form with one file to a loopback sink
// server and reports wall time and peak RSS; optionally times curl against the same sink.
//   bench_post FILE            post FILE (as field "data") and print the figures
//   bench_post FILE --curl     also time `curl -s -F data=@FILE` to the same sink
//   bench_post --sink PORT     run only the sink, until killed
//   bench_post FILE --tls [RUNS]
//                              post FILE over https to a loopback TLS sink and run
//                              `curl -F data=@FILE` against it, RUNS (5) times each
//                              alternating, each in a process of its own: medians, spread,
//                              the ratio of the medians, CPU and peak RSS
//   bench_post --tls-client FILE URL CAFILE
//                              one post of --tls, in its child process
#include "bench/BenchFigures.h"
#include "bench/TlsSink.h"
#include "diag/Exception.h"
#include "net/FormPostClient.h"
#include "net/MultipartForm.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace
{

// Reads each request (head, then Content-Length bytes, answering an Expect: 100-continue)
// into a fixed buffer and answers "success". One connection at a time.
void runSink(int listenFd)
{
    static char buffer[256 * 1024];
    while (true) {
        const int fd = ::accept(listenFd, nullptr, nullptr);
        if (fd < 0)
            continue;
        QByteArray head;
        qint64 bodyLeft = -1;
        while (true) {
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0)
                break;
            if (bodyLeft < 0) {
                head.append(buffer, got);
                const qsizetype end = head.indexOf("\r\n\r\n");
                if (end < 0)
                    continue;
                qint64 length = 0;
                for (const QByteArray &line : head.left(end).split('\n')) {
                    const QByteArray lower = line.trimmed().toLower();
                    if (lower.startsWith("content-length:"))
                        length = lower.mid(15).trimmed().toLongLong();
                    if (lower.startsWith("expect:") && lower.contains("100-continue"))
                        ::send(fd, "HTTP/1.1 100 Continue\r\n\r\n", 25, MSG_NOSIGNAL);
                }
                bodyLeft = length - (head.size() - end - 4);
            } else {
                bodyLeft -= got;
            }
            if (bodyLeft <= 0) {
                const char reply[] = "HTTP/1.0 200 OK\r\nContent-Length: 7\r\n\r\nsuccess";
                ::send(fd, reply, sizeof reply - 1, MSG_NOSIGNAL);
                break;
            }
        }
        ::close(fd);
    }
}

int listenOn(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || ::listen(fd, 8) != 0) {
        std::perror("sink");
        std::exit(2);
    }
    return fd;
}

quint16 portOf(int fd)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    return ntohs(address.sin_port);
}

long peakRssKiB()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Peak RSS up to now (the post's end), beside wait4()'s, which also covers the exit.
long highWaterKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

// Child mode of --tls: one post of FILE to URL trusting CAFILE; prints
// "<seconds of the post> <VmHWM KiB>".
int postOverTls(const QString &path, const QString &url, const QString &caFile)
{
    QElapsedTimer timer;
    timer.start();
    try {
        MultipartForm form;
        form.addFile(QStringLiteral("data"), path, QStringLiteral("application/octet-stream"));
        FormPostClient client;
        TlsOptions tls;
        tls.caFile = caFile;
        client.setTlsOptions(tls);
        const QString reply = client.post(url, form);
        if (reply != u"success") {
            std::fprintf(stderr, "unexpected reply: %s\n", qPrintable(reply));
            return 1;
        }
    } catch (const Exception &e) {
        std::fprintf(stderr, "post failed: %s\n", qPrintable(e.message()));
        return 1;
    }
    std::printf("%.6f %ld\n", double(timer.nsecsElapsed()) / 1e9, highWaterKiB());
    return 0;
}

using Clock = std::chrono::steady_clock;

struct Run {
    double seconds = 0;    // fork to exit
    double cpuSeconds = 0; // user + system
    long peakRssKiB = 0;   // from wait4()
    std::string output;
};

// Runs `args` (a path, or a name looked up in PATH) to its end, its stdout kept. The
// child's ru_maxrss is at least what it held at its exec (this process's anonymous pages,
// under 1 MiB here), then its own peak.
bool runChild(const std::vector<std::string> &args, Run &run)
{
    std::vector<char *> argv;
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    int fds[2] = {-1, -1};
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        std::perror("pipe");
        return false;
    }
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        std::perror("fork");
        return false;
    }
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(fds[0], buffer, sizeof buffer)) > 0)
        run.output.append(buffer, size_t(got));
    ::close(fds[0]);
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.cpuSeconds = bench::cpuSeconds(usage);
    run.peakRssKiB = usage.ru_maxrss;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed (status %d)\n", argv[0], status);
        return false;
    }
    return true;
}

void printSpread(const char *label, const std::vector<double> &values, const char *unit)
{
    std::printf("  %-14s median %8.3f %s  IQR %.3f-%.3f  min-max %.3f-%.3f\n", label,
        bench::quantile(values, 0.5), unit, bench::quantile(values, 0.25),
        bench::quantile(values, 0.75), bench::quantile(values, 0), bench::quantile(values, 1));
}

int benchTls(const QString &path, int runs)
{
    const QTemporaryDir folder;
    if (!folder.isValid()) {
        std::fprintf(stderr, "no temporary folder\n");
        return 2;
    }
    const QString caFile = folder.filePath(QStringLiteral("sink.pem"));
    const int listenFd = listenOn(0);
    ::fcntl(listenFd, F_SETFD, FD_CLOEXEC);
    std::thread(bench::runTlsSink, listenFd, bench::makeSinkIdentity(caFile)).detach();
    const std::string url
        = QStringLiteral("https://127.0.0.1:%1/").arg(portOf(listenFd)).toStdString();
    const std::string file = path.toStdString();
    const std::string ca = caFile.toStdString();
    const std::vector<std::string> ours
        = {QCoreApplication::applicationFilePath().toStdString(), "--tls-client", file, url, ca};
    const std::vector<std::string> curl
        = {"curl", "-sS", "--fail", "-o", "/dev/null", "--cacert", ca, "-F", "data=@" + file, url};
    const double mib = double(QFileInfo(path).size()) / (1024 * 1024);

    // One of each first, unmeasured: the file in the page cache, both programs loaded.
    Run warm;
    if (!runChild(ours, warm) || !runChild(curl, warm))
        return 1;
    std::vector<double> ourSeconds, ourPost, ourCpu, ourRss, ourHighWater;
    std::vector<double> curlSeconds, curlCpu, curlRss;
    for (int i = 0; i < runs; ++i) {
        // The order alternates, so neither always runs right after the other.
        for (int turn = 0; turn < 2; ++turn) {
            Run run;
            if ((turn == 0) == (i % 2 == 0)) {
                if (!runChild(ours, run))
                    return 1;
                double post = 0;
                long highWater = 0;
                std::sscanf(run.output.c_str(), "%lf %ld", &post, &highWater);
                ourSeconds.push_back(run.seconds);
                ourPost.push_back(post);
                ourCpu.push_back(run.cpuSeconds);
                ourRss.push_back(double(run.peakRssKiB) / 1024);
                ourHighWater.push_back(double(highWater) / 1024);
            } else {
                if (!runChild(curl, run))
                    return 1;
                curlSeconds.push_back(run.seconds);
                curlCpu.push_back(run.cpuSeconds);
                curlRss.push_back(double(run.peakRssKiB) / 1024);
            }
        }
    }
    double load = 0;
    if (FILE *in = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(in, "%lf", &load) != 1)
            load = 0;
        std::fclose(in);
    }
    const double ourMedian = bench::quantile(ourSeconds, 0.5);
    const double curlMedian = bench::quantile(curlSeconds, 0.5);
    std::printf("https, %.1f MiB, %d runs each alternating, whole processes (load average "
                "%.1f):\n",
        mib, runs, load);
    printSpread("client", ourSeconds, "s");
    printSpread("client post", ourPost, "s");
    printSpread("curl", curlSeconds, "s");
    printSpread("client CPU", ourCpu, "s");
    printSpread("curl CPU", curlCpu, "s");
    std::printf("  client/curl median time ratio %.2f (goal <= 1.1); client %.0f MiB/s, curl "
                "%.0f MiB/s\n",
        ourMedian / curlMedian, mib / ourMedian, mib / curlMedian);
    printSpread("client RSS", ourRss, "MiB");
    printSpread("client VmHWM", ourHighWater, "MiB");
    printSpread("curl RSS", curlRss, "MiB");
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() == 2 && args.at(0) == u"--sink") {
        runSink(listenOn(quint16(args.at(1).toUInt())));
        return 0;
    }
    if (args.isEmpty()) {
        std::fprintf(stderr, "usage: bench_post FILE [--curl] | FILE --tls [RUNS] | --sink PORT\n");
        return 2;
    }
    if (args.size() == 4 && args.at(0) == u"--tls-client")
        return postOverTls(args.at(1), args.at(2), args.at(3));
    const QString path = args.at(0);
    if (args.size() >= 2 && args.at(1) == u"--tls")
        return benchTls(path, args.size() > 2 ? qMax(1, args.at(2).toInt()) : 5);
    const int listenFd = listenOn(0);
    const quint16 port = portOf(listenFd);
    std::thread(runSink, listenFd).detach();
    const QString url = QStringLiteral("http://127.0.0.1:%1/").arg(port);
    const double mib = double(QFileInfo(path).size()) / (1024 * 1024);

    QElapsedTimer timer;
    timer.start();
    try {
        MultipartForm form;
        form.addFile(QStringLiteral("data"), path, QStringLiteral("application/octet-stream"));
        FormPostClient client;
        const QString reply = client.post(url, form);
        if (reply != u"success") {
            std::fprintf(stderr, "unexpected reply: %s\n", qPrintable(reply));
            return 1;
        }
    } catch (const Exception &e) {
        std::fprintf(stderr, "post failed: %s\n", qPrintable(e.message()));
        return 1;
    }
    const double ours = double(timer.nsecsElapsed()) / 1e9;
    std::printf("client: %.1f MiB in %.3f s (%.0f MiB/s), peak RSS %ld KiB\n", mib, ours,
        mib / ours, peakRssKiB());

    if (args.contains(QStringLiteral("--curl"))) {
        timer.restart();
        const int exit = QProcess::execute(QStringLiteral("curl"),
            {QStringLiteral("-s"), QStringLiteral("-o"), QStringLiteral("/dev/null"),
                QStringLiteral("-F"), QStringLiteral("data=@") + path, url});
        const double curl = double(timer.nsecsElapsed()) / 1e9;
        if (exit != 0) {
            std::fprintf(stderr, "curl failed (%d)\n", exit);
            return 1;
        }
        std::printf("curl:   %.1f MiB in %.3f s (%.0f MiB/s); client/curl time ratio %.2f\n", mib,
            curl, mib / curl, ours / curl);
    }
    return 0;
}
