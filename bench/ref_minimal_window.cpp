// The reference window of bench_startup: a plain toolkit main window with a menu, a text
// view and a button, none of our code, with the same first-paint report as the program
// (UNMZ_REPORT_FIRST_PAINT=1: "first paint N ms after start" on stderr, then exit).
#include <QApplication>
#include <QMainWindow>
#include <QMenuBar>
#include <QPushButton>
#include <QTextEdit>
#include <QVBoxLayout>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace
{

// Milliseconds since the kernel created this process; 10 ms steps. -1 when unknown.
double msSinceProcessStart()
{
    std::FILE *file = std::fopen("/proc/self/stat", "r");
    if (!file)
        return -1;
    char line[1024];
    const size_t length = std::fread(line, 1, sizeof line - 1, file);
    std::fclose(file);
    line[length] = '\0';
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
    QApplication application(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Reference"));
    QMenu *menu = window.menuBar()->addMenu(QStringLiteral("File"));
    menu->addAction(QStringLiteral("Save"));
    QAction *quit = menu->addAction(QStringLiteral("Quit"));
    QObject::connect(quit, &QAction::triggered, &application, &QCoreApplication::quit);
    auto *client = new QWidget(&window);
    auto *column = new QVBoxLayout(client);
    column->addWidget(new QPushButton(QStringLiteral("Upload"), client));
    column->addWidget(new QTextEdit(client), 1);
    window.setCentralWidget(client);
    window.resize(986, 370); // about the program's size: both paint as many pixels
    if (qEnvironmentVariable("UNMZ_REPORT_FIRST_PAINT") == u"1")
        new FirstPaintReport(&window);
    window.show();
    return application.exec();
}
