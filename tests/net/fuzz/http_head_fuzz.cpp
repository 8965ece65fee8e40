// A response head as a server might send it: unfolded, parsed, looked up and its status line
// formatted back.
#include "http_head.h"

#include <cstdint>
#include <string>

namespace {

void Check(bool condition) {
    if (!condition)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    CHtHead::UnfoldLines(text);
    CHtRespHead head;
    if (!head.Parse(text))
        return 0;
    Check(head.status >= 0);
    for (const HtHeaderField& field : head.fields) {
        std::string value;
        Check(head.GetField(field.name.c_str(), value) || field.name.find('\0') != std::string::npos);
    }
    std::string line;
    head.FormatFirstLine(line);
    CHtRespHead again;
    Check(again.ParseFirstLine(line.c_str()));
    Check(again.version == head.version && again.status == head.status && again.reason == head.reason);
    return 0;
}
