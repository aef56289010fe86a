#include "upload/uFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// Builds a tree below `root` from lines: "name/" a folder, "name" an empty file,
// "name -> target" a symbolic link, "name|" a FIFO. Parents are made as needed.
bool buildTree(const QString &root, const QStringList &lines)
{
    for (const QString &line : lines) {
        const qsizetype arrow = line.indexOf(QStringLiteral(" -> "));
        QString name = arrow < 0 ? line : line.left(arrow);
        const bool fifo = name.endsWith(u'|');
        const bool folder = name.endsWith(u'/');
        if (fifo || folder)
            name.chop(1);
        const QString path = root + u'/' + name;
        if (!QDir().mkpath(path.left(path.lastIndexOf(u'/'))))
            return false;
        const QByteArray local = QFile::encodeName(path);
        if (arrow >= 0) {
            if (::symlink(QFile::encodeName(line.mid(arrow + 4)).constData(), local.constData()))
                return false;
        } else if (fifo) {
            if (::mkfifo(local.constData(), 0600))
                return false;
        } else if (folder) {
            if (!QDir().mkpath(path))
                return false;
        } else {
            QFile file(path);
            if (!file.open(QIODevice::WriteOnly))
                return false;
        }
    }
    return true;
}

QStringList relativeTo(const QString &root, const QStringList &entries)
{
    QStringList out;
    for (const QString &entry : entries)
        out.append(entry.startsWith(root + u'/') ? entry.mid(root.size() + 1) : u'!' + entry);
    return out;
}

} // namespace

class TestFiles : public QObject
{
    Q_OBJECT

private slots:
    void placement_data();
    void placement();
    void oneFolderUpExamples_data();
    void oneFolderUpExamples();
    void maskMatching_data();
    void maskMatching();
    void listing_data();
    void listing();
    void orderDoesNotDependOnCreationOrder();
    void entriesBeginWithFolderAsGiven();
    void stopEndsTheSearch();
    void unlistableFolderSkipped_data();
    void unlistableFolderSkipped();
};

void TestFiles::placement_data()
{
    QTest::addColumn<QString>("workbookFolder");
    QTest::addColumn<QString>("document");
    QTest::addColumn<QString>("folderValue");
    QTest::addColumn<QString>("fileName");

    const QString reg = QStringLiteral("/mnt/Reg");
    QTest::newRow("document beside the workbook: empty folder value") << reg << "/mnt/Reg/a.pdf"
                                                                      << ""
                                                                      << "a.pdf";
    QTest::newRow("one level down: that folder's name") << reg << "/mnt/Reg/P1/a.pdf"
                                                        << "P1"
                                                        << "a.pdf";
    QTest::newRow("two levels down: first level only") << reg << "/mnt/Reg/P1/Q/a.pdf"
                                                       << "P1"
                                                       << "a.pdf";
    QTest::newRow("three levels down: first two joined by backslash")
        << reg << "/mnt/Reg/P1/Q/R/a.pdf"
        << "P1\\Q"
        << "a.pdf";
    QTest::newRow("four levels down: first three joined by backslash")
        << reg << "/mnt/Reg/P1/Q/R/S/a.pdf"
        << "P1\\Q\\R"
        << "a.pdf";
    QTest::newRow("workbook folder recurring deeper is kept") << "/a"
                                                              << "/a/x/a/b.pdf"
                                                              << "x"
                                                              << "b.pdf";
    QTest::newRow("workbook folder recurring as a deeper level keeps every level")
        << "/a"
        << "/a/x/a/y/a/b.pdf"
        << "x\\a\\y"
        << "b.pdf";
    QTest::newRow("workbook in the root folder") << ""
                                                 << "/P1/Q/a.pdf"
                                                 << "P1"
                                                 << "a.pdf";
    QTest::newRow("Cyrillic names") << "/home/ю/Реестр"
                                    << "/home/ю/Реестр/Том 1/Акт №2.PDF"
                                    << "Том 1"
                                    << "Акт №2.PDF";
    QTest::newRow("colon is an ordinary character") << reg << "/mnt/Reg/P:1/Q:2/R/a:b.pdf"
                                                    << "P:1\\Q:2"
                                                    << "a:b.pdf";
}

