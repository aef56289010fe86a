// What a long upload shows while it runs: the stage, "k из n" documents, bytes sent of
// the total, the speed as a moving average over the last few seconds and the time left.
// The service's processing stages get no time at all: nothing here can know it.
#pragma once

#include "upload/UploadJobHost.h"

#include <QString>

#include <deque>
#include <utility>

// Speed from samples of a growing byte count, averaged over the last WindowMs.
class TransferMeter
{
public:
    static constexpr qint64 WindowMs = 5000;
    // A speed needs samples that span at least this long, or it would jump about.
    static constexpr qint64 MinimumSpanMs = 500;

    void reset() { m_samples.clear(); }
    void sample(qint64 nowMs, qint64 bytes);
    // 0 until the samples span MinimumSpanMs.
    double bytesPerSecond() const;
    // -1 while the speed is unknown or zero.
    qint64 secondsLeft(qint64 bytesLeft) const;

private:
    std::deque<std::pair<qint64, qint64>> m_samples; // (ms, bytes), oldest first
};

// "0 Б", "512 Б", "12,3 КБ", "4,5 МБ", "1,2 ГБ" (binary units, one decimal).
QString sizeText(qint64 bytes);
// "0:07", "12:05", "1:02:03".
QString durationText(qint64 seconds);

struct ProgressView {
    QString stage;      // e.g. "Передача документов: 3 из 10"
    QString detail;     // bytes, speed and time left in the documents stage; else empty
    bool indeterminate; // the service is at work: a busy indicator, no figures
    int permille;       // 0..1000 in the documents stage
};

// The view of `progress`, with `bytesSent` of the documents so far (the finished ones and
// the part of the current one on the wire) and the meter fed with those bytes.
ProgressView progressView(
    const JobProgress &progress, qint64 bytesSent, const TransferMeter &meter);
// The stage before any job: the service checks the web session.
QString authorisationStageText();
