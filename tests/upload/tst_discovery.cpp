#include "upload/uFiles.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <ftw.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using Problem = FoundDocument::Problem;

namespace
{

// A scratch folder removed by its bytes: QTemporaryDir cannot remove names that are not
// UTF-8.
class Scratch
{
public:
    ~Scratch()
    {
        if (m_dir.isValid()) {
            ::nftw(
                QFile::encodeName(m_dir.path()).constData(),
                [](const char *path, const struct stat *, int, FTW *) { return ::remove(path); },
                16, FTW_DEPTH | FTW_PHYS);
        }
    }
    bool isValid() const { return m_dir.isValid(); }
    QString path() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
};

bool makeFolders(const QByteArray &path)
{
    for (qsizetype slash = path.indexOf('/', 1); slash >= 0; slash = path.indexOf('/', slash + 1)) {
        if (::mkdir(path.left(slash).constData(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    return ::mkdir(path.constData(), 0700) == 0 || errno == EEXIST;
}

// Builds a tree below `root` from raw byte lines: "name/" a folder, "name" an empty file,
// "name -> target" a symbolic link ("@ROOT" in the target stands for `root`), "name|" a
// FIFO. Parents are made as needed.
bool buildTree(const QByteArray &root, const QByteArrayList &lines)
{
    for (const QByteArray &line : lines) {
        const qsizetype arrow = line.indexOf(" -> ");
        QByteArray name = arrow < 0 ? line : line.left(arrow);
        const bool fifo = name.endsWith('|');
        const bool folder = name.endsWith('/');
        if (fifo || folder)
            name.chop(1);
        const QByteArray path = root + '/' + name;
        if (!makeFolders(path.left(path.lastIndexOf('/'))))
            return false;
        if (arrow >= 0) {
            const QByteArray target = line.mid(arrow + 4).replace("@ROOT", root);
            if (::symlink(target.constData(), path.constData()) != 0)
                return false;
        } else if (fifo) {
            if (::mkfifo(path.constData(), 0600) != 0)
                return false;
        } else if (folder) {
            if (!makeFolders(path))
                return false;
        } else {
            const int fd = ::open(path.constData(), O_CREAT | O_WRONLY, 0600);
            if (fd < 0)
                return false;
            ::close(fd);
        }
    }
    return true;
}

QString problemName(Problem problem)
{
    switch (problem) {
    case Problem::None: return QStringLiteral("ok");
    case Problem::NotUtf8: return QStringLiteral("NotUtf8");
    case Problem::BadCharacters: return QStringLiteral("BadCharacters");
    case Problem::LinkOutside: return QStringLiteral("LinkOutside");
    }
    return QStringLiteral("?");
}

// "kind shown-path-below-root" per entry, for readable comparisons.
QStringList described(const QString &root, const std::vector<FoundDocument> &found)
{
    QStringList out;
    for (const FoundDocument &entry : found) {
        const QString shown = entry.shownPath.startsWith(root + u'/')
            ? entry.shownPath.mid(root.size() + 1)
            : u'!' + entry.shownPath;
        out.append(problemName(entry.problem) + u' ' + shown);
    }
    return out;
}

bool isRegularFile(const QString &path)
{
    struct stat info;
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode);
}

// Ends a search that runs past `limit` through its stop flag, and the whole test when even
// that is ignored, so a regression fails within minutes instead of hanging.
class Watchdog
{
public:
    Watchdog(std::atomic<bool> &stop, std::chrono::seconds limit)
        : m_thread([this, &stop, limit] {
            std::unique_lock lock(m_mutex);
            if (m_done.wait_for(lock, limit, [this] { return m_dismissed; }))
                return;
            m_fired = true;
            stop = true;
            if (!m_done.wait_for(lock, limit, [this] { return m_dismissed; }))
                qFatal("the document search ignored its stop flag");
        })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard lock(m_mutex);
            m_dismissed = true;
        }
        m_done.notify_all();
        m_thread.join();
    }
    bool fired() const { return m_fired; }

private:
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_dismissed = false;
    std::atomic<bool> m_fired{false};
    std::thread m_thread; // last: starts once the rest exists
};

} // namespace

class TestDiscovery : public QObject
{
    Q_OBJECT

private slots:
    void shownPath_data();
    void shownPath();
    void search_data();
    void search();
    void folderReachedTwiceTakesFirstPathsFolderValue();
    void workbookFolderMayHoldAnyCharacter();
    void linkChainEndsQuickly();
    void stopEndsTheSearch();
};

void TestDiscovery::shownPath_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QString>("shown");

