#include "proxy/ConnectionRegistry.h"

#include "proxy/Proxy.h"

#include <QTimer>

CConnectionRegistry::CConnectionRegistry() = default;

CConnectionRegistry::~CConnectionRegistry()
{
    m_pFree.reset();
    m_Released.clear();
    m_Live.clear();
}

CProxy& CConnectionRegistry::Adopt(std::unique_ptr<CProxy> proxy)
{
    FreeReleased();
    CProxy* raw = proxy.get();
    m_Live.emplace(raw, std::move(proxy));
    return *raw;
}

void CConnectionRegistry::Release(CProxy* proxy)
{
    const auto it = m_Live.find(proxy);
    if (it == m_Live.end())
        return;
    std::unique_ptr<CProxy> released = std::move(it->second);
    m_Live.erase(it);
    FreeReleased(); // pairs released before: their handlers have all returned
    m_Released.push_back(std::move(released));
    if (!m_pFree) {
        m_pFree = std::make_unique<QTimer>();
        m_pFree->setSingleShot(true);
        QObject::connect(m_pFree.get(), &QTimer::timeout, [this] { FreeReleased(); });
    }
    if (!m_pFree->isActive())
        m_pFree->start(kFreeDelayMs);
}

void CConnectionRegistry::FreeReleased()
{
    // A destructor never calls back here, but the list is swapped out first all the same. The
    // two lists trade places, so neither is allocated again.
    if (m_Released.empty())
        return;
    m_Freeing.swap(m_Released);
    m_Freeing.clear();
}

void CConnectionRegistry::DestroyAll()
{
    // A pair whose browser side speaks TLS first sends its close_notify; the second tear-down
    // closes it at once.
    while (!m_Live.empty())
        m_Live.begin()->first->TearDown();
    FreeReleased();
}
