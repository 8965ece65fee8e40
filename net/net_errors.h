#pragma once
// Error codes of the transport, thrown as a 32-bit long: category in the high half, detail in the
// low half. 0 means the socket was cancelled.

const long kNetCancelled = 0;

// Operation numbers; 0x20000 | operation is the code when Winsock's error is not one of the known
// ones (see MapSocketError).
enum SocketOperation : unsigned short {
    kOpLookup = 1,
    kOpCreate = 2,
    kOpConnect = 3,
    kOpTimeout = 4,
    kOpSelect = 5,
    kOpSend = 6,
    kOpPeerClosed = 7,
    kOpReceive = 8,
};

const long kWinsockErrorBase = 0x10000;
const long kSocketErrorBase = 0x20000;
const long kErrLookupFailed = kSocketErrorBase | kOpLookup;
const long kErrConnect = kSocketErrorBase | kOpConnect;
const long kErrTimeout = kSocketErrorBase | kOpTimeout;
const long kErrSend = kSocketErrorBase | kOpSend;
const long kErrPeerClosed = kSocketErrorBase | kOpPeerClosed;
const long kErrReceive = kSocketErrorBase | kOpReceive;

const long kTlsErrorBase = 0x30000;
const long kErrTlsSetup = kTlsErrorBase | 1;
const long kErrTlsClosed = kTlsErrorBase | 2;
const long kErrTlsSyscall = kTlsErrorBase | 3;
const long kErrTlsProtocol = kTlsErrorBase | 4;

// A response line or head longer than the line reader accepts.
const long kErrHeadTooLong = 0x80008;

// The HTTP exchange.
const long kErrProxyCredentials = 0x80001; // the proxy's Basic credentials cannot be made
const long kErrUploadMissing = 0x80003;    // an upload file cannot be opened or sized before sending
const long kErrBadResponseHead = 0x80004;
const long kErrBadChunk = 0x80005;         // a chunk-size line, or the line after a chunk's data
const long kErrBadContentLength = 0x80006;
const long kErrFile = 0x80007;             // the output file or an upload file failed while in use
const long kErrBodyTooLarge = 0x80009;     // a body beyond the client's body limit
const long kErrBadTransferCoding = 0x8000A; // a Transfer-Encoding whose last coding is not chunked

// A final status other than 200: 0x70000 | HttpStatusToIndex(status).
const long kErrHttpStatusBase = 0x70000;

// URLs and redirects of a GET.
const long kErrBadUrl = 0x90001;
const long kErrBadRedirectUrl = 0x90002;
const long kErrTooManyRedirects = 0x90003;
const long kErrNoLocation = 0x90004;
const long kErrBadLocation = 0x90005;
