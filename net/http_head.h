#pragma once
// The status line and the ordered fields of an HTTP head; field look-ups ignore ASCII case.
#include <cstdint>
#include <list>
#include <string>

struct HtHeaderField {
    std::string name;
    std::string value;
};

typedef std::list<HtHeaderField> HtHeaderFieldList;

class CHtHead {
  public:
    // Joins continuation lines (a CR LF followed by a blank or a tab) in place.
    static void UnfoldLines(std::string& head);
    // False when the start line is rejected or a field line has no colon.
    bool Parse(const std::string& head);
    // Stops at the empty line that ends the head.
    static bool ParseFields(const std::string& head, size_t start, HtHeaderFieldList& fields);
    bool GetField(const char* name, std::string& value) const;
    // The first field of that name; value is untouched when there is none.
    static bool FindField(const HtHeaderFieldList& fields, const char* name, std::string& value);

    virtual bool ParseFirstLine(const char* line) = 0;
    virtual void FormatFirstLine(std::string& line) const = 0;

    HtHeaderFieldList fields;

  protected:
    CHtHead() = default;
    // Not virtual: a head is a member of its client, never deleted through this base.
    ~CHtHead() = default;
};

class CHtRespHead : public CHtHead {
  public:
    bool ParseFirstLine(const char* line) override;
    void FormatFirstLine(std::string& line) const override;

    uint32_t version = 0; // major << 16 | minor
    int32_t status = 0;
    std::string reason;
};

// Replaces every occurrence of from, scanning on after each replacement (never inside it).
void StrReplaceAll(std::string& text, const char* from, const char* to);
