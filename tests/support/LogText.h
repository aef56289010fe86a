// The error logs' text in a folder: every file's bytes one after the other (the logs are
// written in the system's single-byte code page; their tests compare ASCII and Latin-1).
#pragma once

#include <QDir>
#include <QFile>
#include <QString>

enum class LogRead { Keep, Take };

// With LogRead::Take each file is removed once read, so the next call sees only what
// was logged after this one.
inline QString logText(const QString &folder, LogRead read = LogRead::Keep)
{
    QString log;
    const QDir dir(folder);
    for (const QString &name : dir.entryList(QDir::Files, QDir::Name)) {
        QFile file(dir.filePath(name));
        if (file.open(QIODevice::ReadOnly))
            log += QString::fromLatin1(file.readAll());
        if (read == LogRead::Take)
            file.remove();
    }
    return log;
}
