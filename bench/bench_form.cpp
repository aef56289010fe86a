// Streams a form holding one file into /dev/null the way the form-post client does
// (bytes blocks written, file stretches read with pread in 32768-byte blocks and written),
// and compares it with `cat FILE > /dev/null`. Peak RSS is taken per file size in a child
// process of its own, so the figures for a small and a huge file can be compared.
//
// usage: bench_form [FOLDER]   (default /tmp; two files of 10 MiB and 1 GiB are made there
//                               and deleted afterwards)
#include "net/MultipartForm.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

namespace
{

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool makeFile(const std::string &path, qint64 size)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    for (int i = 0; i < chunk.size(); ++i)
        chunk[i] = char((i * 131) ^ (i >> 8));
    for (qint64 done = 0; done < size;) {
        const qint64 n = std::min<qint64>(chunk.size(), size - done);
        if (::write(fd, chunk.constData(), size_t(n)) != n) {
            ::close(fd);
            return false;
        }
        done += n;
    }
    ::close(fd);
    return true;
}

bool writeAll(int fd, const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

// Child mode: stream one form, print "<seconds> <bytes> <peak RSS KiB>".
int streamForm(const char *path)
{
    const int sink = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const auto start = Clock::now();
    qint64 total = 0;
    try {
        MultipartForm form;
        form.addTextField("action", "loadFile");
        form.addTextField("folder", "P1\\Q");
        form.addFile("data", QString::fromLocal8Bit(path), "application/pdf");
        const qint64 length = form.bodyLength();
        auto stream = form.openBody();
        FormBlock block;
        QByteArray buffer(MultipartForm::BlockSize, Qt::Uninitialized);
        while (stream->next(block)) {
            if (block.fd < 0) {
                writeAll(sink, block.bytes.constData(), block.length);
            } else {
                const ssize_t n
                    = ::pread(block.fd, buffer.data(), size_t(block.length), block.offset);
                if (n != block.length)
                    throw std::runtime_error("No data to read.");
                writeAll(sink, buffer.constData(), n);
            }
            total += block.length;
        }
        if (total != length)
            throw std::runtime_error("body length differs from the bytes streamed");
    } catch (const std::exception &failure) {
        std::fprintf(stderr, "%s\n", failure.what());
        return 1;
    }
    const double seconds = secondsSince(start);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%.6f %lld %ld\n", seconds, static_cast<long long>(total), usage.ru_maxrss);
    return 0;
}

constexpr int Runs = 5; // the kernel's RSS counters jitter by ~100 KiB from run to run

struct Measure {
    double formSeconds = 1e30; // best of the runs
    double catSeconds = 1e30;
    long peakMinKiB = 0;
    long peakMaxKiB = 0;
};

bool measure(const std::string &self, const std::string &path, Measure &m)
{
    const std::string cat = "cat '" + path + "' > /dev/null";
    if (std::system(cat.c_str()) != 0) // warm the page cache: both sides then read from memory
        return false;
    for (int run = 0; run < Runs; ++run) {
        auto start = Clock::now();
        if (std::system(cat.c_str()) != 0)
            return false;
        m.catSeconds = std::min(m.catSeconds, secondsSince(start));

        const std::string child = "'" + self + "' --stream '" + path + "'";
        FILE *out = ::popen(child.c_str(), "r");
        if (!out)
            return false;
        double seconds = 0;
        long long bytes = 0;
        long peak = 0;
        const int fields = std::fscanf(out, "%lf %lld %ld", &seconds, &bytes, &peak);
        if (::pclose(out) != 0 || fields != 3)
            return false;
        m.formSeconds = std::min(m.formSeconds, seconds);
        m.peakMinKiB = run == 0 ? peak : std::min(m.peakMinKiB, peak);
        m.peakMaxKiB = run == 0 ? peak : std::max(m.peakMaxKiB, peak);
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::string(argv[1]) == "--stream")
        return streamForm(argv[2]);

    const std::string folder = argc > 1 ? argv[1] : "/tmp";
    std::error_code error; // a missing folder is made; a failure shows at the first file
    std::filesystem::create_directories(folder, error);
    char self[4096] = {};
    if (::readlink("/proc/self/exe", self, sizeof self - 1) <= 0)
        return 1;

    const struct {
        const char *label;
        qint64 size;
    } sizes[] = {{"10 MiB", qint64(10) << 20}, {"1 GiB", qint64(1) << 30}};

    std::printf("best of %d runs each; cat timed with its shell (a few ms)\n", Runs);
    std::printf("%-7s %12s %10s %10s %8s %20s\n", "file", "form MiB/s", "cat MiB/s", "form/cat",
        "form s", "peak RSS KiB min-max");
    Measure results[2];
    int row = 0;
    for (const auto &entry : sizes) {
        const std::string path = folder + "/bench_form_" + std::to_string(entry.size) + ".bin";
        if (!makeFile(path, entry.size)) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            return 1;
        }
        Measure m;
        const bool ok = measure(self, path, m);
        ::unlink(path.c_str());
        if (!ok) {
            std::fprintf(stderr, "measuring %s failed\n", entry.label);
            return 1;
        }
        const double mib = double(entry.size) / (1 << 20);
        std::printf("%-7s %12.0f %10.0f %10.2f %8.3f %13ld-%ld\n", entry.label, mib / m.formSeconds,
            mib / m.catSeconds, m.catSeconds / m.formSeconds, m.formSeconds, m.peakMinKiB,
            m.peakMaxKiB);
        results[row++] = m;
    }
    // The same process streams either file; run-to-run jitter of the kernel's RSS counters
    // (seen with one file too) is the only difference, so equal means overlapping ranges.
    const bool equal = results[0].peakMinKiB <= results[1].peakMaxKiB
        && results[1].peakMinKiB <= results[0].peakMaxKiB;
    std::printf("peak RSS %s: %ld-%ld KiB (10 MiB) vs %ld-%ld KiB (1 GiB)\n",
        equal ? "equal within jitter" : "DIFFERS", results[0].peakMinKiB, results[0].peakMaxKiB,
        results[1].peakMinKiB, results[1].peakMaxKiB);
    return equal ? 0 : 2;
}
