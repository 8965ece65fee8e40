#pragma once
// Lines of a crash report: UTF-16 text, each ended by carriage return and line feed.
#include <string>

class CDiskFile;

// Writes the line's units (no terminator) and then CR LF; a write failure throws
// CDiskFileException* as CDiskFile::Write does.
void WriteReportLine(const std::wstring& line, CDiskFile& file);

// Formats into line, reusing its capacity: a report is written while the process is failing, and
// its heap may be what failed. Only a line longer than the capacity costs an allocation.
void FormatReportLine(std::wstring& line, const wchar_t* format, ...);

// Capacity to reserve for FormatReportLine: a module path (260 units) with its version numbers or
// its frame columns fits.
const size_t kReportLineCapacity = 640;
