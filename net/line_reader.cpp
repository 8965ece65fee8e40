#include "line_reader.h"

#include "net_errors.h"

void ReadHeadLine(HtLineReader& reader, std::string& line) {
    line.clear();
    for (;;) {
        if (reader.position >= reader.filled) {
            reader.filled = reader.connection->Receive(reader.buffer, kLineReaderBufferSize);
            reader.position = 0;
        }
        uint8_t c = reader.buffer[reader.position++];
        if (c == '\n')
            break;
        if (line.size() >= kMaxHeadLine)
            throw kErrHeadTooLong;
        line.push_back(c == 0 ? '^' : static_cast<char>(c));
    }
    if (line.empty() || line.back() != '\r')
        line.push_back('\r');
    line.push_back('\n');
}

void ReadHead(HtLineReader& reader, std::string& head) {
    head.clear();
    std::string line;
    do {
        ReadHeadLine(reader, line);
        if (head.size() + line.size() > kMaxHeadSize)
            throw kErrHeadTooLong;
        head += line;
    } while (line != "\r\n");
}
