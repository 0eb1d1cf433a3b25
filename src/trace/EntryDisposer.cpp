#include "trace/EntryDisposer.h"

#include "trace/OutOfMemory.h"
#include "trace/TraceConnection.h"

#include <malloc.h>

#include <new>
#include <system_error>
#include <utility>

CEntryDisposer::CEntryDisposer()
{
    try {
        m_Thread = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
        // no thread: Dispose frees on the caller's
    }
}

CEntryDisposer::~CEntryDisposer()
{
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        m_bStop = true;
    }
    m_Wake.notify_one();
    if (m_Thread.joinable())
        m_Thread.join();
}

void CEntryDisposer::Dispose(Entries entries)
{
    if (!m_Thread.joinable())
        return; // freed as `entries` goes
    const bool queued = RunUnlessOutOfMemory([&] {
        std::lock_guard<std::mutex> guard(m_Lock);
        m_Waiting.push_back(std::move(entries));
    });
    if (!queued)
        return; // no room to queue them: freed here
    m_Wake.notify_one();
}

void CEntryDisposer::Wait()
{
    std::unique_lock<std::mutex> lock(m_Lock);
    m_Idle.wait(lock, [this] { return m_Waiting.empty() && !m_bBusy; });
}

void CEntryDisposer::Run()
{
    std::unique_lock<std::mutex> lock(m_Lock);
    for (;;) {
        m_Wake.wait(lock, [this] { return m_bStop || !m_Waiting.empty(); });
        if (m_Waiting.empty())
            return; // stopping, nothing left
        std::vector<Entries> batch = std::move(m_Waiting);
        m_Waiting.clear();
        m_bBusy = true;
        lock.unlock();
        batch.clear();
        // Give the freed pages back to the system rather than keep them for the next burst.
        ::malloc_trim(0);
        lock.lock();
        m_bBusy = false;
        m_Idle.notify_all();
    }
}
