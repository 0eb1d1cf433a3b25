#pragma once
#include <QWidget>

#include <array>
#include <cstdint>

struct SExchangeTimes;

// The steps of one exchange, in microseconds from its start: resolve, connect, TLS, send,
// wait (for the first response byte) and receive. A step that did not happen (a reused
// connection resolves and connects nothing) has duration -1.
struct STimingPhase {
    const char* name;
    std::int64_t start = 0;
    std::int64_t duration = -1;
};
using TimingPhases = std::array<STimingPhase, 6>;
TimingPhases MakeTimingPhases(const SExchangeTimes& times);

// The Timing tab: each step's name, its milliseconds and a bar placed on the exchange's
// time line.
class CTimingChart : public QWidget {
    Q_OBJECT
public:
    explicit CTimingChart(QWidget* parent = nullptr);

    void SetTimes(const SExchangeTimes& times);
    void Clear();
    // "Resolve 1.2 ms" and so on, one step a line: the accessible description and the copy.
    QString Text() const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    TimingPhases m_Phases{};
    std::int64_t m_nTotal = 0;
    bool m_bSet = false;
};
