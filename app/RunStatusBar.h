// The bar under the journal: the stage of the running upload, and in the documents stage
// the bytes sent, the speed, the time left and a progress bar; a busy bar while the
// service works, for nobody here can know how long that takes.
#pragma once

#include "upload/TransferMeter.h"

#include <QElapsedTimer>
#include <QWidget>

#include <functional>
#include <utility>

class QLabel;
class QProgressBar;
class QTimer;

class RunStatusBar : public QWidget
{
    Q_OBJECT

public:
    // Ten repaints a second are plenty for a human and cheap for the job.
    static constexpr int SampleIntervalMs = 100;
    static constexpr int BarHeight = 22;

    // The job's progress and its documents' bytes on the wire, read at each sample.
    using Source = std::function<std::pair<JobProgress, qint64>()>;

    explicit RunStatusBar(Source source, QWidget *parent = nullptr);

    void showIdle();
    void showAuthorisation();
    void jobStarted(); // samples every SampleIntervalMs until jobEnded()
    void jobEnded();
    void sample();

    QString stageText() const;
    QString detailText() const;
    bool barShown() const;
    bool barBusy() const; // an indeterminate bar
    int barPermille() const;
    bool sampling() const;

private:
    void showView(const ProgressView &view);

    Source m_source;
    TransferMeter m_meter;
    QElapsedTimer m_clock;
    QTimer *m_timer = nullptr;
    QLabel *m_stage = nullptr;
    QLabel *m_detail = nullptr;
    QProgressBar *m_bar = nullptr;
};
