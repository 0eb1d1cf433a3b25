#pragma once
#include <string>
#include <string_view>

class CTraceRecord;

// How a headless run prints its record lines on stdout.
enum class RecordFormat { Text, Json };

// One record as one line, ending in "\n": tab-separated text (direction, id, time, bytes,
// summary) or one JSON object.
std::string FormatRecordLine(const CTraceRecord& record, RecordFormat format);

// Appends bytes as the contents of a JSON string (without the quotes). Well-formed UTF-8 is
// kept; a byte that is not part of a well-formed UTF-8 sequence becomes \u00XX (its Latin-1
// reading), so the output is always valid UTF-8 and every byte's value is kept.
void AppendJsonStringBody(std::string& out, std::string_view bytes);