void TestFiles::placement()
{
    QFETCH(QString, workbookFolder);
    QFETCH(QString, document);
    QFETCH(QString, folderValue);
    QFETCH(QString, fileName);

    const DocumentPlacement placement = documentPlacement(workbookFolder, document);
    QCOMPARE(placement.folderValue, folderValue);
    QCOMPARE(placement.fileName, fileName);
}

void TestFiles::oneFolderUpExamples_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");

    QTest::newRow("empty stays empty") << ""
                                       << "";
    QTest::newRow("one level stays") << "P1"
                                     << "P1";
    QTest::newRow("trailing backslash dropped") << "P1\\"
                                                << "P1";
    QTest::newRow("last level dropped") << "P1\\Q"
                                        << "P1";
    QTest::newRow("trailing backslash then last level") << "P1\\Q\\"
                                                        << "P1";
    QTest::newRow("leading backslash leaves nothing") << "\\P1"
                                                      << "";
    QTest::newRow("only one trailing backslash dropped") << "P1\\\\"
                                                         << "P1";
    QTest::newRow("colon is no delimiter") << "D:P1"
                                           << "D:P1";
    QTest::newRow("slash is no delimiter") << "P1/Q"
                                           << "P1/Q";
}

void TestFiles::oneFolderUpExamples()
{
    QFETCH(QString, path);
    QFETCH(QString, expected);
    QCOMPARE(oneFolderUp(path), expected);
}

void TestFiles::maskMatching_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("mask");
    QTest::addColumn<bool>("matches");

    QTest::newRow("lower-case extension") << "a.pdf"
                                          << "*.pdf" << true;
    QTest::newRow("upper-case extension") << "x.PDF"
                                          << "*.pdf" << true;
    QTest::newRow("mixed-case name and extension") << "X.Pdf"
                                                   << "*.pdf" << true;
    QTest::newRow("upper-case mask") << "a.pdf"
                                     << "*.PDF" << true;
    QTest::newRow("longer extension not matched") << "a.pdfx"
                                                  << "*.pdf" << false;
    QTest::newRow("extension without dot not matched") << "apdf"
                                                       << "*.pdf" << false;
    QTest::newRow("later extension decides") << "a.pdf.txt"
                                             << "*.pdf" << false;
    QTest::newRow("double extension ending in pdf") << "a.txt.pdf"
                                                    << "*.pdf" << true;
    QTest::newRow("star takes an empty run") << ".pdf"
                                             << "*.pdf" << true;
    QTest::newRow("Cyrillic letter case ignored") << "ДОГОВОР.pdf"
                                                  << "договор.*" << true;
    QTest::newRow("question mark takes one Cyrillic letter") << "ж.pdf"
                                                             << "?.pdf" << true;
    QTest::newRow("question mark takes exactly one") << "жж.pdf"
                                                     << "?.pdf" << false;
    QTest::newRow("question mark takes one character beyond 16 bits")
        << QString::fromUtf8("\xF0\x9F\x93\x84.pdf") << "?.pdf" << true;
    QTest::newRow("several stars backtrack") << "aXbYbc"
                                             << "a*b*c" << true;
    QTest::newRow("several stars, no match") << "aXbYbd"
                                             << "a*b*c" << false;
    QTest::newRow("empty mask matches only the empty name") << "a"
                                                            << "" << false;
    QTest::newRow("lone star matches anything") << "any name"
                                                << "*" << true;
    QTest::newRow("long run against many stars stays quick")
        << QString(5000, u'a') << QString(40, u'*') + u'b' << false;
    QTest::newRow("Kelvin sign folds to k") << QString::fromUtf8("a.\u212A") << "*.k" << true;
    QTest::newRow("long s folds to s") << QString::fromUtf8("a.\u017F") << "*.S" << true;
    QTest::newRow("ending longer than the name") << "df"
                                                 << "*.pdf" << false;
}

void TestFiles::maskMatching()
{
    QFETCH(QString, name);
    QFETCH(QString, mask);
    QFETCH(bool, matches);
    QCOMPARE(nameMatchesMask(name, mask), matches);
    // The search's matcher takes a shortcut for "*.pdf": it must agree on every row.
    QCOMPARE(MaskMatcher(mask).matches(name), matches);
}

