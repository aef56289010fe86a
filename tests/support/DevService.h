// Runs the dev upload service (tools/devservice) on a free loopback port for a test,
// with its data folder and request log in a temporary folder.
#pragma once

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

class DevService
{
public:
    // `options`: extra command-line switches (e.g. "--fail-process-registry").
    explicit DevService(const QStringList &options = {});
    ~DevService();

    bool isRunning() const { return m_port > 0; }
    QString address() const; // "http://127.0.0.1:PORT" ("https" with --tls)
    QString dataDir() const { return m_dir.path() + QStringLiteral("/data"); }
    // Every request so far, one JSON object each, in arrival order.
    QList<QJsonObject> requests() const;
    QStringList actions() const;
    // The same without the progress polls, which come at their own pace.
    QStringList actionsWithoutPolls() const;
    QString output() const { return m_output; }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QString m_output;
    int m_port = 0;
    QString m_scheme;
};
