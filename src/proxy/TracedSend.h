#pragma once
#include <cstddef>
#include <string>
#include <string_view>

class CAsyncSocket;
class CByteQueue;
class CSplicePipe;
class CTraceStore;

// One send of the bytes on the socket, followed (when the store's debug trace is on) by the
// trace line made from format with the socket handle and the send's result as two %u fields;
// a failed send's -1 prints as 4294967295. Returns the send's result.
int TracedSend(CAsyncSocket& socket, std::string_view bytes, const char* format,
               CTraceStore* trace);

// One traced send from the front of the buffer; what was taken is dropped. Returns the count
// taken (0 when the socket could not take any now), or -1 when the socket failed for good.
int SendFront(CAsyncSocket& socket, std::string& bytes, const char* format, CTraceStore* trace);
// At most limit bytes leave from the front of a queue.
int SendFront(CAsyncSocket& socket, CByteQueue& bytes, const char* format, CTraceStore* trace,
              std::size_t limit = static_cast<std::size_t>(-1));
// One traced splice of what the pipe holds into the socket, with SendFront's results.
int DrainFront(CAsyncSocket& socket, CSplicePipe& pipe, const char* format, CTraceStore* trace);
