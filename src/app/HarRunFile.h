#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class CExchange;
class QObject;

// The headless run's HAR file (--har). Each finished exchange is serialised once, as it
// finishes, and appended to a side file (unlinked at once, in the HAR's folder); a save makes
// the HAR from the side file into a new file and renames it over the old one, so the file is
// whole HAR after every save. Serialising, appending and saving run on a thread of their own:
// the event loop only copies the finished exchange and hands it over, and nothing of the run is
// kept in memory once it is on disk.
class CHarRunFile {
public:
    // The most bytes of exchanges waiting for the thread. The event loop never waits for the
    // disk: past this, an exchange goes in without its bodies' bytes (its entry says "body cut:
    // 0 of N bytes kept"); past a quarter more it is left out of the HAR. Either is told (onError)
    // as a fall-behind begins, and the HAR's log comment counts them.
    static constexpr std::size_t kMaxQueuedBytes = 64u << 20;

    // onError is called on the event loop of the thread that made the object.
    CHarRunFile(std::string path, std::function<void(const std::string&)> onError,
                std::size_t maxQueuedBytes = kMaxQueuedBytes);
    ~CHarRunFile(); // ends the thread; what was handed over and not saved is not saved

    CHarRunFile(const CHarRunFile&) = delete;
    CHarRunFile& operator=(const CHarRunFile&) = delete;

    // Makes the side file and starts the thread; false, with the reason, when it cannot.
    bool Open(std::string& error);
    // Hands a finished exchange over (a copy).
    void Add(const CExchange& exchange);
    // Asks for a save; returns at once. Saves asked for while one waits are that one.
    void Save();
    // Saves what was handed over and returns when it is on disk: false when it could not be.
    bool SaveNow();

private:
    struct SJob {
        std::unique_ptr<CExchange> exchange; // or, when null, a save
        std::size_t bytes = 0;
    };
    void Run();
    std::size_t Append(const CExchange& exchange); // the entry's size
    bool WriteHar();
    void Report(const std::string& message);
    std::string LeftOutText() const; // under m_Mutex

    std::string m_strPath;
    std::size_t m_nMaxQueuedBytes;
    std::function<void(const std::string&)> m_OnError;
    std::unique_ptr<QObject> m_pLoopContext; // where errors are told

    // Shared with the thread, under m_Mutex.
    std::mutex m_Mutex;
    std::condition_variable m_Wake;  // a job came, or the end
    std::condition_variable m_Idle;  // the queue is empty and no job runs
    std::deque<SJob> m_Queue;
    std::size_t m_nQueuedBytes = 0;
    bool m_bSaveQueued = false;
    bool m_bBusy = false;
    bool m_bStop = false;
    bool m_bLastSaveOk = true;
    std::uint64_t m_nBodiesLeftOut = 0;
    std::uint64_t m_nEntriesLeftOut = 0;
    bool m_bBehind = false; // told; told again once the queue has drained to half

    // The thread's own.
    int m_nSideFd = -1;
    std::uint64_t m_nSideBytes = 0;
    std::uint64_t m_nEntries = 0;
    bool m_bSideBroken = false; // an append failed: saves say so instead of losing entries quietly

    std::thread m_Thread;
};
