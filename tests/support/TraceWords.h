#pragma once
#include "trace/TraceVocabulary.h"

// The records' vocabulary, short, for tests that build records by the dozen.
inline constexpr ETraceDirection kSent = ETraceDirection::Sent;
inline constexpr ETraceDirection kReceived = ETraceDirection::Received;
inline constexpr ETracePart kHeader = ETracePart::Header;
inline constexpr ETracePart kBody = ETracePart::Body;
