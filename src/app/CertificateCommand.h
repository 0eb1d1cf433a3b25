#pragma once
#include "app/CommandLine.h"

// --new-ca and --export-ca FILE: make a new root certificate and/or write the root (made on first
// use) in PEM to FILE, saying what was done on stderr. Returns the exit status (0 on success).
int RunCertificateCommand(const CCommandLine& options);
