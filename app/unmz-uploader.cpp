// The program's entry point: launch parameters first, then the application, the main
// window Form1 and the message loop. "--version" answers before any of that.
#include "app/Version.h"
#include "app/main.h"
#include "app/uLaunchParams.h"

#include <QApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QStringList>
#include <QTranslator>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace
{

// Milliseconds since the kernel created this process (loading included); 10 ms steps, as
// /proc/self/stat gives its start in clock ticks. -1 when unknown.
double msSinceProcessStart()
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

} // namespace

int main(int argc, char **argv)
{
    // Package tools and users ask for the version without a display: answer and leave
    // before the toolkit looks for one.
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("unmz-uploader %s\n", programVersion);
            return std::fflush(stdout) == 0 ? 0 : 1;
        }

    QStringList items;
    for (int i = 1; i < argc; ++i)
        if (argv[i][0] != 0) // an empty argument is no item
            items << QString::fromLocal8Bit(argv[i]);
    buildLaunchParams(items);

    QApplication application(argc, argv);
    // The desktop entry's name, so a Wayland session matches the window to the menu
    // entry and its icon; the themed icon, where installed, for the window itself.
    QGuiApplication::setDesktopFileName(QString::fromLatin1(desktopAppId));
    QApplication::setWindowIcon(QIcon::fromTheme(QString::fromLatin1(desktopAppId)));
    // Every text of the program is Russian; the toolkit's own dialog texts ("Open",
    // "Cancel", "File name") follow, where the system has their translation.
    QTranslator toolkitTexts;
    if (toolkitTexts.load(
            QStringLiteral("qtbase_ru"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        application.installTranslator(&toolkitTexts);
    TForm1 window;
    Form1 = &window;
    if (qEnvironmentVariable("UNMZ_REPORT_FIRST_PAINT") == u"1")
        new FirstPaintReport(&window);
    window.show();
    const int result = application.exec();
    Form1 = nullptr;
    return result;
}
