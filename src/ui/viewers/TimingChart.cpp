#include "ui/viewers/TimingChart.h"

#include "trace/Exchange.h"

#include <QPainter>
#include <QPalette>

#include <algorithm>

TimingPhases MakeTimingPhases(const SExchangeTimes& times)
{
    TimingPhases phases{{{"Resolve"}, {"Connect"}, {"TLS"}, {"Send"}, {"Wait"}, {"Receive"}}};
    if (times.started <= 0)
        return phases;
    const std::int64_t steps[] = {times.resolved, times.connected, times.tlsDone, times.requestSent, times.firstByte};
    std::int64_t cursor = times.started;
    for (std::size_t i = 0; i < 5; ++i) {
        if (steps[i] <= 0)
            continue;
        const std::int64_t end = std::max(steps[i], cursor);
        phases[i].start = cursor - times.started;
        phases[i].duration = end - cursor;
        cursor = end;
    }
    if (times.firstByte > 0 && times.ended >= times.firstByte) {
        phases[5].start = times.firstByte - times.started;
        phases[5].duration = times.ended - times.firstByte;
    }
    return phases;
}

namespace {

QString Millis(std::int64_t us)
{
    return us < 0 ? QStringLiteral("-") : QStringLiteral("%1 ms").arg(static_cast<double>(us) / 1000.0, 0, 'f', 1);
}

} // namespace

CTimingChart::CTimingChart(QWidget* parent)
    : QWidget(parent)
{
    setAccessibleName(QStringLiteral("Timing"));
    setMinimumHeight(fontMetrics().height() * 8);
}

void CTimingChart::SetTimes(const SExchangeTimes& times)
{
    m_Phases = MakeTimingPhases(times);
    m_nTotal = times.ended > times.started && times.started > 0 ? times.ended - times.started : 0;
    for (const STimingPhase& phase : m_Phases)
        m_nTotal = std::max(m_nTotal, phase.start + std::max<std::int64_t>(phase.duration, 0));
    m_bSet = true;
    setAccessibleDescription(Text());
    setToolTip(Text());
    update();
}

void CTimingChart::Clear()
{
    m_bSet = false;
    setAccessibleDescription(QString());
    setToolTip(QString());
    update();
}

QString CTimingChart::Text() const
{
    if (!m_bSet)
        return QString();
    QString text;
    for (const STimingPhase& phase : m_Phases)
        text += QStringLiteral("%1 %2\n").arg(QString::fromLatin1(phase.name), Millis(phase.duration));
    text += QStringLiteral("Total %1\n").arg(Millis(m_nTotal));
    return text;
}

QSize CTimingChart::sizeHint() const
{
    return QSize(400, fontMetrics().height() * 8 + 8);
}

void CTimingChart::paintEvent(QPaintEvent* event)
{
    (void)event;
    if (!m_bSet)
        return;
    QPainter painter(this);
    const QFontMetrics metrics = fontMetrics();
    const int line = metrics.height() + 4;
    const int nameWidth = metrics.horizontalAdvance(QStringLiteral("Receive")) + 12;
    const int numberWidth = metrics.horizontalAdvance(QStringLiteral("000000.0 ms")) + 12;
    const int barLeft = nameWidth + numberWidth;
    const int barWidth = std::max(10, width() - barLeft - 8);
    const QColor bar = palette().color(QPalette::Highlight);
    int y = 4;
    auto row = [&](const QString& name, std::int64_t start, std::int64_t duration) {
        painter.setPen(palette().color(QPalette::WindowText));
        painter.drawText(QRect(4, y, nameWidth, line), Qt::AlignLeft | Qt::AlignVCenter, name);
        painter.drawText(QRect(nameWidth, y, numberWidth - 12, line), Qt::AlignRight | Qt::AlignVCenter,
                         Millis(duration));
        if (duration >= 0 && m_nTotal > 0) {
            const int x = barLeft + static_cast<int>(static_cast<double>(start) / static_cast<double>(m_nTotal) * barWidth);
            const int w = std::max(1, static_cast<int>(static_cast<double>(duration) / static_cast<double>(m_nTotal) * barWidth));
            painter.fillRect(QRect(x, y + 3, w, line - 6), bar);
        }
        y += line;
    };
    for (const STimingPhase& phase : m_Phases)
        row(QString::fromLatin1(phase.name), phase.start, phase.duration);
    row(QStringLiteral("Total"), 0, m_nTotal);
}
