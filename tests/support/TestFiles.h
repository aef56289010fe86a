// Files for tests: written whole, with their folders made first.
#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

inline void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}
