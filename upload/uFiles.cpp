#include "upload/uFiles.h"

#include "diag/uLogWriter.h"

#include <QFile>

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <exception>
#include <set>
#include <sys/stat.h>
#include <utility>

namespace
{

using Problem = FoundDocument::Problem;

// Length of the well-formed UTF-8 sequence that begins at `at` (1 to 4), or 0 when none
// does: overlong forms, surrogates and code points past U+10FFFF are not well formed.
int sequenceLength(const QByteArray &bytes, qsizetype at)
{
    const auto byteAt = [&](qsizetype i) { return i < bytes.size() ? uchar(bytes[i]) : 0; };
    const uchar lead = byteAt(at);
    if (lead < 0x80)
        return 1;
    int length = 0;
    uchar low = 0x80, high = 0xBF; // the second byte's range
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0; // shorter forms are overlong
        else if (lead == 0xED)
            high = 0x9F; // ED A0 to ED BF are surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F; // beyond is past U+10FFFF
    } else {
        return 0;
    }
    const uchar second = byteAt(at + 1);
    if (second < low || second > high)
        return 0;
    for (int i = 2; i < length; ++i) {
        const uchar next = byteAt(at + i);
        if (next < 0x80 || next > 0xBF)
            return 0;
    }
    return length;
}

// C0 controls, DEL and C1 controls (U+0080 to U+009F: C2 80 to C2 9F), for a well-formed
// sequence of `length` bytes at `at`.
bool isControlSequence(const QByteArray &bytes, qsizetype at, int length)
{
    const uchar lead = uchar(bytes[at]);
    if (length == 1)
        return lead < 0x20 || lead == 0x7F;
    return length == 2 && lead == 0xC2 && uchar(bytes[at + 1]) <= 0x9F;
}

bool isWellFormedUtf8(const QByteArray &bytes)
{
    for (qsizetype at = 0; at < bytes.size();) {
        const int length = sequenceLength(bytes, at);
        if (length == 0)
            return false;
        at += length;
    }
    return true;
}

// For well-formed text only.
bool hasBadCharacters(const QByteArray &bytes)
{
    for (qsizetype at = 0; at < bytes.size();) {
        const int length = sequenceLength(bytes, at);
        if (bytes[at] == '\\' || isControlSequence(bytes, at, length))
            return true;
        at += length;
    }
    return false;
}

// The character of the well-formed sequence of `length` bytes at `at`, decoded here since
// QString::fromUtf8 drops a leading byte-order mark, which is a character of a file name.
char32_t codePoint(const QByteArray &bytes, qsizetype at, int length)
{
    static const uchar leadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    char32_t code = uchar(bytes[at]) & leadMask[length];
    for (int i = 1; i < length; ++i)
        code = (code << 6) | (uchar(bytes[at + i]) & 0x3F);
    return code;
}

void appendCodePoint(QString &text, char32_t code)
{
    if (QChar::requiresSurrogates(code)) {
        text += QChar(QChar::highSurrogate(code));
        text += QChar(QChar::lowSurrogate(code));
    } else {
        text += QChar(char16_t(code));
    }
}

// Well-formed sequences as text, every other byte as U+FFFD: a name that is not UTF-8
// still sorts and matches the mask by its ASCII letters (x\xC0.PDF ends in ".pdf").
// Exact for well-formed text.
QString lossyText(const QByteArray &bytes)
{
    // Most names are plain ASCII: no decoding needed.
    if (std::all_of(bytes.cbegin(), bytes.cend(), [](char c) { return uchar(c) < 0x80; }))
        return QString::fromLatin1(bytes);
    QString text;
    text.reserve(bytes.size());
    for (qsizetype at = 0; at < bytes.size();) {
        const int length = sequenceLength(bytes, at);
        if (length == 0) {
            text += QChar(QChar::ReplacementCharacter);
            ++at;
        } else {
            appendCodePoint(text, codePoint(bytes, at, length));
            at += length;
        }
    }
    return text;
}

struct FolderId {
    dev_t device;
    ino_t inode;
    auto operator<=>(const FolderId &) const = default;
};

