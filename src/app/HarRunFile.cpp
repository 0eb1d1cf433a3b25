#include "app/HarRunFile.h"

#include "app/HarBuilder.h"
#include "trace/Exchange.h"

#include <QObject>
#include <QMetaObject>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>
#include <vector>

namespace {
// An entry past this size hands the freed memory back once it is written.
constexpr std::size_t kTrimAfterBytes = 1 << 20;

bool WriteAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// Copies [0, length) of `from` to the end of `to`, in the kernel where it can.
bool CopyRange(int from, int to, std::uint64_t length)
{
    loff_t in = 0;
    while (static_cast<std::uint64_t>(in) < length) {
        const ssize_t copied = ::copy_file_range(from, &in, to, nullptr,
                                                 static_cast<std::size_t>(length - static_cast<std::uint64_t>(in)), 0);
        if (copied > 0)
            continue;
        if (copied < 0 && errno == EINTR)
            continue;
        if (copied == 0 || (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP))
            return false;
        // Not between these files: read and write.
        std::vector<char> buffer(1 << 20);
        while (static_cast<std::uint64_t>(in) < length) {
            const std::size_t want = static_cast<std::size_t>(
                std::min<std::uint64_t>(buffer.size(), length - static_cast<std::uint64_t>(in)));
            const ssize_t got = ::pread(from, buffer.data(), want, in);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0 || !WriteAll(to, buffer.data(), static_cast<std::size_t>(got)))
                return false;
            in += got;
        }
    }
    return true;
}

std::string FolderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::size_t SizeOf(const CExchange& exchange)
{
    return sizeof(CExchange) + exchange.m_strRequestHead.size() + exchange.m_strForwardedHead.size()
           + exchange.m_RequestBody.bytes.size() + exchange.m_strResponseHead.size()
           + exchange.m_ResponseBody.bytes.size() + exchange.m_strTarget.size();
}

} // namespace

CHarRunFile::CHarRunFile(std::string path, std::function<void(const std::string&)> onError,
                         std::size_t maxQueuedBytes)
    : m_strPath(std::move(path))
    , m_nMaxQueuedBytes(maxQueuedBytes)
    , m_OnError(std::move(onError))
    , m_pLoopContext(std::make_unique<QObject>())
{
}

CHarRunFile::~CHarRunFile()
{
    {
        std::lock_guard lock(m_Mutex);
        m_bStop = true;
        m_Queue.clear();
        m_nQueuedBytes = 0;
    }
    m_Wake.notify_all();
    if (m_Thread.joinable())
        m_Thread.join();
    if (m_nSideFd >= 0)
        ::close(m_nSideFd);
}

bool CHarRunFile::Open(std::string& error)
{
    // The side file lives in the HAR's folder: a folder that cannot take it cannot take the HAR.
    std::string side = FolderOf(m_strPath) + "/.kestrune-har-XXXXXX";
    m_nSideFd = ::mkostemp(side.data(), O_CLOEXEC); // readable by the owner only
    if (m_nSideFd < 0) {
        error = "cannot write the HAR file " + m_strPath + ": " + std::strerror(errno);
        return false;
    }
    ::unlink(side.c_str()); // gone with the process, however it ends
    m_Thread = std::thread([this] { Run(); });
    return true;
}

void CHarRunFile::Add(const CExchange& exchange)
{
    if (exchange.Has(kExchangeTunnel))
        return;
    SJob job;
    job.bytes = SizeOf(exchange);
    job.exchange = std::make_unique<CExchange>(exchange);
    std::unique_lock lock(m_Mutex);
    if (m_bStop)
        return;
    if (m_nQueuedBytes > 0 && m_nQueuedBytes + job.bytes > m_nMaxQueuedBytes) {
        // The thread fell behind: the loop goes on, the HAR takes less and says so.
        // A swap frees the bodies' buffers; assigning an empty string would keep them.
        std::string().swap(job.exchange->m_RequestBody.bytes);
        std::string().swap(job.exchange->m_ResponseBody.bytes);
        job.bytes = SizeOf(*job.exchange);
        const bool room = m_nQueuedBytes + job.bytes <= m_nMaxQueuedBytes + m_nMaxQueuedBytes / 4;
        ++(room ? m_nBodiesLeftOut : m_nEntriesLeftOut);
        if (!m_bBehind) {
            m_bBehind = true;
            Report("the HAR file falls behind the traffic: " + LeftOutText());
        }
        if (!room)
            return;
    }
    m_nQueuedBytes += job.bytes;
    m_Queue.push_back(std::move(job));
    lock.unlock();
    m_Wake.notify_one();
}

