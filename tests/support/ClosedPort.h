#pragma once

// A loopback port on which nothing listens, for the whole test run: a socket holds it bound and
// never listens, so a connect there is refused and no other program (another test process
// binding port 0) can be given it meanwhile. A port probed and let go could be handed to such a
// program, whose listener would then take a connection meant to fail.
int ClosedPort();
