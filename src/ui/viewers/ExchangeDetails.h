#pragma once
#include "ui/viewers/MessageView.h"
#include "ui/viewers/TimingChart.h"

#include <QPointer>
#include <QTabWidget>

#include <cstdint>

class CExchange;

// What the Exchanges page shows below its list for the selected exchange: its Request and its
// Response (headers, body, raw bytes) and its Timing.
class CExchangeDetails : public QTabWidget {
    Q_OBJECT
public:
    explicit CExchangeDetails(QWidget* parent = nullptr);

    // Shows the exchange as it is now (an open one again once it has ended); null empties.
    void SetExchange(const CExchange* exchange);
    std::uint64_t GetExchangeId() const { return m_nId; }

    CMessageView* GetRequest() const { return m_pRequest; }
    CMessageView* GetResponse() const { return m_pResponse; }
    CTimingChart* GetTiming() const { return m_pTiming; }

private:
    QPointer<CMessageView> m_pRequest;
    QPointer<CMessageView> m_pResponse;
    QPointer<CTimingChart> m_pTiming;
    std::uint64_t m_nId = 0;
};
