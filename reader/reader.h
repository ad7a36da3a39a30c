// The link to the USB HID card reader/writer: device list, the one open
// handle, the 64-byte frame with its CRC-8, and the link commands.
// Plain functions over module state; 0 means success, -1 any failure.
#pragma once

#include <hidapi.h>

#include <cstdint>
#include <cwchar>

constexpr unsigned short kReaderVendorId = 0x1234;
constexpr unsigned short kReaderProductId = 0xABCD;
constexpr int kReportSize = 64;
constexpr uint8_t kReportId = 0x01;
constexpr uint8_t kFrameStart = 0xD1;
constexpr uint8_t kFrameEnd = 0xD2;
constexpr int kReadTimeoutMs = 1000;

// Request: id, start, command, length, data, crc, end.
constexpr int kMaxRequestData = kReportSize - 6;
// Response: id, start, command, status, length, data, crc, end.
constexpr int kMaxResponseData = kReportSize - 7;

constexpr uint8_t kCmdConnect = 0x01;
constexpr uint8_t kCmdHeartbeat = 0x02;
constexpr uint8_t kCmdPreRequest = 0x10;
constexpr uint8_t kCmdCardRequest = 0x14;
constexpr uint8_t kCmdAuthenticate = 0x15;
constexpr uint8_t kCmdReadBlock = 0x16;
constexpr uint8_t kCmdWriteBlock = 0x17;

// One attached reader, copied out of hidapi's enumeration. Every string is
// owned by the node and may be null.
struct ReaderDeviceInfo {
    char *path;
    wchar_t *manufacturer_string;
    wchar_t *product_string;
    wchar_t *serial_number;
    unsigned short release_number;
    ReaderDeviceInfo *next;
};

// What a passed transaction tells besides its data.
struct ReaderReply {
    uint8_t status;  // bit 0 set: the reader reports that the command failed
    int length;      // data bytes in the answer
};

// Told of every report the link writes and of every read that brings a
// report, times out or fails, in order: for a trace of the link. `report`
// is the 64 bytes written or read, `result` what hidapi returned (a byte
// count; 0 for a time-out and -1 for an error, when `report` means
// nothing), `ms` a monotonic time in milliseconds. Reads that find nothing
// waiting before a request are not told. Null, the default: nothing is.
enum ReaderFrameDirection { kFrameWritten, kFrameRead };
using ReaderFrameHook = void (*)(ReaderFrameDirection direction, const uint8_t *report, int result, long long ms);
void reader_set_frame_hook(ReaderFrameHook hook);

extern hid_device *reader_handle;
extern ReaderDeviceInfo *reader_device_list;

uint8_t reader_crc8(const uint8_t *data, int len);

ReaderDeviceInfo *reader_list_devices();
void reader_free_devices(ReaderDeviceInfo *list);

int reader_open(const char *path);
int reader_close();

// One request/response exchange. The answer's data are copied to the start
// of `response` (which may be null when the caller ignores them); an answer
// with more data than `response_size` fails. `reply` may be null.
int reader_transact(uint8_t command, const uint8_t *request, int request_len,
                    uint8_t *response, int response_size, ReaderReply *reply);

int reader_cmd_connect();
int reader_cmd_heartbeat();
int reader_cmd_pre_request();
