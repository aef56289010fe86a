// The program's entry point: launch parameters first, then the application, the main
// window Form1 and the message loop.
#include "app/main.h"
#include "app/uLaunchParams.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QStringList>
#include <QTranslator>

int main(int argc, char **argv)
{
    QStringList items;
    for (int i = 1; i < argc; ++i)
        if (argv[i][0] != 0) // an empty argument is no item
            items << QString::fromLocal8Bit(argv[i]);
    buildLaunchParams(items);

    QApplication application(argc, argv);
    // Every text of the program is Russian; the toolkit's own dialog texts ("Open",
    // "Cancel", "File name") follow, where the system has their translation.
    QTranslator toolkitTexts;
    if (toolkitTexts.load(
            QStringLiteral("qtbase_ru"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        application.installTranslator(&toolkitTexts);
    TForm1 window;
    Form1 = &window;
    window.show();
    const int result = application.exec();
    Form1 = nullptr;
    return result;
}
