#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

// The number coding of the session's packed rows: unsigned numbers in 7-bit groups (low first,
// the high bit says more follow), signed ones zigzagged first so that small ones of either sign
// stay short.

// Numbers go into a small buffer first: one append for a record or an exchange, not one each.
template <std::size_t Capacity>
class CPackNumbers {
public:
    void Put(std::uint64_t value)
    {
        while (value >= 0x80) {
            m_Bytes[m_nSize++] = static_cast<char>((value & 0x7f) | 0x80);
            value >>= 7;
        }
        m_Bytes[m_nSize++] = static_cast<char>(value);
    }
    void PutSigned(std::int64_t value)
    {
        Put((static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63));
    }
    void PutByte(std::uint8_t byte) { m_Bytes[m_nSize++] = static_cast<char>(byte); }
    // Little-endian, four bytes whatever the value: it can be written over in place.
    void PutFixed32(std::uint32_t value)
    {
        for (int i = 0; i < 4; ++i, value >>= 8)
            PutByte(static_cast<std::uint8_t>(value & 0xff));
    }
    std::string_view View() const { return {m_Bytes, m_nSize}; }

private:
    char m_Bytes[Capacity];
    std::size_t m_nSize = 0;
};

// Reads what a pack holds, never past its end: every read says whether the bytes were there.
class CPackReader {
public:
    explicit CPackReader(std::string_view bytes) : m_Bytes(bytes) {}

    bool AtEnd() const { return m_nAt == m_Bytes.size(); }
    bool Number(std::uint64_t& value);
    // A number no larger than max.
    template <typename T>
    bool Number(T& value, std::uint64_t max)
    {
        std::uint64_t read = 0;
        if (!Number(read) || read > max)
            return false;
        value = static_cast<T>(read);
        return true;
    }
    bool Signed(std::int64_t& value);
    bool Bytes(std::uint64_t size, std::string_view& bytes);
    // A byte string led by its length.
    bool Bytes(std::string_view& bytes);
    bool Fixed32(std::int32_t& value);
    bool Byte(std::uint8_t& byte);

private:
    std::string_view m_Bytes;
    std::size_t m_nAt = 0;
};
