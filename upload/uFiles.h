// Document discovery: the PDF documents in the workbook's folder and below it, and
// each document's placement for the service (folder value and file name). Local
// paths use "/" (POSIX); the folder value sent to the service joins folder names with "\".
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <atomic>
#include <vector>

// One entry of the document search: a document to send, or one the upload must skip and
// name in the journal. Every entry's path begins with the searched folder as given + "/".
struct FoundDocument {
    enum class Problem {
        None,          // a regular file, or a link to one inside the workbook's folder: send it
        NotUtf8,       // its path below the workbook's folder is not valid UTF-8
        BadCharacters, // its path below the workbook's folder holds a control character or "\"
        LinkOutside,   // a link (to a document or to a folder) whose target lies outside the
                       // workbook's folder: not followed
    };
    QString path;      // the full local path; empty when it is not valid UTF-8
    QString shownPath; // the full local path for the journal: shownLocalPath() of its bytes
    Problem problem = Problem::None;
};

// The PDF documents ("*.pdf") in `workbookFolder` (no trailing "/"; the empty text is the
// root folder) and below it. Order: the folder's own matching entries, then everything
// below each non-hidden subfolder, depth first; within a folder, names compared without
// letter case (ties: exact order). Only regular files are listed (a pipe named x.pdf is
// not); a dangling link is not. Links are followed only while their target's real path is
// the workbook folder's real path or below it; a link named like a document or leading to
// a folder outside is reported as LinkOutside, any other link outside is ignored. Each
// folder (device, inode) is entered at most once: the first path in search order takes
// it. A name that is not valid UTF-8 is matched on its bytes, so such documents are found
// and reported. A folder that can't be listed contributes nothing. Once `*stop` is true
// the search ends early (an upload abandoned at exit must not wait for a whole drive).
std::vector<FoundDocument> findDocuments(
    const QString &workbookFolder, const std::atomic<bool> *stop = nullptr);

// The search of findDocuments with any `mask`, optionally only the folder's own files,
// giving only the paths of the documents to send (problem entries left out).
QStringList getFileListFromDir(const QString &folder, const QString &mask, bool recursive,
    const std::atomic<bool> *stop = nullptr);

// A local path as the journal shows it: valid UTF-8 as text, each other byte and each byte
// of a control character (U+0000 to U+001F, U+007F, U+0080 to U+009F) as "\xNN" with two
// upper-case hex digits (CR LF: "\x0D\x0A").
QString shownLocalPath(const QByteArray &path);

// One search's mask, looked at once: "*" and a plain ASCII ending (the usual "*.pdf")
// matches by a case-insensitive ending, without a folded copy of every name; any other
// mask as nameMatchesMask.
class MaskMatcher
{
public:
    explicit MaskMatcher(const QString &mask);
    bool matches(const QString &name) const;

private:
    QString m_mask;
    QString m_ending;
    bool m_plainEnding = false;
};

// True when `name` matches `mask` ("*" any run of characters, "?" one character),
// letter case ignored.
bool nameMatchesMask(const QString &name, const QString &mask);

// The "\"-joined path less its last level: one trailing "\" is dropped first, then the
// last "\" and all after it. Never throws; an internal failure is logged under
// "oneFolderUp" and gives the empty text.
QString oneFolderUp(const QString &path) noexcept;

// The folder part of a local path: the text before its last "/" (empty without one).
QString localFolderPart(const QString &path);

struct DocumentPlacement {
    QString folderValue; // "\"-joined, empty for the workbook's own folder
    QString fileName;
};
// Where the service files `documentPath`, a document found below `workbookFolder` (the
// workbook path's local folder part): the document's folder relative to the workbook's,
// less its last level when two or more levels down, and the document's own name.
DocumentPlacement documentPlacement(const QString &workbookFolder, const QString &documentPath);
