// The journal's lines as an upload reports them: the four kinds, the sink a front end
// implements (the window's journal, the command line's standard output), the numbered,
// time-stamped line text, and the service's progress items read one by one and sorted
// into kinds.
#pragma once

#include <QDateTime>
#include <QString>

#include <functional>
#include <utility>

enum class JournalKind { Plain, Ok, Warning, Error };

// Text colours (0xRRGGBB) of the coloured kinds, which are also bold; plain lines keep
// the base colour and weight.
constexpr unsigned okLineRgb = 0x008000;
constexpr unsigned warningLineRgb = 0x0000FF;
constexpr unsigned errorLineRgb = 0xFF0000;

// Where an upload's lines go. Called on the thread that runs the upload, one line at a
// time, in journal order; never passes a failure to its caller.
class JournalSink
{
public:
    virtual ~JournalSink() = default;
    virtual void addLine(JournalKind kind, const QString &text) = 0;
    // The lines added between the two arrive together (part of a progress reply): a front
    // end may do once, in endBatch, what it otherwise does after every line (lay out,
    // select, scroll). Pairs may nest; neither passes a failure to its caller.
    virtual void beginBatch() { }
    virtual void endBatch() { }
};

// beginBatch for the scope's lifetime.
class JournalBatch
{
public:
    explicit JournalBatch(JournalSink &sink)
        : m_sink(sink)
    {
        m_sink.beginBatch();
    }
    ~JournalBatch() { m_sink.endBatch(); }
    JournalBatch(const JournalBatch &) = delete;
    JournalBatch &operator=(const JournalBatch &) = delete;

private:
    JournalSink &m_sink;
};

// "%d. %s %s %s" filled with the number, the trimmed date and time texts and the
// message, then trimmed as a whole.
QString journalLineText(
    int number, const QString &dateText, const QString &timeText, const QString &message);

// The date and time texts of a line stamped at `time`: the user's short date and long
// time; under the C or POSIX locale, which is no user's choice (a fresh system, cron),
// the Russian "dd.MM.yyyy" and "HH:mm:ss".
std::pair<QString, QString> journalStampTexts(const QDateTime &time, bool cLocale);
bool systemLocaleIsC();

// The date and time texts of the next line: the short date and the long time, read one
// after the other. A test may replace them; an empty function restores the clock.
std::pair<QString, QString> journalStamp();
void setJournalStampForTesting(std::function<std::pair<QString, QString>()> stamp);

// One progress item of the service, sorted: the end marker, or a line of a kind.
struct ProgressLine {
    bool complete = false; // "complete!" in any letter case: stop polling, show nothing
    JournalKind kind = JournalKind::Plain;
    QString text;
};

inline const QString progressCompleteMarker = QStringLiteral("complete!");
inline const QString progressWarningMarker = QStringLiteral("warning! ");
inline const QString progressGoodMarker = QStringLiteral("good! ");

// The items of a progress reply, one at a time, cut as UploadService::progressItems cuts
// them: at every ";", a separator at the end giving no item. A reply may be hundreds of
// megabytes; only the item being read is copied.
class ProgressItemReader
{
public:
    explicit ProgressItemReader(QString reply)
        : m_reply(std::move(reply))
    {
    }
    bool atEnd() const { return m_next >= m_reply.size(); }
    QString next(); // not atEnd()

private:
    QString m_reply;
    qsizetype m_next = 0;
};

// Tests on the lower-case form, first match wins: end marker; an error word ("ошибка",
// "ошибок") keeps the item unchanged; "warning! " and "good! " are removed from the item
// only where written in lower case; anything else is a plain line.
ProgressLine classifyProgressItem(const QString &item);