void CHarRunFile::Save()
{
    {
        std::lock_guard lock(m_Mutex);
        if (m_bSaveQueued || m_bStop)
            return;
        m_bSaveQueued = true;
        m_Queue.push_back(SJob());
    }
    m_Wake.notify_one();
}

bool CHarRunFile::SaveNow()
{
    if (!m_Thread.joinable())
        return false;
    std::unique_lock lock(m_Mutex);
    m_Queue.push_back(SJob());
    m_bSaveQueued = true;
    m_Wake.notify_one();
    m_Idle.wait(lock, [this] { return m_Queue.empty() && !m_bBusy; });
    return m_bLastSaveOk;
}

void CHarRunFile::Run()
{
    for (;;) {
        SJob job;
        {
            std::unique_lock lock(m_Mutex);
            m_Wake.wait(lock, [this] { return m_bStop || !m_Queue.empty(); });
            if (m_bStop)
                return;
            job = std::move(m_Queue.front());
            m_Queue.pop_front();
            if (!job.exchange)
                m_bSaveQueued = false; // one asked for from now on is another save
            m_bBusy = true;
        }
        const bool save = !job.exchange;
        bool saved = true;
        std::size_t entryBytes = 0;
        if (save)
            saved = WriteHar();
        else
            entryBytes = Append(*job.exchange);
        job.exchange.reset();
        // A body decoded for its entry may take megabytes: given back to the system at once,
        // or this thread's heap would keep them for the rest of the run.
        if (entryBytes > kTrimAfterBytes)
            ::malloc_trim(0);
        {
            std::lock_guard lock(m_Mutex);
            m_nQueuedBytes -= job.bytes;
            if (m_nQueuedBytes <= m_nMaxQueuedBytes / 2)
                m_bBehind = false;
            m_bBusy = false;
            if (save)
                m_bLastSaveOk = saved;
            if (m_Queue.empty())
                m_Idle.notify_all();
        }
    }
}

std::size_t CHarRunFile::Append(const CExchange& exchange)
{
    const QByteArray entry = CHarBuilder::EntryJson(exchange);
    if (entry.isEmpty() || m_bSideBroken)
        return static_cast<std::size_t>(entry.size());
    const QByteArray text = (m_nEntries > 0 ? QByteArrayLiteral(",\n") : QByteArray()) + entry;
    if (::pwrite(m_nSideFd, text.constData(), static_cast<std::size_t>(text.size()),
                 static_cast<off_t>(m_nSideBytes)) != text.size()) {
        // A short or failed write leaves its bytes past m_nSideBytes, where no save reads them.
        m_bSideBroken = true;
        Report("cannot keep HAR entries (" + std::string(std::strerror(errno))
               + "): the HAR file keeps the entries saved so far");
        return static_cast<std::size_t>(entry.size());
    }
    m_nSideBytes += static_cast<std::uint64_t>(text.size());
    ++m_nEntries;
    return static_cast<std::size_t>(entry.size());
}

bool CHarRunFile::WriteHar()
{
    std::string temporary = m_strPath + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC); // readable by the owner only
    bool ok = fd >= 0;
    int error = errno;
    if (ok) {
        QByteArray start = CHarBuilder::DocumentStart();
        std::string leftOut;
        {
            std::lock_guard lock(m_Mutex);
            if (m_nBodiesLeftOut + m_nEntriesLeftOut > 0)
                leftOut = "the HAR file fell behind the traffic: " + LeftOutText();
        }
        if (!leftOut.empty()) // plain ASCII: a log's comment before its entries
            start.replace("\"entries\":[",
                          ("\"comment\":\"" + leftOut + "\",\"entries\":[").c_str());
        const QByteArray end = CHarBuilder::DocumentEnd();
        ok = WriteAll(fd, start.constData(), static_cast<std::size_t>(start.size()))
             && CopyRange(m_nSideFd, fd, m_nSideBytes)
             && WriteAll(fd, end.constData(), static_cast<std::size_t>(end.size()))
             && ::fsync(fd) == 0;
        ok = ::close(fd) == 0 && ok;
        ok = ok && ::rename(temporary.c_str(), m_strPath.c_str()) == 0;
        error = errno;
        if (!ok)
            ::unlink(temporary.c_str());
    }
    if (!ok)
        Report("cannot write the HAR file " + m_strPath + ": " + std::strerror(error));
    return ok;
}

std::string CHarRunFile::LeftOutText() const
{
    return std::to_string(m_nBodiesLeftOut) + " exchanges kept without their bodies, "
           + std::to_string(m_nEntriesLeftOut) + " left out";
}

void CHarRunFile::Report(const std::string& message)
{
    if (!m_OnError)
        return;
    QMetaObject::invokeMethod(m_pLoopContext.get(), [this, message] { m_OnError(message); },
                              Qt::QueuedConnection);
}
