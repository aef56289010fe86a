// The program's entry point: launch parameters first, then the application, the main
// window Form1 and the message loop.
#include "app/main.h"
#include "app/uLaunchParams.h"

#include <QApplication>
#include <QStringList>

int main(int argc, char **argv)
{
    QStringList items;
    for (int i = 1; i < argc; ++i)
        if (argv[i][0] != 0) // an empty argument is no item
            items << QString::fromLocal8Bit(argv[i]);
    buildLaunchParams(items);

    QApplication application(argc, argv);
    TForm1 window;
    Form1 = &window;
    window.show();
    const int result = application.exec();
    Form1 = nullptr;
    return result;
}
