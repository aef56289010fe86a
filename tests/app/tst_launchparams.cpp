#include "app/uLaunchParams.h"

#include <QTest>

using Entries = QMap<QString, QString>;

class TestLaunchParams : public QObject
{
    Q_OBJECT

    static void rebuild(const QStringList &items)
    {
        launchParams.clear();
        valuedParams.clear();
        buildLaunchParams(items);
    }

private slots:
    void valuedEntries_data()
    {
        QTest::addColumn<QStringList>("items");
        QTest::addColumn<Entries>("expected");
        auto row = [](const char *name, QStringList items, Entries expected) {
            QTest::newRow(name) << items << expected;
        };
        row("address with port is stored only by the = pass", {"ADR=s://h:1/a"},
            {{"ADR", "s://h:1/a"}});
        row("address without port also gives a : entry", {"ADR=s://h/a"},
            {{"ADR", "s://h/a"}, {"ADR=S", "//h/a"}});
        row("split at the last =", {"A=b=c"}, {{"A=B", "c"}});
        row("quotes removed from the value", {"sid='12'3'"}, {{"SID", "123"}});
        row("quotes stay in the key", {"'sid'=1"}, {{"'SID'", "1"}});
        row("empty value", {"x="}, {{"X", ""}});
        row("empty key from a leading colon", {":x"}, {{"", "x"}});
        row("trailing colon alone gives one piece", {"sid:"}, {});
        row("trailing colon after a value", {"sid:abc:"}, {{"SID", "abc"}});
        row("empty second piece", {"A::"}, {{"A", ""}});
        row("both passes on one item", {"A:b=c"}, {{"A:B", "c"}, {"A", "b=c"}});
        row("later = item wins", {"sid=1", "SID=2"}, {{"SID", "2"}});
        row("the : pass runs last", {"sid:2", "sid=1"}, {{"SID", "2"}});
        row("Cyrillic keys are upper-cased", {"адр=1"}, {{"АДР", "1"}});
        row("auth value keeps its case", {"auth=False"}, {{"AUTH", "False"}});
        row("line break inside a value", {"a=x\ny"}, {{"A", "x\ny"}});
        row("three colon pieces add nothing", {"X::Y"}, {});
        row("no parameters", {}, {});
    }

    void valuedEntries()
    {
        QFETCH(QStringList, items);
        QFETCH(Entries, expected);
        rebuild(items);
        QCOMPARE(valuedParams, expected);
        for (const QString &item : items)
            QVERIFY(launchParams.contains(item));
        QCOMPARE(launchParams.size(), QSet<QString>(items.begin(), items.end()).size());
    }

    void lookups()
    {
        rebuild({"ADR"});
        QVERIFY(checkParams("ADR"));
        QCOMPARE(getParamValue("ADR"), QString());
        QVERIFY(!checkParams("adr"));

        rebuild({"sid"});
        QVERIFY(checkParams("sid"));
        QVERIFY(!checkParams("SID"));

        rebuild({"sid=1"});
        QVERIFY(checkParams("sid"));
        QVERIFY(checkParams("SID"));
        QCOMPARE(getParamValue("Sid"), QString("1"));

        rebuild({"'sid'=1"});
        QCOMPARE(getParamValue("sid"), QString());

        rebuild({});
        QVERIFY(!checkParams("ADR"));
        QCOMPARE(getParamValue("auth"), QString());
    }

    void upperCasingKeepsLength()
    {
        // "ß" and the "ﬁ" ligature grow under full case mapping; keys must not.
        const QString key = QString::fromUtf8("straße\u00DF\uFB01ä");
        QCOMPARE(upperSameLength(key).size(), key.size());
        QCOMPARE(upperSameLength(QString::fromUtf8("ёлка")), QString::fromUtf8("ЁЛКА"));
    }

    void splitCommandLine_data()
    {
        QTest::addColumn<QString>("commandLine");
        QTest::addColumn<QStringList>("items");
        QTest::newRow("whole item quoted keeps its space")
            << R"(prog.exe "ADR=s://h/a b")" << QStringList{"prog.exe", "ADR=s://h/a b"};
        QTest::newRow("quoted value after =")
            << R"(prog.exe ADR="s://h/a b")" << QStringList{"prog.exe", "ADR=s://h/a b"};
        QTest::newRow("unquoted space ends the item")
            << "prog.exe ADR=s://h/a b" << QStringList{"prog.exe", "ADR=s://h/a", "b"};
        QTest::newRow("empty quoted pairs are skipped")
            << "prog \"\" \"\"  x" << QStringList{"prog", "x"};
        QTest::newRow("control characters separate") << "prog\ta\x01"
                                                        "b\r\nc"
                                                     << QStringList{"prog", "a", "b", "c"};
        QTest::newRow("backslash is ordinary")
            << R"("C:\Program Files\u.exe" sid=\"1)"
            << QStringList{"C:\\Program Files\\u.exe", "sid=\\1"};
        QTest::newRow("unclosed quote runs to the end")
            << "prog \"a b" << QStringList{"prog", "a b"};
        QTest::newRow("quote inside an item")
            << "prog a\"b c\"d e" << QStringList{"prog", "ab cd", "e"};
        QTest::newRow("nothing") << "   " << QStringList{};
        // Found by fuzzing: a lone quote at the end made an empty item.
        QTest::newRow("lone quote at the end is no item")
            << "prog a \"\"\"" << QStringList{"prog", "a"};
        QTest::newRow("lone quote alone is no item") << "\"" << QStringList{};
    }

    void splitCommandLine()
    {
        QFETCH(QString, commandLine);
        QFETCH(QStringList, items);
        QCOMPARE(::splitCommandLine(commandLine), items);
    }
};

QTEST_APPLESS_MAIN(TestLaunchParams)
#include "tst_launchparams.moc"
