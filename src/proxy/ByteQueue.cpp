#include "proxy/ByteQueue.h"

void CByteQueue::append(std::string_view bytes)
{
    if (empty())
        clear(); // reuse the storage from its start
    m_Bytes.append(bytes.data(), bytes.size());
}

void CByteQueue::consume(std::size_t n)
{
    m_nHead += n < size() ? n : size();
    if (empty()) {
        clear();
    } else if (m_nHead >= 65536 && m_nHead * 2 >= m_Bytes.size()) {
        // Most of the storage is spent: move the rest to the front once.
        m_Bytes.erase(0, m_nHead);
        m_nHead = 0;
    }
}

void CByteQueue::clear()
{
    m_Bytes.clear();
    m_nHead = 0;
}

void CByteQueue::ReleaseIfEmpty(std::size_t bytes)
{
    if (empty() && m_Bytes.capacity() > bytes)
        std::string().swap(m_Bytes);
    if (empty())
        m_nHead = 0;
}