struct Entry {
    QByteArray name;    // as the listing gives it: the path is always built from these bytes
    QString text;       // for order and mask
    unsigned char type; // d_type: DT_REG, DT_DIR, DT_LNK, DT_UNKNOWN, ...
};

// The entries of one folder in name order without letter case; exact order breaks ties so
// the result is the same on every machine whatever order the file system keeps.
std::vector<Entry> sortedEntries(const QByteArray &folder)
{
    std::vector<Entry> entries;
    DIR *dir = ::opendir(folder.isEmpty() ? "/" : folder.constData());
    if (!dir)
        return entries; // missing, no access, name too long: contributes nothing
    while (const dirent *entry = ::readdir(dir)) {
        const char *name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        const QByteArray bytes(name);
        entries.push_back({bytes, lossyText(bytes), entry->d_type});
    }
    ::closedir(dir);
    std::sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) {
        const int folded = QString::compare(a.text, b.text, Qt::CaseInsensitive);
        if (folded != 0)
            return folded < 0;
        return a.text != b.text ? a.text < b.text : a.name < b.name;
    });
    return entries;
}

enum class Kind { Missing, File, Folder, Other };

struct Target {
    Kind kind = Kind::Missing;
    bool link = false;
    FolderId id{};
};

// What an entry is, links followed; a dangling link is Missing.
Target inspect(const Entry &entry, const QByteArray &path)
{
    Target target;
    switch (entry.type) {
    case DT_REG: target.kind = Kind::File; return target;
    case DT_DIR:
    case DT_LNK:
    case DT_UNKNOWN: break;
    default: target.kind = Kind::Other; return target;
    }
    struct stat info;
    if (::lstat(path.constData(), &info) != 0)
        return target;
    target.link = S_ISLNK(info.st_mode);
    if (target.link && ::stat(path.constData(), &info) != 0)
        return target;
    target.kind = S_ISREG(info.st_mode) ? Kind::File
        : S_ISDIR(info.st_mode)         ? Kind::Folder
                                        : Kind::Other;
    target.id = {info.st_dev, info.st_ino};
    return target;
}

QByteArray realPath(const QByteArray &path)
{
    char *resolved = ::realpath(path.isEmpty() ? "/" : path.constData(), nullptr);
    if (!resolved)
        return {};
    QByteArray result(resolved);
    std::free(resolved);
    return result;
}

class Search
{
public:
    Search(
        const QString &folder, const QString &mask, bool recursive, const std::atomic<bool> *stop)
        : m_folder(folder)
        , m_root(QFile::encodeName(folder))
        , m_rootReal(realPath(m_root))
        , m_mask(mask)
        , m_recursive(recursive)
        , m_stop(stop)
    {
    }

    std::vector<FoundDocument> run()
    {
        struct stat info;
        if (::stat(m_root.isEmpty() ? "/" : m_root.constData(), &info) == 0)
            m_visited.insert({info.st_dev, info.st_ino});
        collect(m_root);
        return std::move(m_found);
    }

private:
    bool stopped() const { return m_stop && m_stop->load(); }

    // Whether the link at `path` ends in the workbook's folder or below it, by real paths
    // (a relative link may pass through "..", an absolute one may name the folder).
    bool leadsInside(const QByteArray &path) const
    {
        if (m_rootReal.isEmpty())
            return false;
        if (m_rootReal == "/")
            return true;
        const QByteArray real = realPath(path);
        return real == m_rootReal
            || (real.startsWith(m_rootReal) && real.at(m_rootReal.size()) == '/');
    }

    void add(const QByteArray &path, Problem problem)
    {
        const QByteArray below = path.mid(m_root.size() + 1);
        const bool wellFormed = isWellFormedUtf8(below);
        if (problem == Problem::None && !wellFormed)
            problem = Problem::NotUtf8;
        else if (problem == Problem::None && hasBadCharacters(below))
            problem = Problem::BadCharacters;
        FoundDocument found;
        if (wellFormed)
            found.path = m_folder + u'/' + lossyText(below);
        found.shownPath = shownLocalPath(path);
        found.problem = problem;
        m_found.push_back(std::move(found));
    }

