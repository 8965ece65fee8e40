#pragma once
// Where the process looks for the libraries it loads after start.

// Limits every later library load of the process, and the imports of what it loads, to the
// executable's own folder and System32, so that no folder of PATH or the current folder can supply
// one. A system without the call (Windows 7 before its loader update) keeps its search order.
void RestrictDllSearch();
