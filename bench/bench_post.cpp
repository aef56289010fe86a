// Benchmark of the form-post client: posts a form with one file to a loopback sink
// server and reports wall time and peak RSS; optionally times curl against the same sink.
//   bench_post FILE            post FILE (as field "data") and print the figures
//   bench_post FILE --curl     also time `curl -s -F data=@FILE` to the same sink
//   bench_post --sink PORT     run only the sink, until killed
#include "diag/Exception.h"
#include "net/FormPostClient.h"
#include "net/MultipartForm.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

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
        std::fprintf(stderr, "usage: bench_post FILE [--curl] | --sink PORT\n");
        return 2;
    }
    const QString path = args.at(0);
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
