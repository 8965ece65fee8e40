#pragma once
// Process-wide start-up and clean-up of Winsock, called by the process entry only.

// Asks for Winsock 1.1 and accepts nothing else; false when it cannot be had.
bool InitWinsock();
void CleanupWinsock();
