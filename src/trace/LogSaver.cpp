#include "trace/LogSaver.h"

#include "platform/MessageBox.h"
#include "trace/LogSaveJob.h"
#include "trace/TraceStore.h"

bool SaveAndClear(CTraceStore& store, const std::string& logFileName,
                  const std::function<void()>& clearAllData)
{
    CLogSaveJob job(store);
    if (!job.Begin(logFileName))
        return false;
    // One buffered pass: a save of many rows costs a few writes, not one flush per row.
    job.Run();
    return ConcludeSave(job.Succeeded(), [&] {
        if (clearAllData)
            clearAllData();
        else
            store.PurgeClosedConnections();
    });
}

bool ConcludeSave(bool written, const std::function<void()>& clearAllData,
                  const std::string& fileName)
{
    if (!written) {
        ShowMessageBox("Error during log write command");
        return false;
    }
    if (clearAllData)
        clearAllData();
    ShowMessageBox((fileName.empty() ? std::string("Kestrune") : fileName)
                   + " written and cleared.");
    return true;
}
