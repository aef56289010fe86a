#include "upload/TransferMeter.h"

#include <QLocale>

#include <algorithm>
#include <cmath>

void TransferMeter::sample(qint64 nowMs, qint64 bytes)
{
    if (!m_samples.empty() && bytes < m_samples.back().second)
        m_samples.clear(); // a new count began (the next run)
    m_samples.emplace_back(nowMs, bytes);
    // Keep one sample at or before the window's start, so the span covers the window.
    while (m_samples.size() > 2 && m_samples[1].first <= nowMs - WindowMs)
        m_samples.pop_front();
}

double TransferMeter::bytesPerSecond() const
{
    if (m_samples.size() < 2)
        return 0;
    const qint64 span = m_samples.back().first - m_samples.front().first;
    if (span < MinimumSpanMs)
        return 0;
    return double(m_samples.back().second - m_samples.front().second) * 1000.0 / double(span);
}

qint64 TransferMeter::secondsLeft(qint64 bytesLeft) const
{
    const double speed = bytesPerSecond();
    if (!(speed > 0))
        return -1;
    return qint64(std::ceil(double(qMax<qint64>(bytesLeft, 0)) / speed));
}

QString sizeText(qint64 bytes)
{
    static const char *const units[] = {"КБ", "МБ", "ГБ", "ТБ"};
    if (bytes < 1024)
        return QStringLiteral("%1 Б").arg(qMax<qint64>(bytes, 0));
    double value = double(bytes) / 1024;
    int unit = 0;
    // The unit follows the figure as shown: 1 048 575 bytes read "1,0 МБ", not "1 024,0 КБ".
    while (unit < 3 && QString::number(value, 'f', 1).toDouble() >= 1024) {
        value /= 1024;
        ++unit;
    }
    return QLocale(QLocale::Russian).toString(value, 'f', 1) + u' '
        + QString::fromUtf8(units[unit]);
}

QString durationText(qint64 seconds)
{
    const long long total = qMax<qint64>(seconds, 0);
    if (total >= 3600)
        return QString::asprintf("%lld:%02lld:%02lld", total / 3600, total / 60 % 60, total % 60);
    return QString::asprintf("%lld:%02lld", total / 60, total % 60);
}

QString authorisationStageText()
{
    return QStringLiteral("Авторизация на сервере");
}

ProgressView progressView(const JobProgress &progress, qint64 bytesSent, const TransferMeter &meter)
{
    using Step = JobProgress::Step;
    switch (progress.step) {
    case Step::Session: return {QStringLiteral("Подготовка загрузки"), {}, true, 0};
    case Step::Workbook: return {QStringLiteral("Передача реестра"), {}, true, 0};
    case Step::Registry: return {QStringLiteral("Обработка реестра на сервере"), {}, true, 0};
    case Step::Attaching:
        return {QStringLiteral("Прикрепление документов на сервере"), {}, true, 0};
    case Step::Ended: return {QStringLiteral("Загрузка завершена"), {}, false, 1000};
    case Step::Documents: break;
    }
    const int total = qMax(progress.documentsTotal, 0);
    const int current = qMin(progress.documentsSent + 1, total);
    ProgressView view{
        QStringLiteral("Передача документов: %1 из %2").arg(current).arg(total), {}, false, 0};
    const qint64 totalBytes = progress.documentBytesTotal;
    if (totalBytes > 0)
        view.permille = int(std::clamp<qint64>(bytesSent * 1000 / totalBytes, 0, 1000));
    else if (total > 0)
        view.permille = progress.documentsSent * 1000 / total;
    view.detail = sizeText(bytesSent) + QStringLiteral(" из ") + sizeText(totalBytes);
    const double speed = meter.bytesPerSecond();
    if (speed > 0) {
        view.detail += QStringLiteral(", ") + sizeText(qint64(speed)) + QStringLiteral("/с");
        const qint64 left = meter.secondsLeft(totalBytes - bytesSent);
        if (left >= 0)
            view.detail += QStringLiteral(", осталось ") + durationText(left);
    }
    return view;
}
