#pragma once

// Which way a recorded chunk went: sent (browser to server) or received (server to browser).
// The values are the trace's own numbers; the log and the printed lines show only the words
// ("SEND", "RECIEVE").
enum class ETraceDirection { Sent = 0, Received = 1 };

// What a chunk was recorded as: the header part (a response's header chunk carries the body
// bytes read with it) or a body part.
enum class ETracePart { Header = 1, Body = 2 };