    QTest::newRow("ASCII kept") << QByteArray("/home/u/a b.pdf") << "/home/u/a b.pdf";
    QTest::newRow("Cyrillic and four-byte characters kept") << QByteArray(
        "/Акт \xF0\x9F\x93\x84.pdf") << QString::fromUtf8("/Акт \xF0\x9F\x93\x84.pdf");
    QTest::newRow("windows-1251 bytes escaped, upper-case hex")
        << QByteArray("/r/\xC0\xEA\xF2.pdf") << "/r/\\xC0\\xEA\\xF2.pdf";
    QTest::newRow("CR LF escaped") << QByteArray("/r/a\r\nb.pdf") << "/r/a\\x0D\\x0Ab.pdf";
    QTest::newRow("tab, DEL and NUL escaped") << QByteArray("\t\x7F\0.", 4) << "\\x09\\x7F\\x00.";
    QTest::newRow("C1 control escaped byte by byte") << QByteArray("a\xC2\x85z") << "a\\xC2\\x85z";
    QTest::newRow("no-break space after C1 range kept")
        << QByteArray("a\xC2\xA0z") << QString::fromUtf8("a\xC2\xA0z");
    QTest::newRow("backslash kept") << QByteArray("a\\b") << "a\\b";
    QTest::newRow("overlong slash escaped") << QByteArray("a\xC0\xAF") << "a\\xC0\\xAF";
    QTest::newRow("overlong three-byte form escaped")
        << QByteArray("\xE0\x80\xAF") << "\\xE0\\x80\\xAF";
    QTest::newRow("surrogate escaped") << QByteArray("\xED\xA0\x80") << "\\xED\\xA0\\x80";
    QTest::newRow("last code point kept")
        << QByteArray("\xF4\x8F\xBF\xBF") << QString::fromUtf8("\xF4\x8F\xBF\xBF");
    QTest::newRow("one past the last code point escaped")
        << QByteArray("\xF4\x90\x80\x80") << "\\xF4\\x90\\x80\\x80";
    QTest::newRow("lead bytes F5 to FF escaped") << QByteArray("\xF5\xFF") << "\\xF5\\xFF";
    QTest::newRow("lone continuation byte escaped") << QByteArray("a\x80z") << "a\\x80z";
    QTest::newRow("truncated sequence escaped, the next character kept")
        << QByteArray("\xE2\x82z\xE2\x82") << "\\xE2\\x82z\\xE2\\x82";
    QTest::newRow("empty") << QByteArray() << "";
}

void TestDiscovery::shownPath()
{
    QFETCH(QByteArray, path);
    QFETCH(QString, shown);
    QCOMPARE(shownLocalPath(path), shown);
}