void TestFiles::listing_data()
{
    QTest::addColumn<QStringList>("tree");
    QTest::addColumn<bool>("recursive");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("own documents first, then each subfolder depth first")
        << QStringList{"P1/Q/c.pdf", "P1/b.pdf", "a.pdf", "P2/d.pdf", "z.pdf"} << true
        << QStringList{"a.pdf", "z.pdf", "P1/b.pdf", "P1/Q/c.pdf", "P2/d.pdf"};
    QTest::newRow("non-recursive lists only the folder's own files")
        << QStringList{"P1/b.pdf", "a.pdf", "P2/"} << false << QStringList{"a.pdf"};
    QTest::newRow("name order ignores letter case, exact order breaks ties") << QStringList{"b.pdf",
        "a.pdf", "C.pdf", "A.pdf"} << true << QStringList{"A.pdf", "a.pdf", "b.pdf", "C.pdf"};
    QTest::newRow("folder order ignores letter case") << QStringList{
        "b/1.pdf", "A/2.pdf", "C/3.pdf"} << true << QStringList{"A/2.pdf", "b/1.pdf", "C/3.pdf"};
    QTest::newRow("extension in any letter case matches") << QStringList{"x.PDF", "X.Pdf/", "y.Pdf",
        "notes.txt", "a.pdfx"} << true << QStringList{"x.PDF", "y.Pdf"};
    QTest::newRow("hidden file listed, hidden folder not searched") << QStringList{".hidden.pdf",
        ".cache/a.pdf", "P/.b.pdf"} << true << QStringList{".hidden.pdf", "P/.b.pdf"};
    QTest::newRow("folder named x.pdf searched but not listed")
        << QStringList{"x.pdf/y.pdf", "x.pdf/z.txt"} << true << QStringList{"x.pdf/y.pdf"};
    QTest::newRow("folders without documents contribute nothing")
        << QStringList{"empty/", "texts/a.txt", "deep/er/"} << true << QStringList{};
    QTest::newRow("Cyrillic names in Cyrillic letter order")
        << QStringList{"Том 2/акт.pdf", "том 1/Акт №1.PDF", "том 1/акт 2.pdf", "Ёлка.pdf",
               "ярлык.pdf"}
        << true
        << QStringList{
               "ярлык.pdf", "Ёлка.pdf", "том 1/акт 2.pdf", "том 1/Акт №1.PDF", "Том 2/акт.pdf"};
    QTest::newRow("FIFO named like a document not listed")
        << QStringList{"pipe.pdf|", "a.pdf"} << true << QStringList{"a.pdf"};
    QTest::newRow("link to a file listed, dangling link not")
        << QStringList{"store/real.txt", "linked.pdf -> store/real.txt", "broken.pdf -> nowhere"}
        << true << QStringList{"linked.pdf"};
    QTest::newRow("link to a folder followed")
        << QStringList{"zdocs/a.pdf", "shortcut -> zdocs"} << true << QStringList{"shortcut/a.pdf"};
    QTest::newRow("folder reached by name and by a link entered once, by the first path")
        << QStringList{"docs/a.pdf", "shortcut -> docs"} << true << QStringList{"docs/a.pdf"};
    QTest::newRow("link to an ancestor not entered again")
        << QStringList{"P/a.pdf", "P/up -> .."} << true << QStringList{"P/a.pdf"};
    QTest::newRow("link to its own folder not entered again")
        << QStringList{"P/a.pdf", "P/self -> ."} << true << QStringList{"P/a.pdf"};
    QTest::newRow("loop between two folders ends") << QStringList{"A/a.pdf", "B/b.pdf",
        "A/toB -> ../B", "B/toA -> ../A"} << true << QStringList{"A/a.pdf", "A/toB/b.pdf"};
    QTest::newRow("link to a file outside not listed") << QStringList{"a.pdf",
        "x.pdf -> /etc/passwd", "z.pdf"} << true << QStringList{"a.pdf", "z.pdf"};
    QTest::newRow("hidden link to a folder not searched")
        << QStringList{"docs/a.pdf", ".shortcut -> docs"} << true << QStringList{"docs/a.pdf"};
}

void TestFiles::listing()
{
    QFETCH(QStringList, tree);
    QFETCH(bool, recursive);
    QFETCH(QStringList, expected);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString root = dir.path();
    QVERIFY(buildTree(root, tree));
    QCOMPARE(
        relativeTo(root, getFileListFromDir(root, QStringLiteral("*.pdf"), recursive)), expected);
}

