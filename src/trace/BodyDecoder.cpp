#include "trace/BodyDecoder.h"

#include <brotli/decode.h>
#include <zlib.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <new>

namespace {

constexpr std::size_t kStepBytes = 16384; // output made per call of the library

using Status = CBodyDecoder::Status;
using Step = CBodyDecoder::Step;

void Emit(std::string& output, const char* buffer, std::size_t made, std::size_t& room)
{
    output.append(buffer, made);
    room -= made;
}

// gzip (with further members) and deflate, which servers send both with the zlib header and
// raw: the first two bytes tell which.
class CZlibDecoder final : public CBodyDecoder {
public:
    explicit CZlibDecoder(bool gzip)
        : m_bGzip(gzip)
    {
    }
    ~CZlibDecoder() override
    {
        if (m_bStarted)
            inflateEnd(&m_stream);
    }

    Step Decode(std::string_view input, std::string& output, std::size_t room) override
    {
        if (!m_bStarted) {
            // A deflate stream needs two bytes to tell its framing; keep one until then.
            m_strHead.append(input.substr(0, 2));
            if (!m_bGzip && m_strHead.size() < 2)
                return {Status::More, input.size()};
            Start();
            const std::size_t held = m_strHead.size() - std::min<std::size_t>(input.size(), 2);
            if (held > 0) {
                const Step first = Run(std::string_view(m_strHead).substr(0, held), output, room);
                if (first.status != Status::More)
                    return {first.status, 0};
            }
            m_strHead.clear();
        }
        return Run(input, output, room);
    }

private:
    void Start()
    {
        int windowBits = 15 + 32; // gzip, or zlib from a server that says gzip
        if (!m_bGzip) {
            const auto cmf = static_cast<unsigned char>(m_strHead[0]);
            const auto flg = static_cast<unsigned char>(m_strHead[1]);
            const bool zlibHeader = (cmf & 0x0F) == 8 && (cmf >> 4) <= 7 && (cmf * 256 + flg) % 31 == 0;
            windowBits = zlibHeader ? 15 : -15;
        }
        m_stream = z_stream{};
        if (inflateInit2(&m_stream, windowBits) != Z_OK)
            throw std::bad_alloc();
        m_bStarted = true;
        // The text is for display only: computing the CRC-32 of every decoded byte would cost
        // more than inflating repetitive markup. A broken stream still fails on its structure.
        inflateValidate(&m_stream, 0);
    }

    Step Run(std::string_view input, std::string& output, std::size_t& room)
    {
        char buffer[kStepBytes];
        m_stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
        m_stream.avail_in = static_cast<uInt>(input.size());
        for (;;) {
            if (room == 0)
                return {Status::Full, input.size() - m_stream.avail_in};
            m_stream.next_out = reinterpret_cast<Bytef*>(buffer);
            m_stream.avail_out = static_cast<uInt>(std::min(sizeof buffer, room));
            const uInt before = m_stream.avail_out;
            const int rc = inflate(&m_stream, Z_NO_FLUSH);
            const std::size_t made = before - m_stream.avail_out;
            Emit(output, buffer, made, room);
            const std::size_t used = input.size() - m_stream.avail_in;
            if (rc == Z_STREAM_END) {
                // A gzip body may hold further members.
                if (m_bGzip && m_stream.avail_in >= 1 && m_stream.next_in[0] == 0x1F) {
                    inflateReset(&m_stream);
                    inflateValidate(&m_stream, 0);
                    continue;
                }
                return {Status::End, used};
            }
            if (rc == Z_MEM_ERROR)
                throw std::bad_alloc();
            if (rc != Z_OK && rc != Z_BUF_ERROR)
                return {Status::Corrupt, used};
            if (m_stream.avail_in == 0 && m_stream.avail_out != 0)
                return {Status::More, used};
            if (made == 0 && rc == Z_BUF_ERROR)
                return {Status::More, used};
        }
    }

