#pragma once

class CTraceApp;
class CMainPropSheet;

// The program with its window: display check, QApplication, message boxes, the application
// object, the sheet and the event loop, then the application's shutdown order. Returns the
// exit code; without a display it explains the headless mode and returns non-zero.
int RunWindowApp(int argc, char** argv);

// True when a windowing system can be reached (or a Qt platform is named explicitly). A local
// X display named in DISPLAY must accept a connection.
bool HasDisplay();

// Start-up with an existing QApplication, in the application's order: settings key and trace
// store, the sheet (whose Setup page applies the stored settings and listens), then the second
// start of listening. Returns the sheet (owned by app), or null when it could not be made.
CMainPropSheet* InitWindowInstance(CTraceApp& app);

// Shows a message the way every message of the program looks: caption "Kestrune", warning
// icon, OK only, in front of the other windows.
void ShowWarningBox(const char* text, int length);
