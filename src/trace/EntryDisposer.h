#pragma once
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class CTraceConnection;

// Frees trace entries on a thread of its own: the records of a big save take tens of
// milliseconds to free, which the event loop should spend relaying. Only for entries nothing
// else points into any more: taken out of the store and detached from their connections.
// Freeing touches nothing but the entries' own memory.
class CEntryDisposer {
public:
    using Entries = std::vector<std::unique_ptr<CTraceConnection>>;

    CEntryDisposer();
    ~CEntryDisposer(); // frees what is still waiting, then ends the thread

    CEntryDisposer(const CEntryDisposer&) = delete;
    CEntryDisposer& operator=(const CEntryDisposer&) = delete;

    // Hands the entries over (freed here at once when the thread could not be started); then
    // the thread gives the freed memory back to the system, also when there were none.
    void Dispose(Entries entries);
    // Waits until everything handed over is freed.
    void Wait();

private:
    void Run();

    std::mutex m_Lock;
    std::condition_variable m_Wake;
    std::condition_variable m_Idle;
    std::vector<Entries> m_Waiting;
    bool m_bBusy = false;
    bool m_bStop = false;
    std::thread m_Thread;
};
