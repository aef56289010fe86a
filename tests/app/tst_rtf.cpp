#include "app/RtfWriter.h"

#include "app/main.h"
#include "diag/uLogWriter.h"

#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>

namespace
{

std::pair<QString, QString> fixedStamp()
{
    return {QStringLiteral("01.02.2024"), QStringLiteral("14:03:07")};
}

// One paragraph as an independent reader shows it.
struct ShownLine {
    QString text;
    QString colour; // "#rrggbb", or empty
    bool bold = false;
};

// The text of an HTML fragment without tags, entities decoded.
QString decodeEntities(const QString &html)
{
    QTextDocument document;
    document.setHtml(html);
    return document.toPlainText();
}

// Reads an RTF file back with unrtf's HTML output: one <br> per paragraph mark.
QList<ShownLine> readBack(const QString &path, QString *error)
{
    QProcess unrtf;
    unrtf.start(QStringLiteral("unrtf"), {QStringLiteral("--html"), path});
    if (!unrtf.waitForFinished(20000) || unrtf.exitCode() != 0) {
        *error = QString::fromUtf8(unrtf.readAllStandardError());
        return {};
    }
    const QString html = QString::fromUtf8(unrtf.readAllStandardOutput());
    const qsizetype bodyStart = html.indexOf(QStringLiteral("<body>"));
    const qsizetype bodyEnd = html.indexOf(QStringLiteral("</body>"));
    if (bodyStart < 0 || bodyEnd < 0) {
        *error = html;
        return {};
    }
    const QString body = html.mid(bodyStart + 6, bodyEnd - bodyStart - 6);
    static const QRegularExpression tag(QStringLiteral("<[^>]*>"));
    static const QRegularExpression colour(QStringLiteral("<font color=\"(#[0-9a-fA-F]{6})\">"));
    QList<ShownLine> lines;
    const QStringList chunks = body.split(QStringLiteral("<br>"));
    for (const QString &chunk : chunks) {
        ShownLine line;
        line.text = decodeEntities(QString(chunk).remove(tag)).trimmed();
        line.colour = colour.match(chunk).captured(1).toLower();
        line.bold = chunk.contains(QStringLiteral("<b>"));
        lines << line;
    }
    // Text after the last paragraph mark: none in a journal file.
    if (!lines.isEmpty() && lines.last().text.isEmpty())
        lines.removeLast();
    return lines;
}

// Answers the save dialog as a user would, once it is open.
void answerSaveDialog(TForm1 &form, const QString &path)
{
    QTimer::singleShot(0, &form, [&form, path] {
        if (path.isEmpty()) {
            form.saveDialog()->reject();
            return;
        }
        form.saveDialog()->selectFile(path);
        static_cast<QDialog *>(form.saveDialog())->accept(); // what the Save button does
    });
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestRtf : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void escapedText_data();
    void escapedText();
    void documentIsAsciiWithoutByteOrderMark();
    void emptyJournalGivesDocumentWithoutText();
    void savedJournalReadsBackWithColoursAndBold();
    void saveKeepsTheViewAndItsSelection();
    void nameWithoutExtensionGetsRtf();
    void existingFileIsReplacedWithoutQuestion();
    void cancelWritesNothing();
    void unwritableFileIsLoggedAndLeavesJournal();

private:
    QTemporaryDir m_dir;
};

void TestRtf::initTestCase()
{
    QVERIFY(m_dir.isValid());
    setLogFolderForTesting(m_dir.path() + u'/');
    TForm1::setJournalStampForTesting(fixedStamp);
    if (QStandardPaths::findExecutable(QStringLiteral("unrtf")).isEmpty())
        QSKIP("unrtf is not installed (scripts/setup installs it)");
}

void TestRtf::escapedText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("ASCII as it is") << "1. ok" << QByteArray("1. ok");
    QTest::newRow("RTF's own characters quoted") << "a\\b{c}" << QByteArray("a\\\\b\\{c\\}");
    QTest::newRow("Cyrillic as signed 16-bit escapes")
        << "Пр" << QByteArray("\\u1055\\'3f\\u1088\\'3f");
    QTest::newRow("code units above 0x7FFF are negative")
        << QStringLiteral("\uFFFD") << QByteArray("\\u-3\\'3f");
    QTest::newRow("characters beyond the BMP as two code units")
        << QStringLiteral("\U0001F600") << QByteArray("\\u-10179\\'3f\\u-8704\\'3f");
    QTest::newRow("in-paragraph break and tab")
        << QStringLiteral("a\u2028b\tc") << QByteArray("a\\line b\\tab c");
    QTest::newRow("other control characters dropped") << "a\x01\x1f"
                                                         "b"
                                                      << QByteArray("ab");
    QTest::newRow("DEL and Latin-1")
        << QStringLiteral("\x7f\u00e9") << QByteArray("\x7f\\u233\\'3f");
}

void TestRtf::escapedText()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, expected);
    QCOMPARE(rtfEscapedText(text), expected);
}

void TestRtf::documentIsAsciiWithoutByteOrderMark()
{
    QString everything;
    for (char16_t c = 1; c < 0xD800; c += 7)
        everything += QChar(c);
    const QByteArray rtf = rtfDocument({{RtfRun{everything, QColor(255, 0, 0), true}}});
    QVERIFY(rtf.startsWith("{\\rtf1"));
    QVERIFY(rtf.contains("\\fonttbl{\\f0\\fnil\\fcharset204 Tahoma;}"));
    QVERIFY(rtf.contains("\\red255\\green0\\blue0;"));
    for (const char byte : rtf)
        QVERIFY(uchar(byte) < 128);
    QCOMPARE(rtf.count("\\par"), 1 + rtf.count("\\pard"));
}

