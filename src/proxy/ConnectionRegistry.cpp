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
    raw->m_nRegistryIndex = m_Live.size();
    m_Live.push_back(std::move(proxy));
    return *raw;
}

void CConnectionRegistry::Release(CProxy* proxy)
{
    const std::size_t index = proxy->m_nRegistryIndex;
    if (index >= m_Live.size() || m_Live[index].get() != proxy)
        return;
    std::unique_ptr<CProxy> released = std::move(m_Live[index]);
    released->m_nRegistryIndex = CProxy::kNotRegistered;
    // The last pair takes its place.
    if (index + 1 != m_Live.size()) {
        m_Live[index] = std::move(m_Live.back());
        m_Live[index]->m_nRegistryIndex = index;
    }
    m_Live.pop_back();
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
        m_Live.back()->TearDown();
    FreeReleased();
}
