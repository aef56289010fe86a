#include "DevService.h"

#include "TestPaths.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>

DevService::DevService(const QStringList &options)
{
    QDir().mkpath(dataDir());
    const QString python = qEnvironmentVariable("UNMZ_PYTHON", QStringLiteral("python3"));
    QStringList args{sourceDir() + QStringLiteral("/tools/devservice/devservice.py"),
        QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--data"), dataDir(),
        QStringLiteral("--request-log"), m_dir.path() + QStringLiteral("/requests.jsonl")};
    args += options;
    m_scheme = options.contains(QStringLiteral("--tls")) ? QStringLiteral("https")
                                                         : QStringLiteral("http");
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start(python, args);
    if (!m_process.waitForStarted(10000))
        return;
    static const QRegularExpression listening(QStringLiteral("listening on [0-9.]+:(\\d+)"));
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 15000 && m_process.state() == QProcess::Running) {
        m_process.waitForReadyRead(200);
        m_output += QString::fromUtf8(m_process.readAll());
        const auto match = listening.match(m_output);
        if (match.hasMatch()) {
            m_port = match.captured(1).toInt();
            return;
        }
    }
}

DevService::~DevService()
{
    m_process.terminate();
    if (!m_process.waitForFinished(3000)) {
        m_process.kill();
        m_process.waitForFinished(3000);
    }
}

QString DevService::address() const
{
    return QStringLiteral("%1://127.0.0.1:%2").arg(m_scheme).arg(m_port);
}

QList<QJsonObject> DevService::requests() const
{
    QList<QJsonObject> list;
    QFile log(m_dir.path() + QStringLiteral("/requests.jsonl"));
    if (!log.open(QIODevice::ReadOnly))
        return list;
    for (const QByteArray &line : log.readAll().split('\n'))
        if (!line.trimmed().isEmpty())
            list << QJsonDocument::fromJson(line).object();
    return list;
}

QStringList DevService::actions() const
{
    QStringList list;
    for (const QJsonObject &request : requests())
        list << request.value(QStringLiteral("action")).toString();
    return list;
}

QStringList DevService::actionsWithoutPolls() const
{
    QStringList list = actions();
    list.removeAll(QStringLiteral("progress"));
    return list;
}
