#include "app/main.h"

#include "app/RunStatusBar.h"

#include "app/uLaunchParams.h"
#include "diag/uLogWriter.h"

#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

namespace
{

void launchWith(const QStringList &items)
{
    launchParams.clear();
    valuedParams.clear();
    buildLaunchParams(items);
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void layoutAndCaption_data();
    void layoutAndCaption();
    void captionKeepsTheStartUpAddress();
    void clientAreaAndJournalPlacement();
    void tabOrder();
    void menu();
    void dialogs();
    void timersAndFields();
    void closingTheWindowStopsTheTimers();
    void exitAndTitleBarCloseEndTheMessageLoop_data();
    void exitAndTitleBarCloseEndTheMessageLoop();

private:
    QTemporaryDir m_logs;
};

void TestMainWindow::initTestCase()
{
    QVERIFY(m_logs.isValid());
    setLogFolderForTesting(m_logs.path() + u'/');
}

void TestMainWindow::cleanup()
{
    launchWith({});
}

void TestMainWindow::layoutAndCaption_data()
{
    QTest::addColumn<QStringList>("items");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("addressShown");

    QTest::newRow("no parameters: editable development address, empty sid")
        << QStringList{} << "Загрузка реестра на сервер http://127.0.0.1:8080 sid:"
        << "http://127.0.0.1:8080" << true;
    QTest::newRow("sid only") << QStringList{"sid=abc123"}
                              << "Загрузка реестра на сервер http://127.0.0.1:8080 sid:abc123"
                              << "http://127.0.0.1:8080" << true;
    QTest::newRow("ADR fixes and hides the address")
        << QStringList{"ADR=http://srv.example:81", "sid:s1"}
        << "Загрузка реестра на сервер http://srv.example:81 sid:s1"
        << "http://srv.example:81" << false;
    QTest::newRow("ADR key in any letter case")
        << QStringList{"adr=http://h"} << "Загрузка реестра на сервер http://h sid:"
        << "http://h" << false;
    QTest::newRow("bare ADR: empty hidden address")
        << QStringList{"ADR"} << "Загрузка реестра на сервер  sid:"
        << "" << false;
}

void TestMainWindow::layoutAndCaption()
{
    QFETCH(QStringList, items);
    QFETCH(QString, caption);
    QFETCH(QString, address);
    QFETCH(bool, addressShown);

    launchWith(items);
    TForm1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));

    QCOMPARE(form.windowTitle(), caption);
    QCOMPARE(form.edtServer->text(), address);
    QCOMPARE(form.edtServer->isVisible(), addressShown);
    QCOMPARE(form.Label1->isVisible(), addressShown);
    QCOMPARE(form.edtServer->isReadOnly(), !addressShown);

    const int width = form.Panel1->width();
    QCOMPARE(width, form.centralWidget()->width());
    if (addressShown) {
        QCOMPARE(form.Panel1->height(), 80);
        QCOMPARE(form.Button1->geometry(), QRect(0, 31, width, 32));
        QCOMPARE(form.edtDrawTiles->geometry(), QRect(0, 63, width, 17));
        QCOMPARE(form.Label1->pos(), QPoint(8, 11));
        QCOMPARE(form.edtServer->y(), 7);
        QCOMPARE(form.edtServer->height(), 21);
        QVERIFY(form.edtServer->x() >= 93);
        QVERIFY(form.edtServer->x() >= form.Label1->geometry().right()); // label not covered
        QCOMPARE(form.edtServer->geometry().right(), width - 1);
    } else {
        QCOMPARE(form.Panel1->height(), 50);
        QCOMPARE(form.Button1->geometry(), QRect(0, 0, width, 33));
        QCOMPARE(form.edtDrawTiles->geometry(), QRect(0, 33, width, 17));
    }
    // The journal's label and the journal follow the panel up.
    QCOMPARE(form.Label2->geometry(), QRect(0, form.Panel1->height(), width, 13));
    QCOMPARE(form.reMessages->y(), form.Panel1->height() + 13);
    // The status bar takes the bottom of the client area; the journal ends right above it.
    QCOMPARE(form.reMessages->geometry().bottom(), form.sbStatus->y() - 1);
    QCOMPARE(form.sbStatus->geometry(),
        QRect(0, form.centralWidget()->height() - RunStatusBar::BarHeight, width,
            RunStatusBar::BarHeight));

    // The address field stretches with the window.
    if (addressShown) {
        form.resize(form.width() + 100, form.height());
        QTRY_COMPARE(form.edtServer->geometry().right(), form.Panel1->width() - 1);
        QCOMPARE(form.Button1->width(), form.Panel1->width());
    }
}

void TestMainWindow::captionKeepsTheStartUpAddress()
{
    TForm1 form;
    form.edtServer->setText(QStringLiteral("http://other:9"));
    QCOMPARE(form.windowTitle(),
        QStringLiteral("Загрузка реестра на сервер http://127.0.0.1:8080 sid:"));
}

