#include "ui/viewers/ExchangeDetails.h"

#include "trace/Exchange.h"
#include "ui/viewers/MessageView.h"
#include "ui/viewers/TimingChart.h"

CExchangeDetails::CExchangeDetails(QWidget* parent)
    : QTabWidget(parent)
{
    setObjectName(QStringLiteral("exchangeDetails"));
    setAccessibleName(QStringLiteral("Exchange details"));
    m_pRequest = new CMessageView(QStringLiteral("Request"));
    m_pResponse = new CMessageView(QStringLiteral("Response"));
    m_pTiming = new CTimingChart;
    addTab(m_pRequest, QStringLiteral("Re&quest"));
    addTab(m_pResponse, QStringLiteral("Res&ponse"));
    addTab(m_pTiming, QStringLiteral("&Timing"));
}

void CExchangeDetails::SetExchange(const CExchange* exchange)
{
    if (!exchange) {
        m_nId = 0;
        m_pRequest->Clear();
        m_pResponse->Clear();
        m_pTiming->Clear();
        return;
    }
    m_nId = exchange->m_nId;
    m_pRequest->SetMessage(exchange->m_strRequestHead, exchange->m_RequestBody.bytes, exchange->m_RequestBody.total);
    m_pResponse->SetMessage(exchange->m_strResponseHead, exchange->m_ResponseBody.bytes,
                            exchange->m_ResponseBody.total);
    m_pTiming->SetTimes(exchange->m_Times);
}
