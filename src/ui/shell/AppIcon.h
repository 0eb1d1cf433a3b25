#pragma once
#include <QIcon>

// The program's icon, in every size it is drawn at (from the resources built into the program).
QIcon AppIcon();
