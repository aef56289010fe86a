#include "upload/SetCheck.h"

#include "TestFiles.h"

#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

class TestSetCheck : public QObject
{
    Q_OBJECT

private slots:
    void everyPlantedProblemIsFound()
    {
        QTemporaryDir dir;
        const QString root = dir.path();
        writeFile(root + "/Реестр.xlsx", "workbook");
        writeFile(root + "/a good.pdf", "%PDF-1.7 a");
        writeFile(root + "/b locked.pdf", "%PDF-1.7 b");
        writeFile(root + "/.~lock.b locked.pdf#", "user,host"); // an office suite has it open
        writeFile(root + "/c empty.pdf", "");
        writeFile(root + "/d scan.pdf", "\x89PNG\r\n");
        writeFile(root + "/e bad\tname.pdf", "%PDF-1.7 e");
        writeFile(root + "/Папка/f good.PDF", "%PDF-1.4 f");
        writeFile(root + "/Папка/short.pdf", "%PD");

        const SetCheckResult result = checkSet(root + "/Реестр.xlsx");
        QCOMPARE(result.documentCount, 7);
        // The workbook and every document an upload would send (a bad name is not sent).
        QCOMPARE(result.totalBytes, 8 + 10 + 6 + 10 + 3);
        QStringList found;
        for (const SetProblem &problem : result.problems) {
            QVERIFY(!problem.reason.isEmpty() && !problem.advice.isEmpty());
            found << problem.shownPath.mid(root.size() + 1) + ": " + problem.reason;
        }
        QCOMPARE(found,
            QStringList({"b locked.pdf: Файл открыт для записи в другой программе.",
                "c empty.pdf: Файл пуст.", "d scan.pdf: Файл не является документом PDF.",
                "e bad\\x09name.pdf: Имя содержит недопустимые символы (управляющие или \"\\\").",
                "Папка/short.pdf: Файл не является документом PDF."}));
    }

    void workbookThatCannotBeOpenedIsAProblem()
    {
        QTemporaryDir dir;
        const SetCheckResult missing = checkSet(dir.path() + "/нет.xlsx");
        QCOMPARE(missing.problems.size(), 1);
        QVERIFY(missing.problems.first().reason.startsWith("Файл не удаётся открыть для чтения"));

        const QByteArray fifo = QFile::encodeName(dir.path() + "/pipe.xlsx");
        QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
        QCOMPARE(checkSet(dir.path() + "/pipe.xlsx").problems.size(), 1); // and never blocks
    }

    void estimateNeedsAMeasuredSpeed()
    {
        QCOMPARE(estimatedTimeText(1000, 0), QString());
        QCOMPARE(estimatedTimeText(3600 * 100 + 61 * 100, 100), QString("1:01:01"));
        QCOMPARE(estimatedTimeText(1, 100), QString("0:00:01")); // a started second counts
    }
};

QTEST_APPLESS_MAIN(TestSetCheck)
#include "tst_setcheck.moc"
