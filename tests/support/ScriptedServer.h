// A loopback HTTP peer for tests: listens on 127.0.0.1 (port chosen by the system), runs
// one script per accepted connection in a thread of its own, records the bytes each
// client sent and plays byte-exact replies and misbehaviours (early close, reset, drip).
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

class ScriptedServer
{
public:
    struct Step {
        enum Kind {
            ReadRequest, // the head and its Content-Length body
            ReadHead,    // the head only; the body is left unread
            Send,        // the bytes in one write
            Drip,        // the bytes one at a time
            Pause,       // `ms` milliseconds
            Close,       // orderly close (FIN); unread bytes make it a reset
            Reset,       // SO_LINGER 0 close (RST)
            HoldOpen,    // keep the connection until the client closes it (or `ms` pass)
        };
        Kind kind;
        QByteArray bytes;
        int ms = 0;
    };
    using Script = QList<Step>;

    static Step readRequest() { return {Step::ReadRequest, {}, 0}; }
    static Step readHead() { return {Step::ReadHead, {}, 0}; }
    static Step send(const QByteArray &bytes) { return {Step::Send, bytes, 0}; }
    static Step drip(const QByteArray &bytes) { return {Step::Drip, bytes, 0}; }
    static Step pause(int ms) { return {Step::Pause, {}, ms}; }
    static Step close() { return {Step::Close, {}, 0}; }
    static Step reset() { return {Step::Reset, {}, 0}; }
    static Step holdOpen(int ms = 20000) { return {Step::HoldOpen, {}, ms}; }
    // Read the request, send `reply`, close.
    static Script reply(const QByteArray &reply);

    ScriptedServer();
    ~ScriptedServer(); // stops accepting, cuts every connection, joins the threads

    // Scripts for the next connections, in order; later connections repeat the last.
    void addScript(const Script &script);
    quint16 port() const { return m_port; }
    QString url(const QString &path = QStringLiteral("/QuorvelFiles")) const;

    int connectionCount() const;
    QByteArray request(int connection) const; // the bytes received on that connection
    QList<QByteArray> requests() const;
    // Whether the client closed that connection; waits up to `ms` for it.
    bool waitClientClosed(int connection, int ms) const;

private:
    struct Connection {
        int fd = -1;
        QByteArray received;
        bool clientClosed = false;
    };
    void acceptLoop();
    void runScript(int index, Script script);
    bool readMore(int index, int timeoutMs);

    int m_listenFd = -1;
    int m_stopFd = -1;
    quint16 m_port = 0;
    std::thread m_acceptThread;
    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    QList<Script> m_scripts;
    std::vector<std::unique_ptr<Connection>> m_connections;
    std::vector<std::thread> m_threads;
};
