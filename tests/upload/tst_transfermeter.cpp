#include "upload/TransferMeter.h"

#include <QTest>

class TestTransferMeter : public QObject
{
    Q_OBJECT

private slots:
    void speedIsAMovingAverage()
    {
        TransferMeter meter;
        meter.sample(0, 0);
        meter.sample(400, 4000);
        QCOMPARE(meter.bytesPerSecond(), 0.0); // too short a span to tell
        QCOMPARE(meter.secondsLeft(100), qint64(-1));
        meter.sample(1000, 10000);
        QCOMPARE(meter.bytesPerSecond(), 10000.0);
        QCOMPARE(meter.secondsLeft(25000), qint64(3)); // a started second counts
        // Ten seconds later at half the speed: only the last five seconds count.
        for (qint64 t = 2000; t <= 11000; t += 1000)
            meter.sample(t, 10000 + (t - 1000) * 5);
        QCOMPARE(meter.bytesPerSecond(), 5000.0);
        // A stall shows as a falling speed, never as a time left that jumps backwards.
        meter.sample(16000, 60000);
        QCOMPARE(meter.bytesPerSecond(), 0.0);
        QCOMPARE(meter.secondsLeft(1), qint64(-1));
        // A smaller count starts afresh (the next run).
        meter.sample(17000, 10);
        QCOMPARE(meter.bytesPerSecond(), 0.0);
    }

    void texts_data()
    {
        QTest::addColumn<QString>("actual");
        QTest::addColumn<QString>("expected");
        QTest::newRow("bytes") << sizeText(512) << "512 Б";
        QTest::newRow("kibibytes") << sizeText(1536) << "1,5 КБ";
        QTest::newRow("mebibytes") << sizeText(5 * 1024 * 1024) << "5,0 МБ";
        QTest::newRow("gibibytes") << sizeText(qint64(3) << 30) << "3,0 ГБ";
        // Each unit's edge: the unit is chosen after rounding to one decimal.
        QTest::newRow("last bytes") << sizeText(1023) << "1023 Б";
        QTest::newRow("first kibibyte") << sizeText(1024) << "1,0 КБ";
        QTest::newRow("last kibibytes shown") << sizeText(1048524) << "1\u00A0023,9 КБ";
        QTest::newRow("kibibytes rounding to a mebibyte") << sizeText(1048525) << "1,0 МБ";
        QTest::newRow("one byte short of a mebibyte") << sizeText(1048575) << "1,0 МБ";
        QTest::newRow("first mebibyte") << sizeText(1048576) << "1,0 МБ";
        QTest::newRow("one byte short of a gibibyte") << sizeText(1073741823) << "1,0 ГБ";
        QTest::newRow("one byte short of a tebibyte")
            << sizeText((qint64(1) << 40) - 1) << "1,0 ТБ";
        QTest::newRow("tebibytes have no larger unit")
            << sizeText(qint64(1) << 50) << "1\u00A0024,0 ТБ";
        QTest::newRow("seconds") << durationText(7) << "0:07";
        QTest::newRow("minutes") << durationText(725) << "12:05";
        QTest::newRow("hours") << durationText(3723) << "1:02:03";
    }

    void texts()
    {
        QFETCH(QString, actual);
        QFETCH(QString, expected);
        QCOMPARE(actual, expected);
    }

    void viewAtEachStage()
    {
        TransferMeter meter;
        JobProgress progress;
        progress.step = JobProgress::Step::Registry;
        ProgressView view = progressView(progress, 0, meter);
        QCOMPARE(view.stage, QString("Обработка реестра на сервере"));
        QVERIFY(view.indeterminate);
        QVERIFY(view.detail.isEmpty()); // never a made-up time for the service's work

        progress.step = JobProgress::Step::Documents;
        progress.documentsTotal = 10;
        progress.documentsSent = 2;
        progress.documentBytesTotal = 10 * 1024 * 1024;
        meter.sample(0, 0);
        meter.sample(1000, 1024 * 1024);
        view = progressView(progress, 1024 * 1024, meter);
        QCOMPARE(view.stage, QString("Передача документов: 3 из 10"));
        QVERIFY(!view.indeterminate);
        QCOMPARE(view.permille, 100);
        QCOMPARE(view.detail, QString("1,0 МБ из 10,0 МБ, 1,0 МБ/с, осталось 0:09"));

        progress.step = JobProgress::Step::Attaching;
        QCOMPARE(
            progressView(progress, 0, meter).stage, QString("Прикрепление документов на сервере"));
        progress.step = JobProgress::Step::Ended;
        QCOMPARE(progressView(progress, 0, meter).stage, QString("Загрузка завершена"));
    }
};

QTEST_APPLESS_MAIN(TestTransferMeter)
#include "tst_transfermeter.moc"
