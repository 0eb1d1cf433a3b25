#include "trace/MemoryBudget.h"

#include <utility>

CMemoryBudget::Share::Share(std::shared_ptr<CMemoryBudget> budget, std::uint64_t bytes)
    : m_pBudget(std::move(budget))
{
    Resize(bytes);
}

CMemoryBudget::Share::Share(Share&& other) noexcept
    : m_pBudget(std::move(other.m_pBudget))
    , m_nBytes(std::exchange(other.m_nBytes, 0))
{
}

CMemoryBudget::Share& CMemoryBudget::Share::operator=(Share&& other) noexcept
{
    if (this != &other) {
        Release();
        m_pBudget = std::move(other.m_pBudget);
        m_nBytes = std::exchange(other.m_nBytes, 0);
    }
    return *this;
}

void CMemoryBudget::Share::Resize(std::uint64_t bytes)
{
    if (!m_pBudget)
        return;
    if (bytes > m_nBytes)
        m_pBudget->Add(bytes - m_nBytes);
    else
        m_pBudget->Remove(m_nBytes - bytes);
    m_nBytes = bytes;
}

void CMemoryBudget::Share::Release()
{
    if (m_pBudget)
        m_pBudget->Remove(m_nBytes);
    m_pBudget.reset();
    m_nBytes = 0;
}
