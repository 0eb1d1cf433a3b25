#pragma once
#include <QObject>

#include <functional>
#include <memory>
#include <string>

class CSessionRun;
class CTraceApp;

// The window's "Record session to:": records the application's trace (records, finished
// exchanges, debug lines) into a session file, as a headless --session run does, while the
// name is set. Event loop only; the recording itself writes on a thread of its own.
class CSessionSwitch {
public:
    // Told on the loop whenever recording started, stopped or failed (to refresh what shows it).
    using Changed = std::function<void()>;
    CSessionSwitch(CTraceApp& app, Changed changed);
    ~CSessionSwitch(); // Stop()
    CSessionSwitch(const CSessionSwitch&) = delete;
    CSessionSwitch& operator=(const CSessionSwitch&) = delete;

    // Records into the file `name` from now on, a file of its own next to it when one of that
    // name exists (a recording never writes over a file); an empty name stops recording. The
    // same name again changes nothing. False with the reason when recording cannot start
    // (another Kestrune records into the file, the folder cannot be written...); recording is
    // then off.
    bool Apply(const std::string& name, std::string& error);
    // Keeps the exchanges still open as they stand, writes what waits and closes the file.
    void Stop();

    bool IsRecording() const;
    // The name last applied, and the file it records into (empty when not recording).
    const std::string& GetName() const { return m_strName; }
    const std::string& GetFile() const { return m_strFile; }

    // Where a recording asked for `name` goes: `name` when no file has it, else the first free
    // "base-N.ext" beside it; empty (with the reason) when another Kestrune records into it.
    static std::string ChooseFile(const std::string& name, std::string& error);

private:
    void Attach();
    void Detach();
    // A message from the recorder, brought to the loop.
    void OnReport(const std::string& message);

    CTraceApp& m_App;
    Changed m_Changed;
    QObject m_Context; // queued reports die with it (declared before the recording it outlives)
    std::unique_ptr<CSessionRun> m_pRun;
    std::string m_strName;
    std::string m_strFile;
    bool m_bToldFailure = false;
};
