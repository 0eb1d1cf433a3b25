#pragma once
#include <string>

// Whether host names this machine without asking any resolver: "localhost" (and names under
// ".localhost"), a loopback or unspecified address, or an address of one of its interfaces.
// A name that needs a lookup is not local here.
bool IsLocalAddress(const std::string& host);
