#include "net/PartHeaderCharset.h"
#include "net/QuotedPrintable.h"
#include "net/Rfc2047.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QtTest>

namespace
{

QList<QByteArray> outputLines(const QByteArray &text)
{
    QList<QByteArray> lines = text.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

// Byte strings that stress the encoders: every byte value, line breaks of every kind,
// white space at line ends, dots and "=" at line starts, long runs across the limits.
QList<QByteArray> awkwardInputs()
{
    QList<QByteArray> inputs;
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(char(b));
    inputs << all << QByteArray() << "\r"
           << "\n"
           << "\r\n"
           << "\n\r"
           << "\r\r\n"
           << " \t"
           << "a \r\nb\t\nc .\r.d" << QByteArray(69, 'x') + "=" << QByteArray(70, 'x') + "."
           << QByteArray(200, ' ') << QByteArray(300, '.') << "=?UTF-8?B?YQ==?="
           << "x =?a?Q?b?= y"
           << "\"quoted\" \\back\\";
    QRandomGenerator random(20220331);
    const QByteArray alphabet("aZ .=\t\r\n\"\\?\x00\x7f\x80\xd0\xff", 16);
    for (int i = 0; i < 300; ++i) {
        QByteArray bytes;
        const int length = int(random.bounded(400));
        for (int j = 0; j < length; ++j)
            bytes.append(random.bounded(4) == 0 ? char(random.bounded(256))
                                                : alphabet[random.bounded(alphabet.size())]);
        inputs << bytes;
    }
    return inputs;
}

} // namespace

class TestEncodings : public QObject
{
    Q_OBJECT

private slots:
    void quotedPrintable_data();
    void quotedPrintable();
    void quotedPrintableProperties();

    void encodedWords_data();
    void encodedWords();
    void longNameIsFolded_data();
    void longNameIsFolded();
    void encodedWordProperties();

    void headerCharsetForLocale_data();
    void headerCharsetForLocale();
    void charsetRoundTrip_data();
    void charsetRoundTrip();
    void missingCharacterBecomesQuestionMark();
};

void TestEncodings::quotedPrintable_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray a69(69, 'A'), a70(70, 'A');
    QTest::newRow("plain word gets a closing CR LF")
        << QByteArray("getSession") << QByteArray("getSession\r\n");
    QTest::newRow("equals sign escaped") << QByteArray("a=b") << QByteArray("a=3Db\r\n");
    QTest::newRow("trailing space escaped") << QByteArray("end ") << QByteArray("end=20\r\n");
    QTest::newRow("trailing tab escaped") << QByteArray("end\t") << QByteArray("end=09\r\n");
    QTest::newRow("inner space and tab kept") << QByteArray("a b\tc") << QByteArray("a b\tc\r\n");
    QTest::newRow("leading dot escaped") << QByteArray(".x") << QByteArray("=2Ex\r\n");
    QTest::newRow("inner dot kept") << QByteArray("a.b") << QByteArray("a.b\r\n");
    QTest::newRow("control and high bytes as hex")
        << QByteArray("\x00\x1f\x7f\xd0\xff", 5) << QByteArray("=00=1F=7F=D0=FF\r\n");
    QTest::newRow("100 letters: soft break after 70")
        << QByteArray(100, 'A') << a70 + "=\r\n" + QByteArray(30, 'A') + "\r\n";
    QTest::newRow("69 letters: one under the limit") << a69 << a69 + "\r\n";
    QTest::newRow("70 letters: soft break at the limit") << a70 << a70 + "=\r\n\r\n";
    QTest::newRow("71 letters: one past the limit") << a70 + "A" << a70 + "=\r\nA\r\n";
    QTest::newRow("escape crossing the limit stays whole") << a69 + "=" << a69 + "=3D=\r\n\r\n";
    QTest::newRow("dot first after a soft break") << a70 + ".x" << a70 + "=\r\n=2Ex\r\n";
    QTest::newRow("space before a soft break is not trailing") << a69 + " b" << a69 + " =\r\nb\r\n";
    QTest::newRow("line break splits lines")
        << QByteArray("one\r\ntwo") << QByteArray("one\r\ntwo\r\n");
    QTest::newRow("lone LF and lone CR split lines")
        << QByteArray("a\nb\rc") << QByteArray("a\r\nb\r\nc\r\n");
    QTest::newRow("break at the end makes no empty line")
        << QByteArray("last\n") << QByteArray("last\r\n");
    QTest::newRow("CR then CR LF is two breaks")
        << QByteArray("x\r\r\ny") << QByteArray("x\r\n\r\ny\r\n");
    QTest::newRow("empty lines kept") << QByteArray("\n\n") << QByteArray("\r\n\r\n");
    QTest::newRow("trailing space before a break")
        << QByteArray("a \nb") << QByteArray("a=20\r\nb\r\n");
    QTest::newRow("empty input has no lines") << QByteArray() << QByteArray();
}

