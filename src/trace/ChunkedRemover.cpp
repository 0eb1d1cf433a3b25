#include "trace/ChunkedRemover.h"

#include <algorithm>

namespace {
constexpr int kMaxLineBytes = 4096;
constexpr int kMaxSizeDigits = 15; // a chunk of up to 2^60 bytes

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
} // namespace

CChunkedRemover::Status CChunkedRemover::Fail()
{
    m_state = State::Broken;
    return Status::Broken;
}

CChunkedRemover::Status CChunkedRemover::Remove(std::string_view input, std::string& output)
{
    std::size_t i = 0;
    while (i < input.size()) {
        if (m_state == State::End)
            return Status::End;
        if (m_state == State::Broken)
            return Status::Broken;
        if (m_state == State::Data) {
            const auto take = static_cast<std::size_t>(
                std::min<std::uint64_t>(m_nRemaining, input.size() - i));
            output.append(input.substr(i, take));
            i += take;
            m_nRemaining -= take;
            if (m_nRemaining == 0)
                m_state = State::DataEnd;
            continue;
        }

        const char c = input[i++];
        if (++m_nLineBytes > kMaxLineBytes)
            return Fail();
        switch (m_state) {
        case State::Size:
            if (const int value = HexValue(c); value >= 0) {
                if (++m_nDigits > kMaxSizeDigits)
                    return Fail();
                m_nRemaining = m_nRemaining * 16 + static_cast<unsigned>(value);
                break;
            }
            if (m_nDigits == 0)
                return Fail();
            m_state = State::Extension;
            [[fallthrough]];
        case State::Extension:
            // Extensions and blanks after the size are skipped up to the line end.
            if (c != '\n')
                break;
            m_nLineBytes = 0;
            m_nDigits = 0;
            m_state = m_nRemaining == 0 ? State::Trailer : State::Data;
            break;
        case State::DataEnd:
            // CR LF after the data (a bare LF is taken too).
            if (c == '\r' && !m_bSawCR) {
                m_bSawCR = true;
                break;
            }
            if (c != '\n')
                return Fail();
            m_bSawCR = false;
            m_nLineBytes = 0;
            m_state = State::Size;
            break;
        case State::Trailer:
            // The first byte of a trailer line: LF (after an optional CR) ends the body.
            if (c == '\r')
                break;
            if (c == '\n') {
                m_state = State::End;
                return Status::End;
            }
            m_state = State::TrailerLine;
            break;
        case State::TrailerLine:
            if (c == '\n') {
                m_nLineBytes = 0;
                m_state = State::Trailer;
            }
            break;
        default:
            break;
        }
    }
    if (m_state == State::End)
        return Status::End;
    return m_state == State::Broken ? Status::Broken : Status::More;
}