void TestDiscovery::search_data()
{
    // The workbook's folder is wb/ in a scratch folder; out/ beside it holds secret.pdf and
    // sub/deep.pdf, which must never be listed.
    QTest::addColumn<QByteArrayList>("tree");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("name in another code page reported in its place")
        << QByteArrayList{"a.pdf", "b\xC0\xEA\xF2.pdf", "c.pdf"}
        << QStringList{"ok a.pdf", "NotUtf8 b\\xC0\\xEA\\xF2.pdf", "ok c.pdf"};
    QTest::newRow("folder named in another code page: its documents reported")
        << QByteArrayList{"a.pdf", "P/\xCF\xE0\xEF\xEA\xE0/d.pdf", "P/b.pdf", "Q/c.pdf"}
        << QStringList{
               "ok a.pdf", "ok P/b.pdf", "NotUtf8 P/\\xCF\\xE0\\xEF\\xEA\\xE0/d.pdf", "ok Q/c.pdf"};
    QTest::newRow("extension matched on the bytes of a name not UTF-8") << QByteArrayList{
        "\xC0.PDF", "\xC1.pdfx", "\xC2.txt", "\xC3pdf"} << QStringList{"NotUtf8 \\xC0.PDF"};
    QTest::newRow("overlong, surrogate and truncated forms are not UTF-8")
        << QByteArrayList{"a.pdf", "b\xC0\xAF.pdf", "c\xED\xA0\x80.pdf", "d\xE2\x82.pdf", "e.pdf"}
        << QStringList{"ok a.pdf", "NotUtf8 b\\xC0\\xAF.pdf", "NotUtf8 c\\xED\\xA0\\x80.pdf",
               "NotUtf8 d\\xE2\\x82.pdf", "ok e.pdf"};
    QTest::newRow("Cyrillic, four-byte and byte-order-mark names sent")
        << QByteArrayList{"Акт.pdf", "\xF0\x9F\x93\x84.pdf",
               "\xEF\xBB\xBF"
               "b.pdf"}
        << QStringList{"ok Акт.pdf", "ok \xF0\x9F\x93\x84.pdf",
               "ok \xEF\xBB\xBF"
               "b.pdf"};
    QTest::newRow("control characters and backslash below the folder reported")
        << QByteArrayList{"a.pdf", "b\r\n.pdf", "c\\d.pdf", "e\x7F.pdf", "f\xC2\x85.pdf",
               "g\tP/h.pdf", "z.pdf"}
        << QStringList{"ok a.pdf", "BadCharacters b\\x0D\\x0A.pdf", "BadCharacters c\\d.pdf",
               "BadCharacters e\\x7F.pdf", "BadCharacters f\\xC2\\x85.pdf", "ok z.pdf",
               "BadCharacters g\\x09P/h.pdf"};
    QTest::newRow("link to a file outside reported, other names ignored") << QByteArrayList{"a.pdf",
        "x.pdf -> /etc/passwd", "x.txt -> /etc/passwd", "y.PDF -> ../out/secret.pdf",
        "z.pdf"} << QStringList{"ok a.pdf", "LinkOutside x.pdf", "LinkOutside y.PDF", "ok z.pdf"};
    QTest::newRow("link outside through many parent steps reported")
        << QByteArrayList{"a.pdf", "P/w.pdf -> ../../../../../../../../../../../../etc/passwd"}
        << QStringList{"ok a.pdf", "LinkOutside P/w.pdf"};
    QTest::newRow("link outside named not UTF-8 reported as leading outside")
        << QByteArrayList{"b\xC0.pdf -> /etc/passwd"} << QStringList{"LinkOutside b\\xC0.pdf"};
    QTest::newRow("folder link leading outside reported, not searched")
        << QByteArrayList{"a.pdf", "ext -> ../out", "up -> ..", "root -> /", "z/b.pdf"}
        << QStringList{
               "ok a.pdf", "LinkOutside ext", "LinkOutside root", "LinkOutside up", "ok z/b.pdf"};
    QTest::newRow("folder link named like a document reported once, as a folder")
        << QByteArrayList{"x.pdf -> ../out"} << QStringList{"LinkOutside x.pdf"};
    QTest::newRow("hidden folder link leading outside neither searched nor reported")
        << QByteArrayList{".ext -> ../out", "a.pdf"} << QStringList{"ok a.pdf"};
    QTest::newRow("links that stay inside followed, judged by real path") << QByteArrayList{
        "Z/a.pdf", "abs -> @ROOT/Z", "b.pdf -> @ROOT/Z/a.pdf", "c.pdf -> ../out/../wb/Z/a.pdf",
        "d.pdf -> Z/../Z/a.pdf"} << QStringList{"ok b.pdf", "ok c.pdf", "ok d.pdf", "ok abs/a.pdf"};
    QTest::newRow("folder reached by two links entered once, by the first") << QByteArrayList{
        "k1 -> zz", "m2 -> zz", "zz/doc.pdf", "a.pdf"} << QStringList{"ok a.pdf", "ok k1/doc.pdf"};
    QTest::newRow("pipe, links to it and dangling links not listed") << QByteArrayList{"a.pdf",
        "x.pdf|", "y.pdf -> x.pdf", "dangling.pdf -> nowhere", "gone.pdf -> ../out/nowhere",
        "z.pdf"} << QStringList{"ok a.pdf", "ok z.pdf"};
}