void TestEncodings::quotedPrintable()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    QCOMPARE(QuotedPrintable::encode(input), expected);
    QCOMPARE(QuotedPrintable::encodedLength(input), expected.size());
}

void TestEncodings::quotedPrintableProperties()
{
    for (const QByteArray &input : awkwardInputs()) {
        const QByteArray encoded = QuotedPrintable::encode(input);
        QCOMPARE(QuotedPrintable::encodedLength(input), encoded.size());
        QCOMPARE(QuotedPrintable::decode(encoded), QuotedPrintable::normalizedLines(input));
        QVERIFY(encoded.isEmpty() || encoded.endsWith("\r\n"));
        for (QByteArray line : outputLines(encoded)) {
            QVERIFY2(line.endsWith('\r'), encoded.toPercentEncoding().constData());
            line.chop(1);
            QVERIFY(line.size() <= QuotedPrintable::MaxLineLength);
            QVERIFY(!line.startsWith('.'));
            QVERIFY(!line.endsWith(' ') && !line.endsWith('\t'));
            for (char c : line)
                QVERIFY((c >= 32 && c <= 126) || c == '\t');
        }
    }
}

void TestEncodings::encodedWords_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("charset");
    QTest::addColumn<QByteArray>("expected");

    const QString registry = QStringLiteral("Реестр УНМЗ 2022.xlsx");
    QTest::newRow("Cyrillic name in KOI8-R")
        << registry << QByteArray("KOI8-R")
        << QByteArray("=?KOI8-R?B?8sXF09TSIPXu7fo=?= 2022.xlsx");
    QTest::newRow("Cyrillic name in UTF-8")
        << registry << QByteArray("UTF-8")
        << QByteArray("=?UTF-8?B?0KDQtdC10YHRgtGAINCj0J3QnNCX?= 2022.xlsx");
    QTest::newRow("printable ASCII passes unchanged")
        << QStringLiteral("action") << QByteArray("UTF-8") << QByteArray("action");
    QTest::newRow("ASCII with spaces and equals passes unchanged")
        << QStringLiteral(" a=b  c?d ") << QByteArray("KOI8-R") << QByteArray(" a=b  c?d ");
    QTest::newRow("white space around a run stays outside it")
        << QStringLiteral(" Ж x  Ж\t") << QByteArray("UTF-8")
        << QByteArray(" =?UTF-8?B?0JY=?= x  =?UTF-8?B?0JY=?=\t");
    QTest::newRow("double quote travels encoded") << QStringLiteral(
        "a\"b.pdf") << QByteArray("UTF-8") << QByteArray("=?UTF-8?B?YSJiLnBkZg==?=");
    QTest::newRow("backslash travels encoded")
        << QStringLiteral("dir\\") << QByteArray("UTF-8") << QByteArray("=?UTF-8?B?ZGlyXA==?=");
    QTest::newRow("CR LF cannot start a header line")
        << QStringLiteral("x\r\nContent-Type: evil") << QByteArray("UTF-8")
        << QByteArray("=?UTF-8?B?eA0KQ29udGVudC1UeXBlOg==?= evil");
    QTest::newRow("lone LF travels encoded")
        << QStringLiteral("a\nb") << QByteArray("UTF-8") << QByteArray("=?UTF-8?B?YQpi?=");
    QTest::newRow("text that reads as an encoded-word is encoded")
        << QStringLiteral("=?UTF-8?B?YQ==?= x") << QByteArray("UTF-8")
        << QByteArray("=?UTF-8?B?PT9VVEYtOD9CP1lRPT0/PQ==?= x");
    QTest::newRow("raw =? with no close still travels encoded") << QStringLiteral(
        "=?UTF-8?B?x Ж") << QByteArray("UTF-8") << QByteArray("=?UTF-8?B?PT9VVEYtOD9CP3gg0JY=?=");
    QTest::newRow("Ukrainian in windows-1251") << QStringLiteral(
        "Їжак") << QByteArray("windows-1251") << QByteArray("=?windows-1251?B?r+bg6g==?=");
}

