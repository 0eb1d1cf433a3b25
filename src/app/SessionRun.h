#pragma once
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class CExchange;
class CSessionRecorder;
class CTraceApp;
class CTraceRecord;
class CTraceStore;
struct CCommandLine;

// The headless run's session file (--session): the recording, and the run's description that
// opens it. Event loop only; the recorder writes on a thread of its own.
class CSessionRun {
public:
    CSessionRun();
    ~CSessionRun();
    CSessionRun(const CSessionRun&) = delete;
    CSessionRun& operator=(const CSessionRun&) = delete;

    // Starts recording into a new file; false with the reason. `report` is told, on the
    // writer's thread, why recording stopped.
    // queueBytes: the most that may wait for the writer.
    bool Start(const std::string& path, const CTraceApp& app, const CCommandLine& options,
               std::function<void(const std::string&)> report, std::string& error,
               std::size_t queueBytes);
    void AddRecord(const CTraceRecord& record);
    // takable: see CSessionRecorder::AddExchange.
    void AddExchange(const CExchange& exchange, CExchange* takable = nullptr);
    void AddDebugLine(const std::string& text);
    // The end of the run: the exchanges still open are kept as they stand, then everything
    // waiting is written.
    void Finish(const CTraceStore& store);
    // Started, and no write has failed since.
    bool IsRecording() const;

    // The run's description: version, start, and the settings in force, never a secret (no
    // upstream user or password, no key).
    static std::vector<std::pair<std::string, std::string>> Describe(const CTraceApp& app,
                                                                     const CCommandLine& options);

private:
    std::unique_ptr<CSessionRecorder> m_pRecorder;
};
