#include "net/UploadService.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace
{

// The whole body of a form, read through its stream.
QByteArray bodyOf(const MultipartForm &form)
{
    QByteArray body, block;
    auto stream = form.openBody();
    while (stream->nextBytes(block))
        body += block;
    return body;
}

// "name:kind" per part, in order; kind is the part's type line and transfer encoding.
QStringList partsOf(const MultipartForm &form)
{
    QStringList parts;
    for (const auto &field : form.fields())
        parts << field->name + u':' + field->contentType
                + (field->charset.isEmpty() ? QString() : u';' + field->charset) + u':'
                + field->transferEncoding;
    return parts;
}

} // namespace

class TestUploadService : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void formsCarryTheirFieldsInOrder()
    {
        const QString path = m_dir.path() + QStringLiteral("/Реестр.xlsx");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("xlsx");
        file.close();

        const QString text = QStringLiteral("text/plain:quoted-printable");
        const QString utf8 = QStringLiteral("text/plain;utf-8:8bit");
        QCOMPARE(partsOf(*UploadService::authForm("web")),
            QStringList({"action:" + text, "sid:" + text}));
        QCOMPARE(partsOf(*UploadService::sessionForm()), QStringList({"action:" + text}));
        QCOMPARE(partsOf(*UploadService::workbookForm(path)),
            QStringList({"action:" + text, "folder:" + text, "fileName:" + utf8,
                "isRegistry:" + text,
                "data:application/vnd.openxmlformats-officedocument.spreadsheetml.sheet:binary"}));
        QCOMPARE(partsOf(*UploadService::processRegistryForm(true)),
            QStringList({"action:" + text, "drawTiles:" + text}));
        QCOMPARE(partsOf(*UploadService::documentForm("P1\\Q", "a.pdf", path)),
            QStringList({"action:" + text, "folder:" + utf8, "fileName:" + utf8,
                "data:application/pdf:binary"}));
        QCOMPARE(partsOf(*UploadService::processFilesForm()), QStringList({"action:" + text}));
        QCOMPARE(partsOf(*UploadService::progressForm("s")),
            QStringList({"action:" + text, "sid:" + text}));

        const auto workbook = UploadService::workbookForm(path);
        QCOMPARE(workbook->fields().at(2)->value, QString("Реестр.xlsx")); // the bare name
        QCOMPARE(workbook->fields().at(3)->value, QString("true"));
        QCOMPARE(workbook->fields().at(1)->value, QString());
        QVERIFY(bodyOf(*workbook).contains("\r\n\r\nxlsx\r\n"));
        QCOMPARE(UploadService::processRegistryForm(true)->fields().at(1)->value, QString("1"));
        QCOMPARE(UploadService::processRegistryForm(false)->fields().at(1)->value, QString("0"));
        QVERIFY(bodyOf(*UploadService::documentForm("Папка", "a.pdf", path))
                    .contains("\r\n\r\n" + QString("Папка").toUtf8() + "\r\n"));
    }

    void aFileThatCannotBeOpenedFailsTheForm()
    {
        QVERIFY_THROWS_EXCEPTION(
            std::exception, UploadService::workbookForm(m_dir.path() + "/missing.xlsx"));
    }

    void endpointUsesTheAddressVerbatim_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("url");
        QTest::newRow("plain") << "http://h:1"
                               << "http://h:1/QuorvelFiles";
        QTest::newRow("trailing slash kept") << "http://h/"
                                             << "http://h//QuorvelFiles";
        QTest::newRow("empty address is a path") << ""
                                                 << "/QuorvelFiles";
        QTest::newRow("blanks not trimmed") << " http://h"
                                            << " http://h/QuorvelFiles";
    }

    void endpointUsesTheAddressVerbatim()
    {
        QFETCH(QString, base);
        QFETCH(QString, url);
        QCOMPARE(UploadService::endpoint(base), url);
    }

    void successIsExact_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<bool>("success");
        QTest::newRow("success") << "success" << true;
        QTest::newRow("trailing line break") << "success\n" << false;
        QTest::newRow("other letter case") << "Success" << false;
        QTest::newRow("byte-order mark") << QString(QChar(0xFEFF)) + "success" << false;
        QTest::newRow("empty") << "" << false;
    }

    void successIsExact()
    {
        QFETCH(QString, reply);
        QFETCH(bool, success);
        QCOMPARE(UploadService::isSuccess(reply), success);
    }

    void progressItems_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QStringList>("items");
        QTest::newRow("empty reply has no items") << "" << QStringList();
        QTest::newRow("one item") << "a" << QStringList{"a"};
        QTest::newRow("trailing separator adds nothing") << "a;b;" << QStringList{"a", "b"};
        QTest::newRow("leading separator gives an empty item") << ";a" << QStringList{"", "a"};
        QTest::newRow("adjacent separators give an empty item")
            << "a;;b" << QStringList{"a", "", "b"};
        QTest::newRow("separator alone") << ";" << QStringList{""};
        QTest::newRow("line breaks stay inside items") << "a\r\nb;c" << QStringList{"a\r\nb", "c"};
    }

    void progressItems()
    {
        QFETCH(QString, reply);
        QFETCH(QStringList, items);
        QCOMPARE(UploadService::progressItems(reply), items);
    }
};

QTEST_APPLESS_MAIN(TestUploadService)
#include "tst_uploadservice.moc"
