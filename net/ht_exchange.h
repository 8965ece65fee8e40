#pragma once
// The working state of one CHtClient::Request, shared by its sending and its receiving half.
#include "disk_file.h"
#include "grow_buf.h"
#include "ht_client.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

template <class TSocket> struct CHtClient<TSocket>::CExchange {
    std::string head;     // the request head, later the response head
    std::string form;     // the URL-encoded form body
    std::string boundary; // the multipart delimiter, without its leading "--"
    // The length of each file part with data, as the head announced it.
    std::vector<uint64_t> fileLengths;
    CGrowBuf scratch;
    // The file in use: an upload being sent, or the output file.
    std::unique_ptr<CDiskFile> file;
    uint64_t counterShare = 0; // bytes this request added to the traffic counter
    int64_t bodyBytes = 0;     // bytes written to the output file
    bool close = false;        // end the connection after this request
};
