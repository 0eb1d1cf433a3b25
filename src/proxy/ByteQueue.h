#pragma once
#include <cstddef>
#include <string>
#include <string_view>

// A byte buffer that is filled at the back and sent from the front. Taking bytes from the
// front only moves an offset, so a large buffer drained by many short sends is not copied
// over and over.
class CByteQueue {
public:
    bool empty() const { return m_nHead == m_Bytes.size(); }
    std::size_t size() const { return m_Bytes.size() - m_nHead; }
    const char* data() const { return m_Bytes.data() + m_nHead; }
    std::string_view view() const { return {data(), size()}; }

    void append(std::string_view bytes);
    // Drops the first n bytes (at most all of them).
    void consume(std::size_t n);
    void clear();
    // Frees the storage of an empty queue that once held more than 'bytes'.
    void ReleaseIfEmpty(std::size_t bytes);

private:
    std::string m_Bytes;
    std::size_t m_nHead = 0;
};
