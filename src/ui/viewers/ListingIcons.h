#pragma once
#include <QIcon>

// The two 16 x 16 row icons of the Listing: a record sent to a server, a record received.
QIcon MakeSentIcon();
QIcon MakeReceivedIcon();