    bool m_bGzip;
    bool m_bStarted = false;
    std::string m_strHead; // the first two bytes of the stream, to tell its framing
    z_stream m_stream{};
};

class CBrotliDecoder final : public CBodyDecoder {
public:
    CBrotliDecoder()
        : m_pState(BrotliDecoderCreateInstance(nullptr, nullptr, nullptr))
    {
        if (!m_pState)
            throw std::bad_alloc();
    }
    ~CBrotliDecoder() override { BrotliDecoderDestroyInstance(m_pState); }

    Step Decode(std::string_view input, std::string& output, std::size_t room) override
    {
        char buffer[kStepBytes];
        const auto* next = reinterpret_cast<const uint8_t*>(input.data());
        std::size_t available = input.size();
        for (;;) {
            if (room == 0)
                return {Status::Full, input.size() - available};
            auto* out = reinterpret_cast<uint8_t*>(buffer);
            std::size_t space = std::min(sizeof buffer, room);
            const std::size_t before = space;
            const BrotliDecoderResult rc =
                BrotliDecoderDecompressStream(m_pState, &available, &next, &space, &out, nullptr);
            Emit(output, buffer, before - space, room);
            const std::size_t used = input.size() - available;
            switch (rc) {
            case BROTLI_DECODER_RESULT_SUCCESS:
                return {Status::End, used};
            case BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT:
                return {Status::More, used};
            case BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT:
                continue;
            default:
                const BrotliDecoderErrorCode code = BrotliDecoderGetErrorCode(m_pState);
                if (code <= BROTLI_DECODER_ERROR_ALLOC_CONTEXT_MODES
                    && code >= BROTLI_DECODER_ERROR_ALLOC_BLOCK_TYPE_TREES)
                    throw std::bad_alloc();
                return {Status::Corrupt, used};
            }
        }
    }

private:
    BrotliDecoderState* m_pState;
};

class CZstdDecoder final : public CBodyDecoder {
public:
    CZstdDecoder()
        : m_pStream(ZSTD_createDStream())
    {
        if (!m_pStream)
            throw std::bad_alloc();
        ZSTD_DCtx_setParameter(m_pStream, ZSTD_d_windowLogMax, 24); // 16 MiB
    }
    ~CZstdDecoder() override { ZSTD_freeDStream(m_pStream); }

    Step Decode(std::string_view input, std::string& output, std::size_t room) override
    {
        char buffer[kStepBytes];
        ZSTD_inBuffer in{input.data(), input.size(), 0};
        for (;;) {
            if (room == 0)
                return {Status::Full, in.pos};
            ZSTD_outBuffer out{buffer, std::min(sizeof buffer, room), 0};
            const std::size_t rc = ZSTD_decompressStream(m_pStream, &out, &in);
            if (ZSTD_isError(rc)) {
                if (ZSTD_getErrorCode(rc) == ZSTD_error_memory_allocation)
                    throw std::bad_alloc();
                return {Status::Corrupt, in.pos};
            }
            Emit(output, buffer, out.pos, room);
            // 0: a frame is complete and flushed; more input may start another frame.
            if (rc == 0 && in.pos == in.size)
                return {Status::End, in.pos};
            if (in.pos == in.size && out.pos < out.size)
                return {Status::More, in.pos};
        }
    }

private:
    ZSTD_DStream* m_pStream;
};

} // namespace

std::string_view ContentCodingName(ContentCoding coding)
{
    switch (coding) {
    case ContentCoding::Gzip:
        return "gzip";
    case ContentCoding::Deflate:
        return "deflate";
    case ContentCoding::Brotli:
        return "br";
    case ContentCoding::Zstd:
        return "zstd";
    }
    return {};
}

std::unique_ptr<CBodyDecoder> CBodyDecoder::Create(ContentCoding coding)
{
    switch (coding) {
    case ContentCoding::Gzip:
    case ContentCoding::Deflate:
        return std::make_unique<CZlibDecoder>(coding == ContentCoding::Gzip);
    case ContentCoding::Brotli:
        return std::make_unique<CBrotliDecoder>();
    case ContentCoding::Zstd:
        return std::make_unique<CZstdDecoder>();
    }
    return nullptr;
}
