#include "app/RunStatusBar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>

namespace
{

constexpr int barWidth = 200;
constexpr int margin = 4;

} // namespace

RunStatusBar::RunStatusBar(Source source, QWidget *parent)
    : QWidget(parent)
    , m_source(std::move(source))
    , m_timer(new QTimer(this))
    , m_stage(new QLabel(this))
    , m_detail(new QLabel(this))
    , m_bar(new QProgressBar(this))
{
    setFixedHeight(BarHeight);
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(margin, 0, margin, 0);
    row->setSpacing(margin * 3);
    m_stage->setTextFormat(Qt::PlainText);
    m_detail->setTextFormat(Qt::PlainText);
    m_bar->setFixedWidth(barWidth);
    m_bar->setTextVisible(false);
    row->addWidget(m_stage);
    row->addWidget(m_detail, 1);
    row->addWidget(m_bar);
    m_timer->setInterval(SampleIntervalMs);
    connect(m_timer, &QTimer::timeout, this, &RunStatusBar::sample);
    showIdle();
}

void RunStatusBar::showIdle()
{
    m_timer->stop();
    m_stage->clear();
    m_detail->clear();
    m_bar->hide();
}

void RunStatusBar::showAuthorisation()
{
    showView({authorisationStageText(), {}, true, 0});
}

void RunStatusBar::jobStarted()
{
    m_meter.reset();
    m_clock.start();
    sample();
    m_timer->start();
}

void RunStatusBar::jobEnded()
{
    m_timer->stop();
    showView({QStringLiteral("Загрузка завершена"), {}, false, 1000});
}

void RunStatusBar::sample()
{
    const auto [progress, bytesSent] = m_source();
    if (progress.step == JobProgress::Step::Documents)
        m_meter.sample(m_clock.isValid() ? m_clock.elapsed() : 0, bytesSent);
    showView(progressView(progress, bytesSent, m_meter));
}

void RunStatusBar::showView(const ProgressView &view)
{
    m_stage->setText(view.stage);
    m_detail->setText(view.detail);
    if (view.indeterminate) {
        m_bar->setRange(0, 0); // a busy bar: no figure is made up
    } else {
        m_bar->setRange(0, 1000);
        m_bar->setValue(view.permille);
    }
    m_bar->show();
}

QString RunStatusBar::stageText() const
{
    return m_stage->text();
}

QString RunStatusBar::detailText() const
{
    return m_detail->text();
}

bool RunStatusBar::barShown() const
{
    return !m_bar->isHidden();
}

bool RunStatusBar::barBusy() const
{
    return m_bar->maximum() == 0;
}

int RunStatusBar::barPermille() const
{
    return barBusy() ? -1 : m_bar->value();
}

bool RunStatusBar::sampling() const
{
    return m_timer->isActive();
}
