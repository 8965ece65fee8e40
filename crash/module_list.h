#pragma once
// The loaded-modules section of a crash report: one line per module of the process snapshot with
// its version numbers, base address and size.

class CDiskFile;

// Writes "Loaded modules:" and the module lines; without the snapshot functions or a snapshot it
// writes nothing. A write failure throws CDiskFileException* as CDiskFile::Write does.
void WriteModuleList(CDiskFile& file);
// WriteModuleList inside a guard: any exception ends the section, and the report goes on.
void WriteModuleListGuarded(CDiskFile& file);
