#pragma once

struct CCommandLine;

// kestrune --convert IN OUT: a session (.kestrune) or HAR (.har) file into a new file of the
// kind OUT's extension names. Returns the exit status: 0 converted, 2 (said why) not.
int RunConvert(const CCommandLine& options);
