// Points the error log at a temporary folder of its own for as long as it lives, and
// restores the folder that was in use before on every way out of the scope.
#pragma once

#include "diag/uLogWriter.h"

#include <QDir>
#include <QStringList>
#include <QTemporaryDir>

class ScopedLogFolder
{
public:
    ScopedLogFolder()
        : m_previous(logFolderOverrideForTesting())
    {
        setLogFolderForTesting(m_dir.path() + u'/');
    }
    ~ScopedLogFolder() { setLogFolderForTesting(m_previous); }
    ScopedLogFolder(const ScopedLogFolder &) = delete;
    ScopedLogFolder &operator=(const ScopedLogFolder &) = delete;

    QString path() const { return m_dir.path(); }
    QStringList files() const { return QDir(m_dir.path()).entryList(QDir::Files); }

private:
    QTemporaryDir m_dir;
    QString m_previous;
};
