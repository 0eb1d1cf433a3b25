#pragma once
#include <functional>
#include <string>

class CTraceStore;

// Save and Clear: appends every record not yet written to the log file named by the user,
// then clears all captured data. Every outcome is reported through ShowMessageBox.
// Returns true when every row was written.
//
// When a row cannot be written, nothing is cleared: the records that were not saved stay in
// the store so that they can still be saved (the rows already written stay marked).
bool SaveAndClear(CTraceStore& store, const std::string& logFileName,
                  const std::function<void()>& clearAllData);

// The end of a save whose rows are written (see CLogSaveJob): when all were, clears
// (clearAllData) and says "Kestrune written and cleared." (with a fileName, the file's name
// takes Kestrune's place: a line on stderr names what it wrote); otherwise says the write
// failed and clears nothing. Returns written.
bool ConcludeSave(bool written, const std::function<void()>& clearAllData,
                  const std::string& fileName = {});
