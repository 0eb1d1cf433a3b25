#pragma once
#include "session/SessionBatch.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

class CTraceApp;
class CTraceStore;

// "Save Session..." while the window and the relay go on: what the trace holds when the save
// starts is copied from the store in slices between events, and a thread of its own writes the
// copies into a new file beside the chosen one, which then takes its place. Entries, records
// and exchanges are found again by their numbers at each slice, so a purge or a clear meanwhile
// only leaves out what went. At most two batches wait for the disk; the copying pauses then.
class CSessionSaveJob : public QObject {
    Q_OBJECT
public:
    CSessionSaveJob(const CTraceApp& app, std::string path, QObject* parent = nullptr);
    // A save still under way is given up and its file removed.
    ~CSessionSaveJob() override;

    // False with the reason when the save cannot begin.
    bool Start(std::string& error);
    // Gives up: finished(false, "") follows.
    void Cancel();
    bool IsRunning() const { return m_bRunning; }
    // Records and exchanges copied so far, of those the trace held at the start.
    std::uint64_t GetCopied() const { return m_nCopied; }
    std::uint64_t GetTotal() const { return m_nTotal; }

signals:
    // Once: saved, or not with the reason (empty when cancelled).
    void finished(bool saved, const QString& error);

private:
    // What one slice has copied: it ends by its bytes or its time.
    struct SSlice {
        QElapsedTimer clock;
        std::size_t bytes = 0;
        bool IsFull() const;
    };
    void CopySlice();
    // True when every one is copied; false when the slice is full first.
    bool CopyRecords(const CTraceStore& store, SSessionBatch& batch, SSlice& slice);
    bool CopyExchanges(const CTraceStore& store, SSessionBatch& batch, SSlice& slice);
    void Push(SSessionBatch batch, bool last);
    void WriteAll(std::string temp); // the writer thread
    void OnWritten(bool written, const std::string& error);
    void StopWriter();

    const CTraceApp& m_App;
    std::string m_strPath;
    std::string m_strTemp;
    bool m_bRunning = false;
    QTimer m_SliceTimer;

    // Where the copying stands: the entry of that number (or the next one) at that record.
    int m_nEntry = 0;
    std::size_t m_nRecord = 0;
    int m_nLastEntry = 0;
    std::uint64_t m_nExchange = 0; // the last exchange copied
    std::uint64_t m_nLastExchange = 0;
    bool m_bFirstBatch = true;
    std::uint64_t m_nCopied = 0;
    std::uint64_t m_nTotal = 0;

    std::mutex m_Mutex;
    std::condition_variable m_Wake;
    std::deque<SSessionBatch> m_Queue; // guarded
    bool m_bLastQueued = false;        // guarded
    bool m_bStop = false;              // guarded
    bool m_bWriteFailed = false;       // guarded
    std::thread m_Writer;
};