void TestEncodings::encodedWords()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, charset);
    QFETCH(QByteArray, expected);
    const QByteArray encoded = Rfc2047::encode(text, charset);
    QCOMPARE(encoded, expected);
    QCOMPARE(Rfc2047::decode(encoded), text);
}

void TestEncodings::longNameIsFolded_data()
{
    QTest::addColumn<QByteArray>("charset");
    QTest::addColumn<int>("bytesPerWord");
    // 75 - len("=?" charset "?B?" "?=") gives the base64 room; whole groups of 4 fit.
    QTest::newRow("UTF-8: 15 groups, 45 bytes a word") << QByteArray("UTF-8") << 45;
    QTest::newRow("KOI8-R: 15 groups, 45 bytes a word") << QByteArray("KOI8-R") << 45;
    QTest::newRow("windows-1251: 14 groups, 42 bytes a word") << QByteArray("windows-1251") << 42;
}

void TestEncodings::longNameIsFolded()
{
    QFETCH(QByteArray, charset);
    QFETCH(int, bytesPerWord);
    const QString name
        = QStringLiteral("Сводный перечень нормативных документов УНМЗ за 2022 год.pdf");
    const QByteArray encoded = Rfc2047::encode(name, charset);
    QCOMPARE(Rfc2047::decode(encoded), name);

    // The run is everything up to "2022": encoded-words folded with CR LF and one space.
    const QList<QByteArray> words = encoded.left(encoded.indexOf(" 2022")).split('\n');
    QVERIFY(words.size() > 1);
    const QByteArray runBytes
        = HeaderCharset::fromUnicode(name.left(name.indexOf(QLatin1String(" 2022"))), charset);
    for (int i = 0; i < words.size(); ++i) {
        QByteArray word = words[i];
        if (i > 0) {
            QVERIFY(word.startsWith(' '));
            word.remove(0, 1);
        }
        if (i + 1 < words.size()) {
            QVERIFY(word.endsWith("?=\r"));
            word.chop(1);
        }
        QVERIFY(word.startsWith("=?" + charset + "?B?"));
        QVERIFY2(word.size() <= Rfc2047::MaxEncodedWordLength, word.constData());
        // Groups are cut by bytes: each word but the last carries exactly its share.
        const QByteArray payload = QByteArray::fromBase64(word.mid(charset.size() + 5).chopped(2));
        QCOMPARE(payload, runBytes.mid(i * bytesPerWord, bytesPerWord));
        // One more group would pass the limit.
        if (i + 1 < words.size())
            QVERIFY(word.size() + 4 > Rfc2047::MaxEncodedWordLength);
    }
}

void TestEncodings::encodedWordProperties()
{
    for (const QByteArray &charset : {QByteArray("UTF-8"), QByteArray("ISO-2022-JP")}) {
        for (const QByteArray &input : awkwardInputs()) {
            const QByteArray encoded = Rfc2047::encodeBytes(input, charset);
            QCOMPARE(Rfc2047::decodeBytes(encoded), input);
            for (qsizetype i = 0; i < encoded.size(); ++i) {
                const char c = encoded[i];
                if (c == '\r') {
                    QVERIFY2(encoded.mid(i, 5) == "\r\n =?",
                        (input.toPercentEncoding() + " -> " + encoded.toPercentEncoding())
                            .constData());
                    ++i;
                    continue;
                }
                QVERIFY((c >= 32 && c <= 126) || c == '\t');
                QVERIFY(c != '"');
                QVERIFY(c != '\\');
            }
            // Every "=?" opens one of our encoded-words.
            const QByteArray prefix = "=?" + charset + "?B?";
            for (qsizetype at = encoded.indexOf("=?"); at >= 0; at = encoded.indexOf("=?", at)) {
                QVERIFY(encoded.mid(at).startsWith(prefix));
                at = encoded.indexOf("?=", at + prefix.size());
                QVERIFY(at > 0);
                at += 2;
            }
            static const QRegularExpression word(
                QStringLiteral("=\\?[^?]+\\?B\\?[A-Za-z0-9+/=]*\\?="));
            for (const auto &match : word.globalMatch(QString::fromLatin1(encoded)))
                QVERIFY(match.capturedLength() <= Rfc2047::MaxEncodedWordLength);
        }
    }
}

