// The program's failures: exceptions that carry the exact message text the user,
// the log or the caller sees. Every handler catches this base type (or any
// std::exception) and hands it to AddErrInfo.
#pragma once

#include <QByteArray>
#include <QString>
#include <exception>

class Exception : public std::exception
{
public:
    explicit Exception(QString message);
    const QString &message() const noexcept { return m_message; }
    const char *what() const noexcept override { return m_what.constData(); }

private:
    QString m_message;
    QByteArray m_what;
};

// An input/output failure carrying the operating system's error number (errno).
class EInOutError : public Exception
{
public:
    EInOutError(QString message, int errorCode);
    int errorCode() const noexcept { return m_errorCode; }

private:
    int m_errorCode;
};

// The message text of any caught failure: ours as given, others from what() as UTF-8.
QString failureMessage(const std::exception &failure);
