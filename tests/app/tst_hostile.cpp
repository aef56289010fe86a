#include "app/main.h"

#include "DevService.h"
#include "ScopedLogFolder.h"
#include "Watchdog.h"
#include "app/MessageBoxes.h"
#include "app/uLaunchParams.h"
#include "upload/uUploadData.h"

#include <QDirIterator>
#include <QFileDialog>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

QStringList journalMessages(const TForm1 &form)
{
    QStringList messages;
    for (const QString &line : form.reMessages->toPlainText().split(u'\n', Qt::SkipEmptyParts))
        messages << line.section(u' ', 3);
    return messages;
}

bool writeBytes(const QByteArray &path, const QByteArray &bytes)
{
    FILE *file = std::fopen(path.constData(), "wb");
    if (!file)
        return false;
    const bool written
        = std::fwrite(bytes.constData(), 1, size_t(bytes.size()), file) == size_t(bytes.size());
    return std::fclose(file) == 0 && written;
}

} // namespace

// A register folder received from elsewhere, with every kind of entry a search may meet:
// the upload sends every normal PDF, names each one it must skip, and never hangs.
class TestHostileFolder : public QObject
{
    Q_OBJECT

    ScopedLogFolder m_logs;
    QTemporaryDir m_dir;
    QString m_workbook;
    QStringList m_titles;

private slots:
    void initTestCase()
    {
        TDataUploader::stageClosingWaitMs = 200;
        setMessageBoxHookForTesting(
            [this](BoxIcon, const QString &title, const QString &) { m_titles << title; });
        TForm1::setJournalStampForTesting([] {
            return std::pair<QString, QString>(QStringLiteral("DATE"), QStringLiteral("TIME"));
        });

        const QByteArray root = QFile::encodeName(m_dir.path()) + '/';
        m_workbook = m_dir.path() + QStringLiteral("/Реестр УНМЗ.xlsx");
        QVERIFY(writeBytes(QFile::encodeName(m_workbook), "workbook"));
        for (const char *name : {"01 a.pdf", "03 b.pdf", "05 c.pdf", "07 d.pdf", "09 e.pdf"})
            QVERIFY(writeBytes(root + name, "%PDF-1.4 " + QByteArray(name)));
        QCOMPARE(::mkfifo(root + "02 x.pdf", 0600), 0);
        QVERIFY(writeBytes(root + "04 \xC0\xEA\xF2.pdf", "%PDF-1.4 windows-1251"));
        QVERIFY(writeBytes(root + "06 bad\r\nname.pdf", "%PDF-1.4 CR LF"));
        QCOMPARE(::symlink("/etc/passwd", root + "08 out.pdf"), 0);
        // 25 folders, each with two links to the next: one path each, not 2^24.
        const QByteArray chain = root + "10 chain/";
        QCOMPARE(::mkdir(chain.constData(), 0700), 0);
        for (int i = 0; i < 25; ++i)
            QCOMPARE(::mkdir(chain + "f" + QByteArray::number(i), 0700), 0);
        for (int i = 0; i + 1 < 25; ++i) {
            const QByteArray folder = chain + "f" + QByteArray::number(i) + '/';
            const QByteArray next = "../f" + QByteArray::number(i + 1);
            QCOMPARE(::symlink(next.constData(), folder + "l1"), 0);
            QCOMPARE(::symlink(next.constData(), folder + "l2"), 0);
        }
        QVERIFY(writeBytes(chain + "f24/z.pdf", "%PDF-1.4 end of the chain"));
        QVERIFY(writeBytes(root + "11 f.pdf", "%PDF-1.4 f"));
    }

    void cleanupTestCase()
    {
        setMessageBoxHookForTesting({});
        TForm1::setJournalStampForTesting({});
        // QTemporaryDir can't remove a name that is not UTF-8: remove the tree by its bytes.
        ::nftw(
            QFile::encodeName(m_dir.path()).constData(),
            [](const char *path, const struct stat *, int, FTW *) { return ::remove(path); }, 16,
            FTW_DEPTH | FTW_PHYS);
    }

    void everyNormalDocumentArrivesAndEverySkippedOneIsNamed()
    {
        const Watchdog watchdog(180, "the upload of a hostile folder");
        DevService service({"--stage-seconds", "0.2"});
        QVERIFY(service.isRunning());
        launchParams.clear();
        valuedParams.clear();
        buildLaunchParams({"ADR=" + service.address(), "auth=false"});
        auto *form = new TForm1;
        QTimer::singleShot(0, form, [form, this] {
            form->openDialog()->selectFile(m_workbook);
            static_cast<QDialog *>(form->openDialog())->accept();
        });
        form->Button1Click();
        QTRY_VERIFY_WITH_TIMEOUT(!m_titles.isEmpty(), 120000);

        QCOMPARE(m_titles, QStringList{"Ошибка!"});
        const QString dir = m_dir.path();
        const QStringList messages = journalMessages(*form);
        const QStringList skipped = {
            "Документ \"" + dir
                + "/04 \\xC0\\xEA\\xF2.pdf\" не передан: имя файла не в кодировке UTF-8. "
                  "Переименуйте файл.",
            "Документ \"" + dir
                + "/06 bad\\x0D\\x0Aname.pdf\" не передан: имя содержит недопустимые символы. "
                  "Переименуйте файл.",
            "Ссылка \"" + dir + "/08 out.pdf\" ведёт за пределы папки реестра и пропущена.",
        };
        for (const QString &line : skipped)
            QVERIFY2(messages.count(line) == 1, qPrintable(messages.join('\n')));
        // Each skipped name stands in its place among the documents sent.
        const auto at = [&](const QString &text) {
            for (qsizetype i = 0; i < messages.size(); ++i)
                if (messages.at(i).contains(text))
                    return i;
            return qsizetype(-1);
        };
        QVERIFY(at("/03 b.pdf") < at(skipped[0]) && at(skipped[0]) < at("/05 c.pdf"));
        QVERIFY(at("/07 d.pdf") < at(skipped[2]) && at(skipped[2]) < at("/09 e.pdf"));
        QVERIFY(!messages.join('\n').contains("02 x.pdf")); // a pipe is no document

        QStringList stored;
        QDirIterator it(service.dataDir(), QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext())
            stored << it.next().section(u'/', -1);
        stored.sort();
        QCOMPARE(stored,
            QStringList({"01 a.pdf", "03 b.pdf", "05 c.pdf", "07 d.pdf", "09 e.pdf", "11 f.pdf",
                "z.pdf", "Реестр УНМЗ.xlsx"}));
        QVERIFY(!service.output().contains("root:")); // nothing from outside the folder

        // Exit right after is clean and writes no log.
        delete form;
        QCOMPARE(m_logs.files(), QStringList());
    }
};

QTEST_MAIN(TestHostileFolder)
#include "tst_hostile.moc"