void TestDiscovery::search()
{
    QFETCH(QByteArrayList, tree);
    QFETCH(QStringList, expected);

    Scratch scratch;
    QVERIFY(scratch.isValid());
    const QString root = scratch.path() + QStringLiteral("/wb");
    const QByteArray rootBytes = QFile::encodeName(root);
    QVERIFY(makeFolders(rootBytes));
    QVERIFY(buildTree(QFile::encodeName(scratch.path()), {"out/secret.pdf", "out/sub/deep.pdf"}));
    QVERIFY(buildTree(rootBytes, tree));

    const std::vector<FoundDocument> found = findDocuments(root);
    QCOMPARE(described(root, found), expected);
    for (const FoundDocument &entry : found) {
        // A document to send opens by its path; every other entry names its own path.
        if (entry.problem == Problem::None) {
            QCOMPARE(entry.path, entry.shownPath);
            QVERIFY2(isRegularFile(entry.path), qPrintable(entry.path));
        } else if (entry.problem == Problem::NotUtf8) {
            QVERIFY(entry.path.isEmpty());
        } else {
            QVERIFY(entry.path.isEmpty() || entry.path.startsWith(root + u'/'));
        }
    }
}

void TestDiscovery::folderReachedTwiceTakesFirstPathsFolderValue()
{
    Scratch dir;
    QVERIFY(dir.isValid());
    const QString root = dir.path();
    QVERIFY(buildTree(QFile::encodeName(root), {"P/Q/R/doc.pdf", "A/B -> ../P/Q"}));

    const std::vector<FoundDocument> found = findDocuments(root);
    QCOMPARE(described(root, found), QStringList{"ok A/B/R/doc.pdf"});
    const DocumentPlacement placement = documentPlacement(root, found.front().path);
    QCOMPARE(placement.folderValue, QStringLiteral("A\\B"));
    QCOMPARE(placement.fileName, QStringLiteral("doc.pdf"));
}

void TestDiscovery::workbookFolderMayHoldAnyCharacter()
{
    Scratch dir;
    QVERIFY(dir.isValid());
    const QString root = dir.path() + QStringLiteral("/W\\x\ty");
    QVERIFY(
        buildTree(QFile::encodeName(root), {"a.pdf", "sub/b.pdf", "up.pdf -> ../W\\x\ty/a.pdf"}));

    const std::vector<FoundDocument> found = findDocuments(root);
    QCOMPARE(found.size(), 3u);
    const QStringList names{"a.pdf", "up.pdf", "sub/b.pdf"};
    for (size_t i = 0; i < found.size(); ++i) {
        QCOMPARE(found[i].problem, Problem::None);
        QCOMPARE(found[i].path, root + u'/' + names[i]);
        QCOMPARE(found[i].shownPath, dir.path() + QStringLiteral("/W\\x\\x09y/") + names[i]);
    }
}

void TestDiscovery::linkChainEndsQuickly()
{
    // 25 folders, each with two links to the next: 2^24 paths lead to the last one.
    const int folders = 25;
    Scratch dir;
    QVERIFY(dir.isValid());
    const QString root = dir.path();
    QByteArrayList tree;
    for (int i = 0; i < folders; ++i) {
        const QByteArray name = QByteArray::number(100 + i);
        tree.append(name + "/x.pdf");
        if (i + 1 < folders) {
            const QByteArray next = QByteArray::number(100 + i + 1);
            tree.append(name + "/a -> ../" + next);
            tree.append(name + "/b -> ../" + next);
        }
    }
    QVERIFY(buildTree(QFile::encodeName(root), tree));

    std::atomic<bool> stop{false};
    std::vector<FoundDocument> found;
    {
        Watchdog watchdog(stop, 60s);
        found = findDocuments(root, &stop);
        QVERIFY2(!watchdog.fired(), "the search ran past its time limit");
    }
    QStringList expected;
    for (int depth = 0; depth < folders; ++depth)
        expected.append(QStringLiteral("ok 100/") + QStringLiteral("a/").repeated(depth) + "x.pdf");
    QCOMPARE(described(root, found), expected);
}

void TestDiscovery::stopEndsTheSearch()
{
    Scratch dir;
    QVERIFY(dir.isValid());
    QVERIFY(buildTree(QFile::encodeName(dir.path()), {"a.pdf", "b\xC0.pdf", "sub/c.pdf"}));
    std::atomic<bool> stop{false};
    QCOMPARE(findDocuments(dir.path(), &stop).size(), 3u);
    stop = true;
    QCOMPARE(findDocuments(dir.path(), &stop).size(), 0u);
}

QTEST_GUILESS_MAIN(TestDiscovery)
#include "tst_discovery.moc"
