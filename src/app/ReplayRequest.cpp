#include "app/ReplayRequest.h"

#include "http/AsciiCase.h"
#include "http/HttpHead.h"
#include "trace/Exchange.h"

namespace {
// Fields meant for a proxy, not for the origin: a replay goes to the origin itself.
bool IsProxyField(std::string_view name)
{
    return EqualsNoCase(name, "Proxy-Connection") || EqualsNoCase(name, "Proxy-Authorization");
}

bool IsChunked(std::string_view head)
{
    return ContainsNoCase(FindHeaderField(head, "Transfer-Encoding"), "chunked");
}

// The head as the browser sent it, its request line in origin form.
std::string OriginFormHead(const CExchange& exchange)
{
    std::string head = exchange.m_strMethod + " " + exchange.Path() + " "
                       + (exchange.m_strVersion.empty() ? "HTTP/1.1" : exchange.m_strVersion)
                       + "\r\n";
    const SHttpHead parsed = ParseHttpHead(exchange.m_strRequestHead);
    for (const auto& field : parsed.fields) {
        if (!IsProxyField(field.name)) {
            head.append(field.name);
            head += ": ";
            head.append(field.value);
            head += "\r\n";
        }
    }
    return head + "\r\n";
}
} // namespace

bool IsSafeMethod(std::string_view method)
{
    return method == "GET" || method == "HEAD" || method == "OPTIONS";
}

SReplayRequest MakeReplayRequest(const CExchange& exchange, bool allowUnsafe)
{
    SReplayRequest request;
    request.exchangeId = exchange.m_nId;
    request.method = exchange.m_strMethod;
    request.url = exchange.Url();
    request.https = exchange.m_bHttps;
    request.host = exchange.m_strHost;
    request.port = exchange.m_nPort;
    request.recordedStatus = exchange.m_nStatus;
    if (exchange.Has(kExchangeTunnel) || exchange.m_strMethod == "CONNECT")
        request.skipReason = "a tunnel, not a request";
    else if (exchange.m_strRequestHead.empty() || exchange.m_strHost.empty())
        request.skipReason = "no request head recorded";
    else if (exchange.m_RequestBody.IsCut())
        request.skipReason = "the request body was not kept whole";
    else if (!allowUnsafe && !IsSafeMethod(exchange.m_strMethod))
        request.skipReason = "not repeated without --unsafe-methods";
    if (!request.skipReason.empty())
        return request;
    request.bytes = OriginFormHead(exchange) + exchange.m_RequestBody.bytes;
    if (exchange.m_nStatus != 0 && !exchange.m_ResponseBody.IsCut()) {
        // A HAR keeps the content without its chunks while its head may still say chunked.
        std::string plain;
        bool chunked = false;
        if (IsChunked(exchange.m_strResponseHead)) {
            CBodyFramer chunks;
            chunks.Start(CBodyFraming{EBodyKind::Chunked, 0, true}, true);
            chunks.Consume(exchange.m_ResponseBody.bytes, &plain);
            chunked = chunks.IsDone();
        }
        CBodyHash hash(false);
        hash.Add(chunked ? plain : exchange.m_ResponseBody.bytes);
        request.recordedBodyKnown = true;
        request.recordedBodyHash = hash.Value();
    }
    return request;
}

CBodyHash::CBodyHash(bool chunked)
    : m_bChunked(chunked)
{
    if (m_bChunked)
        m_Chunks.Start(CBodyFraming{EBodyKind::Chunked, 0, true}, true);
}

void CBodyHash::AddPlain(std::string_view bytes)
{
    for (const char c : bytes) {
        m_nHash ^= static_cast<unsigned char>(c);
        m_nHash *= 1099511628211ull;
    }
}

void CBodyHash::Add(std::string_view bytes)
{
    if (!m_bChunked) {
        AddPlain(bytes);
        return;
    }
    m_Plain.clear();
    m_Chunks.Consume(bytes, &m_Plain);
    AddPlain(m_Plain);
}
