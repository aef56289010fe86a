// The first-paint report of the start-up benchmark: with UNMZ_REPORT_FIRST_PAINT=1 a
// program writes "first paint N ms after start" to stderr once its window has painted
// for the first time, and exits. Header only and toolkit only, so the benchmark's plain
// reference window reports by the very same code.
#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <QWidget>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace firstpaint
{

// Milliseconds since the kernel created this process (loading included); 10 ms steps, as
// /proc/self/stat gives its start in clock ticks. -1 when unknown.
inline double msSinceProcessStart()
{
    std::FILE *file = std::fopen("/proc/self/stat", "r");
    if (!file)
        return -1;
    char line[1024];
    const size_t length = std::fread(line, 1, sizeof line - 1, file);
    std::fclose(file);
    line[length] = '\0';
    // The command name, in parentheses, may hold spaces: fields are counted after its end.
    const char *at = std::strrchr(line, ')');
    unsigned long long startTicks = 0;
    if (!at
        || std::sscanf(at + 2,
               "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d "
               "%*d %*d %*d %*d %llu",
               &startTicks)
            != 1)
        return -1;
    timespec now{};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    return (double(now.tv_sec) + double(now.tv_nsec) / 1e9) * 1000
        - double(startTicks) * 1000 / double(::sysconf(_SC_CLK_TCK));
}

// With UNMZ_REPORT_FIRST_PAINT=1 the program writes "first paint N ms after start" to
// stderr once its window has painted for the first time, and exits: the start-up
// benchmark times the real program without any other change for users.
class FirstPaintReport : public QObject
{
public:
    explicit FirstPaintReport(QWidget *window)
        : QObject(window)
        , m_window(window)
    {
        QCoreApplication::instance()->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (!m_seen && event->type() == QEvent::Paint && watched->isWidgetType()
            && static_cast<QWidget *>(watched)->window() == m_window) {
            m_seen = true;
            // The whole window is painted and flushed within the event that sent this
            // paint; the report runs once that is done.
            QMetaObject::invokeMethod(
                this,
                [] {
                    std::fprintf(
                        stderr, "first paint %.0f ms after start\n", msSinceProcessStart());
                    std::fflush(stderr);
                    ::_exit(0);
                },
                Qt::QueuedConnection);
        }
        return false;
    }

private:
    QWidget *const m_window;
    bool m_seen = false;
};

} // namespace firstpaint
