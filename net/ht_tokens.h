#pragma once
// Small text helpers of the HTTP client: header value tokens, the proxy's Basic authorization and
// the error detail of an HTTP status.
#include <cstdint>
#include <string>
#include <vector>

// The trimmed, non-empty pieces of text between delimiters.
void SplitString(const std::string& text, std::vector<std::string>& tokens, char delimiter);
// Strips blanks, tabs, CRs and LFs from both ends.
void TrimString(std::string& text);
// "Basic " and the Base64 of "user:password" in UTF-8; false when either is not valid UTF-16.
bool MakeBasicAuth(const wchar_t* user, const wchar_t* password, std::string& value);
// 1 to 16 for 400 to 415, 17 to 22 for 500 to 505, 23 for any other status.
int32_t HttpStatusToIndex(int32_t status);
