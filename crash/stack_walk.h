#pragma once
// The call stack of a crash: walked from the exception's context with the debug-help library and
// turned into module-relative logical addresses (section and offset in the section).
#include <windows.h>

#include <cstddef>
#include <cstdint>

struct StackFrameRecord {
    uint64_t programCounter;
    uint64_t frameAddress;
    uint32_t section;             // 1-based PE section holding the program counter; 0 when none
    uint32_t offset;              // from the start of that section; 0 when none
    wchar_t modulePath[MAX_PATH]; // empty when the address lies in no module
};

// Frame records in walk order, innermost first. The records live in pages of their own rather
// than on the heap, which may be what crashed; a walk that runs away stops at kMaxFrames.
class CFrameList {
  public:
    static const size_t kMaxFrames = 16384;

    CFrameList() = default;
    CFrameList(const CFrameList&) = delete;
    CFrameList& operator=(const CFrameList&) = delete;
    ~CFrameList();

    // A zeroed record at the end of the list; null when the list is full or no memory is left.
    StackFrameRecord* Append();
    size_t Count() const { return m_count; }
    const StackFrameRecord& operator[](size_t index) const { return m_records[index]; }

  private:
    StackFrameRecord* m_records = nullptr; // kMaxFrames reserved, committed as the list grows
    size_t m_count = 0;
    size_t m_committed = 0; // records
};

// Appends one record per frame; context is the exception's own and is advanced by the walk.
// Without dbghelp.dll, one of its exports or a symbol handler nothing is appended.
void WalkStack(CONTEXT* context, CFrameList& frames);
// WalkStack inside a guard: an exception ends the walk, and the records found so far stay.
void WalkStackGuarded(CONTEXT* context, CFrameList& frames);

// Finds the module and section holding address. path (MAX_PATH units) receives the module's path
// when the address lies in a module, and is left alone otherwise; section and offset are written
// only when a section holds the address (true). The end of a section counts as inside it.
bool GetLogicalAddress(const void* address, wchar_t* path, uint32_t* section, uint32_t* offset);
