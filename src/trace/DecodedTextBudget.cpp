#include "trace/DecodedTextBudget.h"

#include <utility>

std::uint64_t CDecodedTextBudget::Available() const
{
    const std::uint64_t held = Held();
    return held < m_nLimit ? m_nLimit - held : 0;
}

CDecodedTextBudget::Share::Share(std::shared_ptr<CDecodedTextBudget> budget, std::uint64_t bytes)
    : m_pBudget(std::move(budget))
    , m_nBytes(bytes)
{
    if (m_pBudget)
        m_pBudget->m_nHeld.fetch_add(m_nBytes, std::memory_order_relaxed);
}

CDecodedTextBudget::Share::Share(Share&& other) noexcept
    : m_pBudget(std::move(other.m_pBudget))
    , m_nBytes(std::exchange(other.m_nBytes, 0))
{
}

CDecodedTextBudget::Share& CDecodedTextBudget::Share::operator=(Share&& other) noexcept
{
    if (this != &other) {
        Release();
        m_pBudget = std::move(other.m_pBudget);
        m_nBytes = std::exchange(other.m_nBytes, 0);
    }
    return *this;
}

void CDecodedTextBudget::Share::Release()
{
    if (m_pBudget)
        m_pBudget->m_nHeld.fetch_sub(m_nBytes, std::memory_order_relaxed);
    m_pBudget.reset();
    m_nBytes = 0;
}
