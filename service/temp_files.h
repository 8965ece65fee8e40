#pragma once
#include <string>

// Creates a new empty file "AUM<hex counter>.tmp" in the temporary folder, taking the next counter
// value while a file or folder of that name exists, and puts its full path into out. The file
// stays on disk for the caller to fill and delete. False (out unchanged) when the temporary
// folder is unknown or a file cannot be created there.
bool CreateUniqueTempFile(std::wstring& out);

// True when the path exists and is a folder.
bool IsDirectory(const wchar_t* path);
