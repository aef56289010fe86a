// The program's entry point: launch parameters first, then the application, the main
// window Form1 and the message loop. "--version" answers before any of that.
#include "app/FirstPaintReport.h"
#include "app/main.h"
#include "app/uLaunchParams.h"
#include "diag/Version.h"

#include <QApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QStringList>
#include <QTranslator>

#include <cstdio>
#include <cstring>

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
        new firstpaint::FirstPaintReport(&window);
    window.show();
    const int result = application.exec();
    Form1 = nullptr;
    return result;
}
