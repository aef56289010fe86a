// The program's entry point: launch parameters first, then the application.
#include "app/uLaunchParams.h"

#include <QStringList>

int main(int argc, char **argv)
{
    QStringList items;
    for (int i = 1; i < argc; ++i)
        if (argv[i][0] != 0) // an empty argument is no item
            items << QString::fromLocal8Bit(argv[i]);
    buildLaunchParams(items);
    return 0;
}
