#pragma once
#include <string>

// A blocking TCP stream on loopback for test clients and servers that run on their own
// threads. Every wait is bounded by a timeout.
class BlockingStream {
public:
    BlockingStream() = default;
    explicit BlockingStream(int fd) : m_fd(fd) {}
    ~BlockingStream();
    BlockingStream(BlockingStream&& other) noexcept;
    BlockingStream& operator=(BlockingStream&& other) noexcept;
    BlockingStream(const BlockingStream&) = delete;
    BlockingStream& operator=(const BlockingStream&) = delete;

    // Connects to 127.0.0.1:port.
    bool Connect(int port, int timeoutMs = 5000);
    bool IsOpen() const { return m_fd >= 0; }
    int Handle() const { return m_fd; }

    // Writes all bytes; false on failure or timeout.
    bool Write(const std::string& bytes, int timeoutMs = 10000);
    // Reads until the received bytes contain needle (the bytes read so far are returned, also
    // on end, failure or timeout).
    std::string ReadUntil(const std::string& needle, int timeoutMs = 5000);
    // Reads exactly n bytes, or fewer on end, failure or timeout.
    std::string ReadExactly(std::size_t n, int timeoutMs = 5000);
    // Reads until the peer closes; `closed` tells whether it did within the timeout.
    std::string ReadToEnd(int timeoutMs = 5000, bool* closed = nullptr);
    // One read of at most max bytes; empty on end or timeout. `ended` is set at the end.
    std::string ReadSome(std::size_t max, int timeoutMs, bool* ended = nullptr);

    void ShutdownWrite();
    // Makes the next Close send a reset.
    void SetResetOnClose();
    void Close();

private:
    bool WaitReadable(int timeoutMs);
    int m_fd = -1;
};
