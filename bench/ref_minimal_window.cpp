// The reference window of bench_startup: a plain toolkit main window with a menu, a text
// view and a button, none of our code, with the same first-paint report as the program
// (UNMZ_REPORT_FIRST_PAINT=1: "first paint N ms after start" on stderr, then exit).
#include "app/FirstPaintReport.h"

#include <QApplication>
#include <QMainWindow>
#include <QMenuBar>
#include <QPushButton>
#include <QTextEdit>
#include <QVBoxLayout>

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
        new firstpaint::FirstPaintReport(&window);
    window.show();
    return application.exec();
}
