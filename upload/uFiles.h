// Document discovery: the PDF documents in the workbook's folder and below it, and
// each document's placement for the service (folder value and file name). Local
// paths use "/" (POSIX); the folder value sent to the service joins folder names with "\".
#pragma once

#include <QString>
#include <QStringList>

#include <atomic>

// The regular files matching `mask` in `folder` (no trailing "/"; the empty text is the
// root folder), then, when `recursive`, everything below each non-hidden subfolder, depth
// first. Within a folder, names are taken in order compared without letter case (ties:
// exact order). Each entry is `folder` + "/" + name. Folder links are followed, but never
// into a folder already on the current descent path. A folder that can't be listed
// contributes nothing; nothing is reported. Once `*stop` is true the search ends early
// (an upload abandoned at exit must not wait for a whole drive to be searched).
QStringList getFileListFromDir(const QString &folder, const QString &mask, bool recursive,
    const std::atomic<bool> *stop = nullptr);

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
