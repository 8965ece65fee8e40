#pragma once
// The service's one file class: a thin owner of a Win32 file handle. Every failing operation
// throws a heap-allocated CDiskFileException*; the catcher deletes it.
#include "win_api.h"

#include <cstdint>

class CDiskFileException {
  public:
    explicit CDiskFileException(uint32_t error) : m_error(error) {}
    uint32_t Error() const { return m_error; }

  private:
    uint32_t m_error;
};

// Mode word of CDiskFile::Open; bits not named here are ignored.
// Access, mode & 0x7: 3 to 7 open the file without data access.
// Sharing, mode & 0x70: any value other than the three below lets no one else in.
// Disposition: without kDiskFileCreate the file must exist; kDiskFileCreate alone truncates an
// existing file; with kDiskFileNoTruncate as well an existing file is kept as it is;
// kDiskFileCreateNew fails when anything, a link included, already has the name.
enum : uint32_t {
    kDiskFileRead = 0x0,
    kDiskFileWrite = 0x1,
    kDiskFileReadWrite = 0x2,
    kDiskFileShareRead = 0x20,
    kDiskFileShareWrite = 0x30,
    kDiskFileShareReadWrite = 0x40,
    kDiskFileNoInherit = 0x80,
    kDiskFileCreate = 0x1000,
    kDiskFileNoTruncate = 0x2000,
    kDiskFileCreateNew = 0x4000,
    kDiskFileNoBuffering = 0x10000,
    kDiskFileWriteThrough = 0x20000,
    kDiskFileRandomAccess = 0x40000,
    kDiskFileSequentialScan = 0x80000,
};

class CDiskFile {
  public:
    CDiskFile() = default;
    CDiskFile(const CDiskFile&) = delete;
    CDiskFile& operator=(const CDiskFile&) = delete;

    virtual int64_t GetPosition();
    virtual void Open(const wchar_t* path, uint32_t mode);
    // origin: 0 begin, 1 current, 2 end, as SetFilePointer takes it.
    virtual int64_t Seek(int64_t offset, uint32_t origin);
    virtual void SetLength(int64_t length);
    virtual uint64_t GetLength();
    // Fewer bytes than asked only at the end of the file; 0 there.
    virtual uint32_t Read(void* buffer, uint32_t count);
    // A short write throws ERROR_HANDLE_DISK_FULL.
    virtual void Write(const void* buffer, uint32_t count);
    virtual void Flush();
    // Never throws; false only when CloseHandle failed. The object can be opened again.
    virtual bool Close();
    virtual ~CDiskFile();

  protected:
    HANDLE m_handle = INVALID_HANDLE_VALUE;
    uint32_t m_open = 0;
};
