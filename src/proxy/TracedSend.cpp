#include "proxy/TracedSend.h"

#include "platform/AsyncSocket.h"
#include "platform/SplicePipe.h"
#include "proxy/ByteQueue.h"
#include "trace/TraceStore.h"

#include <climits>
#include <cstdio>

int TracedSend(CAsyncSocket& socket, std::string_view bytes, const char* format,
               CTraceStore* trace)
{
    const int length = bytes.size() > static_cast<std::size_t>(INT_MAX)
        ? INT_MAX
        : static_cast<int>(bytes.size());
    const int n = socket.Send(bytes.data(), length);
    if (DebugTraceOn(trace)) {
        char line[128];
        std::snprintf(line, sizeof line, format, static_cast<unsigned>(socket.GetSocketHandle()),
                      static_cast<unsigned>(n));
        DebugTrace(trace, line);
    }
    return n;
}

namespace {

// The result of a send as SendFront reports it.
int Taken(const CAsyncSocket& socket, int n)
{
    if (n >= 0)
        return n;
    return WouldBlock(socket.GetLastError()) ? 0 : -1;
}

} // namespace

int SendFront(CAsyncSocket& socket, std::string& bytes, const char* format, CTraceStore* trace)
{
    if (bytes.empty() || !socket.IsOpen())
        return 0;
    const int n = Taken(socket, TracedSend(socket, bytes, format, trace));
    if (n > 0)
        bytes.erase(0, static_cast<std::size_t>(n));
    return n;
}

int SendFront(CAsyncSocket& socket, CByteQueue& bytes, const char* format, CTraceStore* trace,
              std::size_t limit)
{
    if (bytes.empty() || limit == 0 || !socket.IsOpen())
        return 0;
    const int n = Taken(socket, TracedSend(socket, bytes.view().substr(0, limit), format, trace));
    if (n > 0)
        bytes.consume(static_cast<std::size_t>(n));
    return n;
}

int DrainFront(CAsyncSocket& socket, CSplicePipe& pipe, const char* format, CTraceStore* trace)
{
    if (pipe.Pending() == 0 || !socket.IsOpen())
        return 0;
    const int n = pipe.Drain(socket);
    if (DebugTraceOn(trace)) {
        char line[128];
        std::snprintf(line, sizeof line, format, static_cast<unsigned>(socket.GetSocketHandle()),
                      static_cast<unsigned>(n));
        DebugTrace(trace, line);
    }
    return Taken(socket, n);
}
