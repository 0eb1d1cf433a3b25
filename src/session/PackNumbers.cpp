#include "session/PackNumbers.h"

bool CPackReader::Number(std::uint64_t& value)
{
    value = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        if (m_nAt == m_Bytes.size())
            return false;
        const auto byte = static_cast<unsigned char>(m_Bytes[m_nAt++]);
        value |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
        if (!(byte & 0x80))
            return shift < 63 || byte <= 1; // the tenth byte carries one bit
    }
    return false;
}

bool CPackReader::Signed(std::int64_t& value)
{
    std::uint64_t read = 0;
    if (!Number(read))
        return false;
    value = static_cast<std::int64_t>(read >> 1) ^ -static_cast<std::int64_t>(read & 1);
    return true;
}

bool CPackReader::Bytes(std::uint64_t size, std::string_view& bytes)
{
    if (size > m_Bytes.size() - m_nAt)
        return false;
    bytes = m_Bytes.substr(m_nAt, static_cast<std::size_t>(size));
    m_nAt += static_cast<std::size_t>(size);
    return true;
}

bool CPackReader::Bytes(std::string_view& bytes)
{
    std::uint64_t size = 0;
    return Number(size) && Bytes(size, bytes);
}

bool CPackReader::Fixed32(std::int32_t& value)
{
    if (m_Bytes.size() - m_nAt < 4)
        return false;
    std::uint32_t read = 0;
    for (int i = 3; i >= 0; --i)
        read = read << 8 | static_cast<unsigned char>(m_Bytes[m_nAt + static_cast<std::size_t>(i)]);
    m_nAt += 4;
    value = static_cast<std::int32_t>(read);
    return true;
}

bool CPackReader::Byte(std::uint8_t& byte)
{
    if (m_nAt == m_Bytes.size())
        return false;
    byte = static_cast<std::uint8_t>(m_Bytes[m_nAt++]);
    return true;
}