    void collect(const QByteArray &folder)
    {
        if (stopped())
            return;
        const std::vector<Entry> entries = sortedEntries(folder);
        const QByteArray prefix = folder + '/';

        for (const Entry &entry : entries) {
            if (!m_mask.matches(entry.text))
                continue;
            const QByteArray path = prefix + entry.name;
            const Target target = inspect(entry, path);
            if (target.kind == Kind::Missing || target.kind == Kind::Folder)
                continue; // a folder named x.pdf is searched below
            if (target.link && !leadsInside(path)) {
                add(path, Problem::LinkOutside);
                continue;
            }
            // Only regular files: a FIFO or device named x.pdf would block or never end
            // when read.
            if (target.kind == Kind::File)
                add(path, Problem::None);
        }
        if (!m_recursive)
            return;

        for (const Entry &entry : entries) {
            if (entry.name.startsWith('.'))
                continue; // hidden folders are not searched
            if (entry.type != DT_DIR && entry.type != DT_LNK && entry.type != DT_UNKNOWN)
                continue;
            const QByteArray path = prefix + entry.name;
            const Target target = inspect(entry, path);
            if (target.kind != Kind::Folder)
                continue;
            if (target.link && !leadsInside(path)) {
                add(path, Problem::LinkOutside); // it may hide documents: say so
                continue;
            }
            // Once per folder, whatever number of paths lead to it: links between folders
            // could otherwise multiply the paths beyond any end.
            if (!m_visited.insert(target.id).second)
                continue;
            collect(path);
        }
    }

    const QString m_folder;
    const QByteArray m_root;
    const QByteArray m_rootReal; // empty when unknown: then every link counts as outside
    const MaskMatcher m_mask;
    const bool m_recursive;
    const std::atomic<bool> *const m_stop;
    std::set<FolderId> m_visited;
    std::vector<FoundDocument> m_found;
};

} // namespace

QString localFolderPart(const QString &path)
{
    const qsizetype last = path.lastIndexOf(u'/');
    return last < 0 ? QString() : path.left(last);
}

std::vector<FoundDocument> findDocuments(
    const QString &workbookFolder, const std::atomic<bool> *stop)
{
    return Search(workbookFolder, QStringLiteral("*.pdf"), true, stop).run();
}

QStringList getFileListFromDir(
    const QString &folder, const QString &mask, bool recursive, const std::atomic<bool> *stop)
{
    QStringList out;
    for (const FoundDocument &found : Search(folder, mask, recursive, stop).run()) {
        if (found.problem == Problem::None)
            out.append(found.path);
    }
    return out;
}

QString shownLocalPath(const QByteArray &path)
{
    static const char hexDigits[] = "0123456789ABCDEF";
    QString shown;
    shown.reserve(path.size());
    for (qsizetype at = 0; at < path.size();) {
        const int length = sequenceLength(path, at);
        if (length != 0 && !isControlSequence(path, at, length)) {
            appendCodePoint(shown, codePoint(path, at, length));
            at += length;
            continue;
        }
        for (const qsizetype end = at + std::max(length, 1); at < end; ++at) {
            const uchar byte = uchar(path[at]);
            shown += QLatin1StringView("\\x");
            shown += QLatin1Char(hexDigits[byte >> 4]);
            shown += QLatin1Char(hexDigits[byte & 0xF]);
        }
    }
    return shown;
}

MaskMatcher::MaskMatcher(const QString &mask)
    : m_mask(mask)
{
    const QString rest = mask.mid(1);
    m_plainEnding = mask.startsWith(u'*') && !rest.contains(u'*') && !rest.contains(u'?')
        && std::all_of(rest.cbegin(), rest.cend(), [](QChar c) { return c.unicode() < 0x80; });
    if (m_plainEnding)
        m_ending = rest;
}

bool MaskMatcher::matches(const QString &name) const
{
    // An ASCII ending folds the same code unit by code unit as code point by code point.
    return m_plainEnding ? name.endsWith(m_ending, Qt::CaseInsensitive)
                         : nameMatchesMask(name, m_mask);
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