void TestEncodings::headerCharsetForLocale_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QByteArray>("charset");
    QTest::newRow("Russian") << "ru_RU" << QByteArray("KOI8-R");
    QTest::newRow("Russian outside Russia") << "ru_UA" << QByteArray("KOI8-R");
    QTest::newRow("Ukrainian") << "uk_UA" << QByteArray("windows-1251");
    QTest::newRow("Japanese") << "ja_JP" << QByteArray("ISO-2022-JP");
    QTest::newRow("Korean") << "ko_KR" << QByteArray("csEUCKR");
    QTest::newRow("Chinese, simplified") << "zh_CN" << QByteArray("GB2312");
    QTest::newRow("Chinese, Singapore simplified") << "zh_SG" << QByteArray("GB2312");
    QTest::newRow("Chinese, traditional Taiwan") << "zh_TW" << QByteArray("Big5");
    QTest::newRow("Chinese, Hong Kong") << "zh_HK" << QByteArray("Big5");
    QTest::newRow("English") << "en_US" << QByteArray("UTF-8");
    QTest::newRow("Belarusian is another language") << "be_BY" << QByteArray("UTF-8");
    QTest::newRow("C locale") << "C" << QByteArray("UTF-8");
}

void TestEncodings::headerCharsetForLocale()
{
    QFETCH(QString, locale);
    QFETCH(QByteArray, charset);
    QCOMPARE(HeaderCharset::forLocale(QLocale(locale)), charset);
}

void TestEncodings::charsetRoundTrip_data()
{
    QTest::addColumn<QByteArray>("charset");
    QTest::addColumn<QString>("text");
    QTest::newRow("KOI8-R") << QByteArray("KOI8-R") << QStringLiteral("Реестр УНМЗ");
    QTest::newRow("windows-1251") << QByteArray("windows-1251") << QStringLiteral("Реєстр їжака");
    QTest::newRow("ISO-2022-JP") << QByteArray("ISO-2022-JP") << QStringLiteral("登録簿 2022.xlsx");
    QTest::newRow("csEUCKR") << QByteArray("csEUCKR") << QStringLiteral("등록부 목록");
    QTest::newRow("GB2312") << QByteArray("GB2312") << QStringLiteral("登记册 文件");
    QTest::newRow("Big5") << QByteArray("Big5") << QStringLiteral("登記冊 文件");
    QTest::newRow("UTF-8") << QByteArray("UTF-8") << QStringLiteral("Реестр 登録 😀");
}

void TestEncodings::charsetRoundTrip()
{
    QFETCH(QByteArray, charset);
    QFETCH(QString, text);
    bool ok = false;
    const QByteArray bytes = HeaderCharset::fromUnicode(text, charset, &ok);
    QVERIFY(ok);
    QCOMPARE(HeaderCharset::toUnicode(bytes, charset), text);
    const QByteArray encoded = Rfc2047::encode(text, charset);
    QVERIFY(encoded.startsWith("=?" + charset + "?B?"));
    QCOMPARE(Rfc2047::decode(encoded), text);
}

void TestEncodings::missingCharacterBecomesQuestionMark()
{
    QCOMPARE(HeaderCharset::fromUnicode(QStringLiteral("Ж€登"), "KOI8-R"), QByteArray("\xf6??"));
    QCOMPARE(HeaderCharset::fromUnicode(QStringLiteral("a\xd800"
                                                       "b"),
                 "UTF-8"),
        QByteArray("a?b"));
    QCOMPARE(HeaderCharset::latin1OrQuestion(QStringLiteral("aé Ж😀")), QByteArray("a\xe9 ??"));
    bool ok = true;
    QCOMPARE(HeaderCharset::fromUnicode(QStringLiteral("Ж"), "no-such-charset", &ok),
        QByteArray("\xd0\x96"));
    QVERIFY(!ok);
}

QTEST_GUILESS_MAIN(TestEncodings)
#include "tst_encodings.moc"
