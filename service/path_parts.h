#pragma once
// Pointers into the caller's string, never copies.

// The text after the last backslash; the whole path when it has none.
const wchar_t* PathFileNamePart(const wchar_t* path);

// The text after the last dot, unless that dot opens the name; otherwise the terminator (an empty
// extension). It does not stop at a backslash: apply it to PathFileNamePart's result.
const wchar_t* PathExtensionPart(const wchar_t* name);
