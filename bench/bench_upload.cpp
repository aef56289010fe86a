// End-to-end upload benchmark: a register with N one-megabyte PDFs uploaded by the job
// to the dev upload service; the documents stage's wall time against a shell loop of
// `curl -F` posts of the same files to the same service, and the program's peak RSS.
//
//   bench_upload [COUNT=500] [SIZE_KIB=1024]
#include "net/FormPostClient.h"
#include "upload/uUploadData.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cstdio>
#include <sys/resource.h>

namespace
{

// Times the documents stage from the job's own journal lines.
class TimingHost : public UploadJobHost
{
public:
    QElapsedTimer clock;
    qint64 documentsStart = -1, documentsEnd = -1;
    std::atomic<int> errors{0};

    void jobLine(LineKind kind, const QString &text) override
    {
        if (kind == LineKind::Error)
            ++errors;
        if (text.startsWith(QStringLiteral("Начинаем передавать")))
            documentsStart = clock.elapsed();
        if (text.startsWith(QStringLiteral("Прикрепляем")))
            documentsEnd = clock.elapsed();
    }
    void setUploadButtonEnabled(bool) override { }
    void setPollTimerActive(bool) override { }
    void startCompletionTimer() override { }
    bool drawTilesSuppressed() override { return false; }
    void setProcess(bool) override { }
    void setProcessOk(bool) override { }
    void setSessionId(const QString &) override { }
    void runFinalFetch() override { }
};

long peakRssKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? atoi(argv[1]) : 500;
    const int sizeKiB = argc > 2 ? atoi(argv[2]) : 1024;

    QTemporaryDir dir;
    const QString reg = dir.path() + QStringLiteral("/register");
    QDir().mkpath(reg + QStringLiteral("/docs"));
    QFile(reg + QStringLiteral("/register.xlsx")).open(QIODevice::WriteOnly);
    QByteArray block(sizeKiB * 1024, 'x');
    block.replace(0, 8, "%PDF-1.4");
    for (int i = 0; i < count; ++i) {
        QFile file(reg + QStringLiteral("/docs/doc%1.pdf").arg(i, 4, 10, QLatin1Char('0')));
        file.open(QIODevice::WriteOnly);
        file.write(block);
    }

    QProcess service;
    service.setProcessChannelMode(QProcess::MergedChannels);
    const QString script = QStringLiteral(UNMZ_SOURCE_DIR "/tools/devservice/devservice.py");
    service.start(QStringLiteral("python3"),
        {script, QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--data"),
            dir.path() + QStringLiteral("/data"), QStringLiteral("--stage-seconds"),
            QStringLiteral("0"), QStringLiteral("--quiet")});
    QString output;
    int port = 0;
    static const QRegularExpression listening(QStringLiteral("listening on [0-9.]+:(\\d+)"));
    while (port == 0 && service.waitForReadyRead(10000)) {
        output += QString::fromUtf8(service.readAll());
        if (const auto m = listening.match(output); m.hasMatch())
            port = m.captured(1).toInt();
    }
    if (port == 0) {
        std::fprintf(stderr, "dev service did not start: %s\n", qPrintable(output));
        return 1;
    }
    const QString address = QStringLiteral("http://127.0.0.1:%1").arg(port);

    TDataUploader::stageClosingWaitMs = 0;
    TimingHost host;
    FormPostClient client;
    host.clock.start();
    QPointer<TDataUploader> job(
        new TDataUploader(address, reg + QStringLiteral("/register.xlsx"), &client, &host));
    job->wait();
    const double ours = (host.documentsEnd - host.documentsStart) / 1000.0;

    // The same files posted by curl, one process per file as a shell loop would.
    const QString loop = QStringLiteral(
        "cd '%1' && curl -s -c jar -F action=getSession %2/QuorvelFiles >/dev/null && "
        "for f in docs/*.pdf; do curl -s -H Expect: -b jar -F action=loadFile -F folder=docs "
        "-F fileName=$(basename $f) -F data=@$f\\;type=application/pdf %2/QuorvelFiles "
        ">/dev/null; done")
                             .arg(reg, address);
    QElapsedTimer curlClock;
    curlClock.start();
    QProcess::execute(QStringLiteral("bash"), {QStringLiteral("-c"), loop});
    const double curl = curlClock.elapsed() / 1000.0;

    std::printf("documents: %d x %d KiB, %d error lines\n", count, sizeKiB, host.errors.load());
    std::printf("documents stage: %.2f s (%.1f MiB/s)\n", ours,
        count * sizeKiB / 1024.0 / (ours > 0 ? ours : 1e-9));
    std::printf("curl -F loop:    %.2f s\n", curl);
    std::printf("ratio (ours / curl): %.2f\n", ours / curl);
    std::printf("peak RSS: %ld KiB\n", peakRssKiB());
    service.terminate();
    service.waitForFinished();
    return 0;
}
