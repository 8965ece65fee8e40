#pragma once
// The product's data folder under the common application-data folder, where the update file is
// stored. Any user may create objects there, so the service writes only into a folder it made itself
// and knows by the identity it recorded when it made it.
#include "win_api.h"

#include <string>

extern std::wstring g_DataFolder; // always ends in a backslash once created

// The value of HKLM "Software\<product>" that holds the folder's identity (REG_BINARY, a FILE_ID_INFO:
// volume serial number and file id). Only administrators and SYSTEM can write there.
extern const wchar_t kDataFolderIdentityValue[];

// Fills g_DataFolder and makes the folder the service's own; false only when the common
// application-data folder is unknown.
bool CreateDataFolder();
void EnsureDataFolderSlash();

// The data folder (g_DataFolder) held open while the service writes into it.
class CDataFolderLock {
  public:
    CDataFolderLock() = default;
    ~CDataFolderLock();
    CDataFolderLock(const CDataFolderLock&) = delete;
    CDataFolderLock& operator=(const CDataFolderLock&) = delete;

    // Uses the object in the folder's place only when it is a real folder whose identity is the recorded one.
    // Anything else there (a folder someone else made, whatever its descriptor, a file, a link) is renamed,
    // untouched, to a new name beside it; then a new folder is made, never through a link, with
    // Administrators as owner and the protected DACL, and its identity is recorded. False when the object in
    // place cannot be moved, the new folder cannot be made (something took the path meanwhile) or
    // recorded, or the descriptor cannot be set. Called once per object.
    bool Acquire();

  private:
    HANDLE m_folder = INVALID_HANDLE_VALUE;
};