void TestRtf::emptyJournalGivesDocumentWithoutText()
{
    TForm1 form;
    const QString path = m_dir.filePath(QStringLiteral("empty.rtf"));
    answerSaveDialog(form, path);
    form.N3Click();
    const QByteArray rtf = fileBytes(path);
    QVERIFY(rtf.startsWith("{\\rtf1"));
    QVERIFY(!rtf.contains("\\par "));
    QVERIFY(!rtf.contains("\\par\r"));
    QString error;
    QCOMPARE(readBack(path, &error).size(), 0);
    QVERIFY2(error.isEmpty(), qPrintable(error));
}

void TestRtf::savedJournalReadsBackWithColoursAndBold()
{
    TForm1 form;
    form.addMessage(QStringLiteral("Начало загрузки {файла} C:\\реестр.xlsx"));
    form.addOkMessage(QStringLiteral("Реестр принят <b>ok</b> & готов"));
    form.addWarningMessage(QStringLiteral("Внимание: пустая строка"));
    form.addErrorMessage(QStringLiteral("Ошибка: нет связи"));
    form.addMessage(QStringLiteral("После ошибки — обычная строка"));

    const QString path = m_dir.filePath(QStringLiteral("journal.rtf"));
    answerSaveDialog(form, path);
    form.N3Click();

    QString error;
    const QList<ShownLine> lines = readBack(path, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    const QList<ShownLine> expected{
        {QStringLiteral("1. 01.02.2024 14:03:07 Начало загрузки {файла} C:\\реестр.xlsx"), {},
            false},
        {QStringLiteral("2. 01.02.2024 14:03:07 Реестр принят <b>ok</b> & готов"), "#008000", true},
        {QStringLiteral("3. 01.02.2024 14:03:07 Внимание: пустая строка"), "#0000ff", true},
        {QStringLiteral("4. 01.02.2024 14:03:07 Ошибка: нет связи"), "#ff0000", true},
        {QStringLiteral("5. 01.02.2024 14:03:07 После ошибки — обычная строка"), {}, false},
    };
    QCOMPARE(lines.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        QCOMPARE(lines.at(i).text, expected.at(i).text);
        QCOMPARE(lines.at(i).colour, expected.at(i).colour);
        QCOMPARE(lines.at(i).bold, expected.at(i).bold);
    }
}

void TestRtf::saveKeepsTheViewAndItsSelection()
{
    TForm1 form;
    form.addMessage(QStringLiteral("a"));
    form.addOkMessage(QStringLiteral("b"));
    const QString before = form.reMessages->document()->toRawText();
    const int start = form.reMessages->textCursor().selectionStart();
    const int end = form.reMessages->textCursor().selectionEnd();
    answerSaveDialog(form, m_dir.filePath(QStringLiteral("keep.rtf")));
    form.N3Click();
    QCOMPARE(form.reMessages->document()->toRawText(), before);
    QCOMPARE(form.reMessages->textCursor().selectionStart(), start);
    QCOMPARE(form.reMessages->textCursor().selectionEnd(), end);
    QCOMPARE(form.num, 2);
}

void TestRtf::nameWithoutExtensionGetsRtf()
{
    TForm1 form;
    form.addMessage(QStringLiteral("x"));
    answerSaveDialog(form, m_dir.filePath(QStringLiteral("noext")));
    form.N3Click();
    QVERIFY(QFile::exists(m_dir.filePath(QStringLiteral("noext.rtf"))));
    QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral("noext"))));
}

void TestRtf::existingFileIsReplacedWithoutQuestion()
{
    const QString path = m_dir.filePath(QStringLiteral("old.txt"));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(5000, 'z'));
    }
    TForm1 form;
    form.addMessage(QStringLiteral("new"));
    answerSaveDialog(form, path);
    form.N3Click(); // a question box would block here
    const QByteArray rtf = fileBytes(path);
    QVERIFY(rtf.startsWith("{\\rtf1")); // RTF whatever the extension
    QVERIFY(!rtf.contains('z'));
}

void TestRtf::cancelWritesNothing()
{
    TForm1 form;
    form.addMessage(QStringLiteral("x"));
    const QStringList before = QDir(m_dir.path()).entryList(QDir::Files);
    answerSaveDialog(form, QString());
    form.N3Click();
    QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files), before);
}

void TestRtf::unwritableFileIsLoggedAndLeavesJournal()
{
    TForm1 form;
    form.addMessage(QStringLiteral("x"));
    const QString path = m_dir.filePath(QStringLiteral("no-such-folder/j.rtf"));
    answerSaveDialog(form, path);
    form.N3Click();
    QCOMPARE(form.num, 1);
    QString log;
    for (const QString &name : QDir(m_dir.path()).entryList({QStringLiteral("*.err")}))
        log += QString::fromLatin1(fileBytes(m_dir.filePath(name)));
    QVERIFY2(log.contains(QStringLiteral("TForm1.N3Click: ")), qPrintable(log));
}

QTEST_MAIN(TestRtf)
#include "tst_rtf.moc"