void TestFiles::orderDoesNotDependOnCreationOrder()
{
    QStringList names;
    for (int i = 0; i < 60; ++i)
        names.append(QStringLiteral("%1%2/%3.pdf")
                         .arg(i % 2 ? u'D' : u'd')
                         .arg(i % 7)
                         .arg(QString(QChar(u'а' + (i * 13) % 32)) + QString::number(i)));
    QStringList reversed(names.rbegin(), names.rend());

    QTemporaryDir first, second;
    QVERIFY(first.isValid() && second.isValid());
    QVERIFY(buildTree(first.path(), names));
    QVERIFY(buildTree(second.path(), reversed));
    const QStringList one
        = relativeTo(first.path(), getFileListFromDir(first.path(), "*.pdf", true));
    QCOMPARE(one.size(), names.size());
    QCOMPARE(relativeTo(second.path(), getFileListFromDir(second.path(), "*.pdf", true)), one);
}

void TestFiles::entriesBeginWithFolderAsGiven()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(buildTree(dir.path(), {"sub/P/a.pdf"}));
    const QString given = dir.path() + QStringLiteral("//sub/../sub");
    QCOMPARE(getFileListFromDir(given, "*.pdf", true), QStringList{given + "/P/a.pdf"});
    QCOMPARE(getFileListFromDir(dir.path() + "/missing", "*.pdf", true), QStringList{});
}

void TestFiles::stopEndsTheSearch()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(buildTree(dir.path(), {"a.pdf", "sub/b.pdf"}));
    std::atomic<bool> stop{false};
    QCOMPARE(getFileListFromDir(dir.path(), "*.pdf", true, &stop).size(), 2);
    stop = true;
    QCOMPARE(getFileListFromDir(dir.path(), "*.pdf", true, &stop), QStringList{});
}

void TestFiles::unlistableFolderSkipped_data()
{
    QTest::addColumn<bool>("byPermissions");
    QTest::newRow("folder without read permission") << true;
    QTest::newRow("folder path longer than the system allows") << false;
}

void TestFiles::unlistableFolderSkipped()
{
    QFETCH(bool, byPermissions);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString root = dir.path();
    QVERIFY(buildTree(root, {"a.pdf", "m/b.pdf", "z/c.pdf"}));
    const QByteArray middle = QFile::encodeName(root + QStringLiteral("/m"));

    if (byPermissions) {
        if (::geteuid() == 0)
            QSKIP("permissions do not restrict the superuser");
        QVERIFY(::chmod(middle.constData(), 0) == 0);
        const QStringList found = relativeTo(root, getFileListFromDir(root, "*.pdf", true));
        ::chmod(middle.constData(), 0700);
        QCOMPARE(found, (QStringList{"a.pdf", "z/c.pdf"}));
        return;
    }

    // A chain of long names below m/ whose full path exceeds PATH_MAX, built and removed
    // through descriptors since no path call can reach its bottom.
    const QByteArray name(250, 'd');
    std::vector<int> fds{::open(middle.constData(), O_RDONLY | O_DIRECTORY)};
    QVERIFY(fds.back() >= 0);
    qsizetype length = middle.size();
    while (length <= PATH_MAX) {
        QVERIFY(::mkdirat(fds.back(), name.constData(), 0700) == 0);
        fds.push_back(::openat(fds.back(), name.constData(), O_RDONLY | O_DIRECTORY));
        QVERIFY(fds.back() >= 0);
        length += name.size() + 1;
    }
    const int deep = ::openat(fds.back(), "deep.pdf", O_CREAT | O_WRONLY, 0600);
    QVERIFY(deep >= 0);
    ::close(deep);

    const QStringList found = relativeTo(root, getFileListFromDir(root, "*.pdf", true));

    ::unlinkat(fds.back(), "deep.pdf", 0);
    while (fds.size() > 1) {
        ::close(fds.back());
        fds.pop_back();
        ::unlinkat(fds.back(), name.constData(), AT_REMOVEDIR);
    }
    ::close(fds.back());
    QCOMPARE(found, (QStringList{"a.pdf", "m/b.pdf", "z/c.pdf"}));
}

QTEST_GUILESS_MAIN(TestFiles)
#include "tst_files.moc"
