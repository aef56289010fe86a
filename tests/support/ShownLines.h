// Journal lines as a test sees them (kind and message), and a plain-text HTTP reply for
// scripted servers, shared by the window's and the command's tests.
#pragma once

#include "upload/JournalLines.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTest>

Q_DECLARE_METATYPE(JournalKind)

struct Shown {
    JournalKind kind;
    QString text;
    bool operator==(const Shown &other) const = default;
};
using ShownLines = QList<Shown>;

inline char *toString(const Shown &line)
{
    return QTest::toString(QStringLiteral("%1:%2").arg(int(line.kind)).arg(line.text));
}

inline QByteArray httpReply(const QString &body)
{
    const QByteArray bytes = body.toUtf8();
    return "HTTP/1.0 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: "
        + QByteArray::number(bytes.size()) + "\r\n\r\n" + bytes;
}