void TestMainWindow::clientAreaAndJournalPlacement()
{
    TForm1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QCOMPARE(form.centralWidget()->size(), QSize(986, 343));
    QCOMPARE(form.Label1->text(), QStringLiteral("Адрес сервера:"));
    QCOMPARE(form.Label2->text(), QStringLiteral("Журнал работы:"));
    QCOMPARE(form.Button1->text(), QStringLiteral("Загрузить реестр"));
    QCOMPARE(form.edtDrawTiles->text(), QStringLiteral("НЕ отрисовывать объекты на карте"));
    QVERIFY(!form.edtDrawTiles->isChecked());
    QVERIFY(form.reMessages->isReadOnly());
    QVERIFY(form.reMessages->document()->isEmpty());
    QCOMPARE(form.reMessages->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QCOMPARE(form.reMessages->lineWrapMode(), QTextEdit::WidgetWidth);
    QCOMPARE(form.font().pixelSize(), 11);
}

void TestMainWindow::tabOrder()
{
    TForm1 form;
    const QList<QWidget *> expected{
        form.Button1, form.edtDrawTiles, form.edtServer, form.reMessages};
    QWidget *widget = form.Button1;
    for (int i = 1; i < expected.size(); ++i) {
        do
            widget = widget->nextInFocusChain();
        while (!(widget->focusPolicy() & Qt::TabFocus) || !expected.contains(widget));
        QCOMPARE(widget, expected.at(i));
    }
}

void TestMainWindow::menu()
{
    TForm1 form;
    const QList<QAction *> top = form.menuBar()->actions();
    // "Сервис" follows "Файл", which keeps its items and their order.
    QCOMPARE(top.size(), 2);
    QCOMPARE(top.first()->menu(), form.N1);
    QCOMPARE(top.at(1)->menu(), form.N4);
    QCOMPARE(form.N4->title(), QStringLiteral("Сервис"));
    QCOMPARE(form.N4->actions(), QList<QAction *>{form.N5});
    QCOMPARE(form.N5->text(), QStringLiteral("Проверить комплект..."));
    QCOMPARE(form.N1->title(), QStringLiteral("Файл"));
    QCOMPARE(form.N1->actions(), (QList<QAction *>{form.N3, form.N2}));
    QCOMPARE(form.N3->text(), QStringLiteral("Сохранить результаты загрузки"));
    QCOMPARE(form.N2->text(), QStringLiteral("Выход"));
    for (QAction *action : {form.N3, form.N2, form.N5})
        QVERIFY(action->shortcut().isEmpty());
}

void TestMainWindow::dialogs()
{
    TForm1 form;
    // Neither dialog is built with the window; each is built once and then kept, so it
    // remembers its folder from one use to the next.
    QVERIFY(!form.od && !form.sd);
    QFileDialog *od = form.openDialog();
    QCOMPARE(form.openDialog(), od);
    QCOMPARE(form.od, od);
    QVERIFY(!form.sd);
    QCOMPARE(od->parent(), &form);

    QCOMPARE(od->windowTitle(), QStringLiteral("Выберите файл реестра УНМЗ"));
    QCOMPARE(od->acceptMode(), QFileDialog::AcceptOpen);
    // A typed name of a missing file passes; the job then reports it as inaccessible.
    QCOMPARE(od->fileMode(), QFileDialog::AnyFile);
    QCOMPARE(od->nameFilters(), (QStringList{"Документ Excel (*.xls *.xlsx)", "Все файлы (*.*)"}));
    QCOMPARE(od->selectedNameFilter(), QStringLiteral("Документ Excel (*.xls *.xlsx)"));

    QFileDialog *sd = form.saveDialog();
    QCOMPARE(form.saveDialog(), sd);
    QCOMPARE(form.sd, sd);
    QCOMPARE(sd->parent(), &form);
    QCOMPARE(sd->windowTitle(), QStringLiteral("Сохранить результаты загрузки УНМЗ"));
    QCOMPARE(sd->acceptMode(), QFileDialog::AcceptSave);
    QCOMPARE(sd->nameFilters(), QStringList{"Текстовые документы (*.rtf)"});
    QCOMPARE(sd->defaultSuffix(), QStringLiteral("rtf"));
    QVERIFY(sd->testOption(QFileDialog::DontConfirmOverwrite));
    QCOMPARE(QFileInfo(sd->selectedFiles().value(0)).fileName(),
        QStringLiteral("Результаты загрузки реестра УНМЗ.rtf"));
}

void TestMainWindow::timersAndFields()
{
    TForm1 form;
    QCOMPARE(form.Timer1->interval(), 2000);
    QCOMPARE(form.Timer2->interval(), 1000);
    QVERIFY(!form.Timer1->isActive());
    QVERIFY(!form.Timer2->isActive());
    QVERIFY(form.http);
    QVERIFY(form.timerHttp);
    QVERIFY(form.http != form.timerHttp);
    QVERIFY(!form.process.load());
    QVERIFY(!form.processOk.load());
    QVERIFY(form.sessionId.isEmpty());
    QCOMPARE(form.num, 0);
    QCOMPARE(form.shift, 0);
    QVERIFY(form.Button1->isEnabled());
}

void TestMainWindow::closingTheWindowStopsTheTimers()
{
    TForm1 form;
    form.show();
    form.Timer1->start();
    form.Timer2->start();
    QVERIFY(!form.isClosing());
    form.close();
    QVERIFY(form.isClosing());
    QVERIFY(!form.Timer1->isActive());
    QVERIFY(!form.Timer2->isActive());
}

void TestMainWindow::exitAndTitleBarCloseEndTheMessageLoop_data()
{
    QTest::addColumn<bool>("viaMenu");
    QTest::newRow("Выход") << true;
    QTest::newRow("title-bar close") << false;
}

void TestMainWindow::exitAndTitleBarCloseEndTheMessageLoop()
{
    QFETCH(bool, viaMenu);
    TForm1 form;
    form.show();
    form.process = true; // no question, also while a job runs
    QTimer::singleShot(0, &form, [&] {
        if (viaMenu)
            form.N2->trigger();
        else
            form.close();
    });
    QTimer guard;
    guard.setSingleShot(true);
    connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    guard.start(10000);
    QCOMPARE(QCoreApplication::exec(), 0);
    QVERIFY(form.isClosing());
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
