// Document discovery: the PDF documents in the workbook's folder and below it, and
// each document's placement for the service (folder value and file name). Local
// paths use "/"; the folder value sent to the service joins folder names with "\".
#pragma once

#include <QString>
#include <QStringList>

// The files matching `mask` in `folder` (no trailing "/"), then, when `recursive`,
// everything below each non-hidden subfolder, depth first. Nothing is reported.
QStringList getFileListFromDir(const QString &folder, const QString &mask, bool recursive);
// The path less its last "\"-level.
QString oneFolderUp(const QString &path);

struct DocumentPlacement {
    QString folderValue; // "\"-joined, empty for the workbook's own folder
    QString fileName;
};
DocumentPlacement documentPlacement(const QString &workbookFolder, const QString &documentPath);
