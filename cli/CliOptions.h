// The command line of unmz-upload: its options read into one value, the help and
// version texts, and the exit statuses the program ends with.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>

struct CliOptions {
    enum class Action { Upload, Check, Help, Version };
    enum class Colour { Auto, Always, Never };

    Action action = Action::Upload;
    QString server;   // the window's default address unless --server
    QString session;  // --session, the first line of --session-file, or UNMZ_SESSION
    bool auth = true; // --no-auth: the window's auth=false
    bool drawTiles = true; // --no-map-objects: "НЕ отрисовывать объекты на карте" ticked
    Colour colour = Colour::Auto;
    bool quiet = false;
    QString registerPath;           // as given
    QString reportPath;             // --report; empty: the report goes beside the workbook
    QString caFile;                 // --ca-file: PEM certificates trusted besides the system's
    QByteArray certificate;         // --certificate: the leaf's SHA-256 (32 bytes), trusted as is
    int connectTimeoutSeconds = 30; // the lookup and the connect together; 0: no limit
    int idleTimeoutSeconds = 900;   // a post silent this long fails; 0: waits for ever
};

namespace ExitStatus
{
constexpr int Ok = 0;               // the run ended with processOk true
constexpr int Failed = 1;           // errors, but the service accepted something
constexpr int NothingDelivered = 2; // the service accepted neither the workbook nor a document
constexpr int Usage = 64;           // an unknown option, no REGISTER, a bad value
// An interrupt ends with 128 + the signal's number: 130 for SIGINT, 143 for SIGTERM.
constexpr int interrupted(int signalNumber)
{
    return 128 + signalNumber;
}
} // namespace ExitStatus

// A session id is short; a session file whose first line is longer than this many bytes
// holds none (a binary file, or a device named by mistake).
constexpr qint64 MaxSessionLine = 4096;

struct CliParse {
    CliOptions options;
    QString error; // a usage error's one-line reason; empty when the line is good
};

// Reads the arguments after the program's name. `environment` gives a variable's value
// (empty when unset); it is asked for UNMZ_SESSION only.
CliParse parseCommandLine(
    const QStringList &arguments, const std::function<QString(const char *)> &environment);

QString helpText();
// Why --report cannot name `reportPath` for `workbookPath` (both absolute): an existing
// path that is not a regular ".csv" file, or the workbook itself; empty when it can.
QString reportPathProblem(const QString &reportPath, const QString &workbookPath);
// Why a REGISTER whose bytes are not text in the locale's encoding cannot be uploaded,
// naming it as decoded (with U+FFFD for the bytes that could not be read).
QString undecodablePathText(const QString &shownPath);
QString versionText(); // "unmz-upload X.Y.Z"
