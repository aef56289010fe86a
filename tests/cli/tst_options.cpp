#include "cli/CliOptions.h"

#include "TestFiles.h"

#include <QTemporaryDir>
#include <QTest>

Q_DECLARE_METATYPE(CliOptions::Colour)
Q_DECLARE_METATYPE(CliOptions::Action)

class TestOptions : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString file(const QString &name, const QByteArray &bytes)
    {
        const QString path = m_dir.filePath(name);
        writeFile(path, bytes);
        return path;
    }

private slots:
    void goodLines_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("environmentSession");
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("session");
        QTest::addColumn<bool>("auth");
        QTest::addColumn<bool>("drawTiles");
        QTest::addColumn<CliOptions::Colour>("colour");
        QTest::addColumn<bool>("quiet");
        QTest::addColumn<QString>("registerPath");

        const auto autoColour = CliOptions::Colour::Auto;
        const QString local = QStringLiteral("http://127.0.0.1:8080");
        QTest::newRow("register alone: the window's defaults")
            << QStringList{"r.xlsx"} << "" << local << "" << true << true << autoColour << false
            << "r.xlsx";
        QTest::newRow("every switch, values after the option")
            << QStringList{"--server", "http://h:1", "--no-auth", "--no-map-objects", "-q",
                   "--color=never", "--session", "s1", "r.xls"}
            << ""
            << "http://h:1"
            << "s1" << false << false << CliOptions::Colour::Never << true << "r.xls";
        QTest::newRow("values after an equals sign")
            << QStringList{"--server=http://h:2", "--session=s=2", "r.xlsx"} << ""
            << "http://h:2"
            << "s=2" << true << true << autoColour << false << "r.xlsx";
        QTest::newRow("--color alone means always")
            << QStringList{"--color", "r.xlsx"} << "" << local << "" << true << true
            << CliOptions::Colour::Always << false << "r.xlsx";
        QTest::newRow("session from the environment")
            << QStringList{"r.xlsx"} << "env-sid" << local << "env-sid" << true << true
            << autoColour << false << "r.xlsx";
        QTest::newRow("--session beats the environment")
            << QStringList{"--session", "arg-sid", "r.xlsx"} << "env-sid" << local << "arg-sid"
            << true << true << autoColour << false << "r.xlsx";
        QTest::newRow("after --, a register named like an option")
            << QStringList{"--", "--r.xlsx"} << "" << local << "" << true << true << autoColour
            << false << "--r.xlsx";
        QTest::newRow("an empty address is taken as given")
            << QStringList{"--server=", "r.xlsx"} << ""
            << ""
            << "" << true << true << autoColour << false << "r.xlsx";
    }

    void goodLines()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, environmentSession);
        const CliParse parse = parseCommandLine(arguments, [&](const char *name) {
            return QByteArray(name) == "UNMZ_SESSION" ? environmentSession : QString();
        });
        QCOMPARE(parse.error, QString());
        const CliOptions &options = parse.options;
        QCOMPARE(options.action, CliOptions::Action::Upload);
        QTEST(options.server, "server");
        QTEST(options.session, "session");
        QTEST(options.auth, "auth");
        QTEST(options.drawTiles, "drawTiles");
        QTEST(options.colour, "colour");
        QTEST(options.quiet, "quiet");
        QTEST(options.registerPath, "registerPath");
    }

    void sessionFromAFile_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("session");
        QTest::addColumn<bool>("good");
        QTest::newRow("first line only, CR LF and blanks gone")
            << QByteArray(" abc \r\nsecond\n") << "abc" << true;
        QTest::newRow("no line break at the end") << QByteArray("abc") << "abc" << true;
        QTest::newRow("empty file: empty session") << QByteArray() << "" << true;
        QTest::newRow("first line at the limit")
            << QByteArray(MaxSessionLine, 'x') + "\nrest" << QString(MaxSessionLine, u'x') << true;
        QTest::newRow("first line one past the limit") << QByteArray(MaxSessionLine + 1, 'x') + "\n"
                                                       << "" << false;
    }

    void sessionFromAFile()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, good);
        const QString path = file(QStringLiteral("session"), content);
        const CliParse parse = parseCommandLine({"--session-file", path, "r.xlsx"},
            [](const char *) { return QStringLiteral("env-sid"); });
        QCOMPARE(parse.error.isEmpty(), good);
        if (good)
            QTEST(parse.options.session, "session");
    }

    void usageErrors_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("reason");
        QTest::newRow("no register") << QStringList{"--no-auth"} << "не указан файл реестра";
        QTest::newRow("nothing at all") << QStringList{} << "не указан файл реестра";
        QTest::newRow("unknown option")
            << QStringList{"--bogus", "r.xlsx"} << "неизвестный параметр «--bogus»";
        QTest::newRow("unknown option named without its value")
            << QStringList{"--sesion=SECRET", "r.xlsx"} << "неизвестный параметр «--sesion»";
        QTest::newRow("time limit that is not a number") << QStringList{
            "--idle-timeout", "soon", "r.xlsx"} << "параметру --idle-timeout нужно число секунд";
        QTest::newRow("negative connect limit") << QStringList{"--connect-timeout=-1", "r.xlsx"}
                                                << "параметру --connect-timeout нужно число секунд";
        QTest::newRow("unknown short option")
            << QStringList{"-x", "r.xlsx"} << "неизвестный параметр «-x»";
        QTest::newRow("two registers")
            << QStringList{"a.xlsx", "b.xlsx"} << "лишний аргумент «b.xlsx»";
        QTest::newRow("value missing at the end")
            << QStringList{"r.xlsx", "--server"} << "параметру --server нужно значение";
        QTest::newRow("a switch given a value")
            << QStringList{"--no-auth=yes", "r.xlsx"} << "параметр --no-auth не принимает";
        QTest::newRow("colour out of its choices")
            << QStringList{"--color=sometimes", "r.xlsx"} << "«sometimes» параметра --color";
        QTest::newRow("two sources of the session") << QStringList{"--session", "s",
            "--session-file", "f", "r.xlsx"} << "--session и --session-file";
        QTest::newRow("session file that cannot be read") << QStringList{"--session-file",
            "/nonexistent/sid", "r.xlsx"} << "не удалось открыть файл сессии «/nonexistent/sid»";
        QTest::newRow("report without its file")
            << QStringList{"r.xlsx", "--report"} << "параметру --report нужно значение";
        QTest::newRow("report with an empty name")
            << QStringList{"--report=", "r.xlsx"} << "параметру --report нужно значение";
        QTest::newRow("check given a value")
            << QStringList{"--check=yes", "r.xlsx"} << "параметр --check не принимает";
        QTest::newRow("check without a register")
            << QStringList{"--check"} << "не указан файл реестра";
    }

    void usageErrors()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, reason);
        const CliParse parse = parseCommandLine(arguments, [](const char *) { return QString(); });
        QVERIFY2(parse.error.contains(reason), qPrintable(parse.error));
        QVERIFY(!parse.error.contains("SECRET"));
        QVERIFY(!parse.error.contains(u'\n')); // one line
    }

    void helpAndVersionAnswerFirst_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<CliOptions::Action>("action");
        QTest::newRow("help before a bad option")
            << QStringList{"--help", "--bogus"} << CliOptions::Action::Help;
        QTest::newRow("short help without a register")
            << QStringList{"-h"} << CliOptions::Action::Help;
        QTest::newRow("version") << QStringList{"--version"} << CliOptions::Action::Version;
        QTest::newRow("check") << QStringList{"--check", "r.xlsx"} << CliOptions::Action::Check;
    }

    void helpAndVersionAnswerFirst()
    {
        QFETCH(QStringList, arguments);
        const CliParse parse = parseCommandLine(arguments, [](const char *) { return QString(); });
        QCOMPARE(parse.error, QString());
        QTEST(parse.options.action, "action");
    }

    void helpNamesEveryOptionInBothLanguages()
    {
        const QString help = helpText();
        for (const char *option : {"--server", "--session ", "--session-file", "--no-auth",
                 "--no-map-objects", "--color", "--quiet", "--help", "--version", "--check",
                 "--report", "--connect-timeout", "--idle-timeout"})
            QVERIFY2(help.contains(QLatin1String(option)), option);
        for (const char *status : {"  0 ", "  1 ", "  2 ", "  64 ", "  130 ", "  143 "})
            QVERIFY2(help.contains(QLatin1String(status)), status);
        QVERIFY(help.contains(QStringLiteral("Использование:")));
        QVERIFY(help.contains(QStringLiteral("Usage:")));
        QVERIFY(versionText().startsWith(QStringLiteral("unmz-upload ")));
    }
};

QTEST_APPLESS_MAIN(TestOptions)
#include "tst_options.moc"
