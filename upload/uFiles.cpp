#include "upload/uFiles.h"

#include "diag/uLogWriter.h"

#include <QFile>

#include <algorithm>
#include <dirent.h>
#include <exception>
#include <sys/stat.h>
#include <vector>

namespace
{

struct FolderId {
    dev_t device;
    ino_t inode;
    bool operator==(const FolderId &) const = default;
};

struct Entry {
    QString name;
    unsigned char type; // d_type: DT_REG, DT_DIR, DT_LNK, DT_UNKNOWN, ...
};

// The entries of one folder in name order without letter case; exact order breaks ties so
// the result is the same on every machine whatever order the file system keeps.
std::vector<Entry> sortedEntries(const QString &folder)
{
    std::vector<Entry> entries;
    const QByteArray local = QFile::encodeName(folder.isEmpty() ? QStringLiteral("/") : folder);
    DIR *dir = ::opendir(local.constData());
    if (!dir)
        return entries; // missing, no access, name too long: contributes nothing
    while (const dirent *entry = ::readdir(dir)) {
        const char *name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        entries.push_back({QFile::decodeName(name), entry->d_type});
    }
    ::closedir(dir);
    std::sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) {
        const int folded = QString::compare(a.name, b.name, Qt::CaseInsensitive);
        return folded != 0 ? folded < 0 : a.name < b.name;
    });
    return entries;
}

// stat() follows links, so a link to a folder counts as a folder and a link to a file as
// a file; a dangling link is neither.
bool statFollowing(const QString &path, struct stat &info)
{
    return ::stat(QFile::encodeName(path).constData(), &info) == 0;
}

// Only regular files: a FIFO or device named x.pdf would block or never end when read.
bool isRegularFile(const Entry &entry, const QString &path)
{
    if (entry.type == DT_REG)
        return true;
    if (entry.type != DT_LNK && entry.type != DT_UNKNOWN)
        return false;
    struct stat info;
    return statFollowing(path, info) && S_ISREG(info.st_mode);
}

void collect(const QString &folder, const QString &mask, bool recursive,
    std::vector<FolderId> &descent, QStringList &out, const std::atomic<bool> *stop)
{
    if (stop && stop->load())
        return;
    const std::vector<Entry> entries = sortedEntries(folder);
    const QString prefix = folder + u'/';

    for (const Entry &entry : entries) {
        if (!nameMatchesMask(entry.name, mask))
            continue;
        const QString path = prefix + entry.name;
        if (isRegularFile(entry, path))
            out.append(path);
    }
    if (!recursive)
        return;

    for (const Entry &entry : entries) {
        if (entry.name.startsWith(u'.'))
            continue; // hidden folders are not searched
        if (entry.type != DT_DIR && entry.type != DT_LNK && entry.type != DT_UNKNOWN)
            continue;
        struct stat info;
        const QString path = prefix + entry.name;
        if (!statFollowing(path, info) || !S_ISDIR(info.st_mode))
            continue;
        const FolderId id{info.st_dev, info.st_ino};
        if (std::find(descent.begin(), descent.end(), id) != descent.end())
            continue; // a link back to a folder above: entering it would never end
        descent.push_back(id);
        collect(path, mask, true, descent, out, stop);
        descent.pop_back();
    }
}

} // namespace

QString localFolderPart(const QString &path)
{
    const qsizetype last = path.lastIndexOf(u'/');
    return last < 0 ? QString() : path.left(last);
}

QStringList getFileListFromDir(
    const QString &folder, const QString &mask, bool recursive, const std::atomic<bool> *stop)
{
    QStringList out;
    std::vector<FolderId> descent;
    struct stat info;
    if (statFollowing(folder.isEmpty() ? QStringLiteral("/") : folder, info))
        descent.push_back({info.st_dev, info.st_ino});
    collect(folder, mask, recursive, descent, out, stop);
    return out;
}

bool nameMatchesMask(const QString &name, const QString &mask)
{
    // Code points after case folding, so "?" takes one character even outside the BMP.
    const QList<uint> text = name.toCaseFolded().toUcs4();
    const QList<uint> pattern = mask.toCaseFolded().toUcs4();

    // Greedy match that backtracks only to the latest "*": linear in practice, never
    // exponential.
    qsizetype t = 0, p = 0, starP = -1, starT = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == u'?' || pattern[p] == text[t])) {
            ++t;
            ++p;
        } else if (p < pattern.size() && pattern[p] == u'*') {
            starP = p++;
            starT = t;
        } else if (starP >= 0) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*')
        ++p;
    return p == pattern.size();
}

QString oneFolderUp(const QString &path) noexcept
{
    try {
        QString result = path;
        if (result.endsWith(u'\\'))
            result.chop(1);
        const qsizetype last = result.lastIndexOf(u'\\');
        if (last >= 0)
            result.truncate(last);
        return result;
    } catch (const std::exception &failure) {
        logFailure("oneFolderUp", &failure);
    } catch (...) {
        logFailure("oneFolderUp", nullptr);
    }
    return {};
}

DocumentPlacement documentPlacement(const QString &workbookFolder, const QString &documentPath)
{
    // Only the leading workbook folder goes: the same text may recur deeper in the path
    // ("/a" and "/a/x/a/b.pdf"), and removing it there would misplace the document.
    const QString prefix = workbookFolder + u'/';
    QString relative = documentPath;
    if (relative.startsWith(prefix))
        relative.remove(0, prefix.size());

    QString folder = localFolderPart(relative);
    folder.replace(u'/', u'\\'); // the service expects folder names joined by a backslash

    const qsizetype slash = documentPath.lastIndexOf(u'/');
    return {oneFolderUp(folder), documentPath.mid(slash + 1)};
}
