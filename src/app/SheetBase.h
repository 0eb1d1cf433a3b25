#pragma once

// What the application object needs of the window: the program-wide Clear Data operation.
// CMainPropSheet implements it; a headless run has no sheet.
class CSheetBase {
public:
    virtual ~CSheetBase() = default;
    virtual void ClearAllData() = 0;
};
