#include "reader.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>

hid_device *reader_handle = nullptr;
ReaderDeviceInfo *reader_device_list = nullptr;

// Answers already waiting when a request goes out belong to an earlier
// exchange, and so do answers to other commands read while waiting for this
// one; a reader that keeps sending reports is not read forever.
static const int kMaxStaleReports = 16;

uint8_t reader_crc8(const uint8_t *data, int len)
{
    uint8_t crc = 0x00;
    for (int i = 0; i < len; i++) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; bit++)
            crc = (crc & 0x80) ? static_cast<uint8_t>((crc << 1) ^ 0x07) : static_cast<uint8_t>(crc << 1);
    }
    return crc;
}

static char *copy_string(const char *s)
{
    if (!s)
        return nullptr;
    size_t size = strlen(s) + 1;
    char *copy = static_cast<char *>(malloc(size));
    if (copy)
        memcpy(copy, s, size);
    return copy;
}

static wchar_t *copy_wide_string(const wchar_t *s)
{
    if (!s)
        return nullptr;
    size_t size = (wcslen(s) + 1) * sizeof(wchar_t);
    wchar_t *copy = static_cast<wchar_t *>(malloc(size));
    if (copy)
        memcpy(copy, s, size);
    return copy;
}

static void free_device_nodes(ReaderDeviceInfo *list)
{
    while (list) {
        ReaderDeviceInfo *next = list->next;
        free(list->path);
        free(list->manufacturer_string);
        free(list->product_string);
        free(list->serial_number);
        free(list);
        list = next;
    }
}

ReaderDeviceInfo *reader_list_devices()
{
    hid_init();
    free_device_nodes(reader_device_list);
    reader_device_list = nullptr;

    hid_device_info *found = hid_enumerate(kReaderVendorId, kReaderProductId);
    ReaderDeviceInfo *head = nullptr;
    ReaderDeviceInfo **tail = &head;
    for (const hid_device_info *dev = found; dev; dev = dev->next) {
        auto *node = static_cast<ReaderDeviceInfo *>(calloc(1, sizeof(ReaderDeviceInfo)));
        if (!node)
            break;
        node->path = copy_string(dev->path);
        node->manufacturer_string = copy_wide_string(dev->manufacturer_string);
        node->product_string = copy_wide_string(dev->product_string);
        node->serial_number = copy_wide_string(dev->serial_number);
        node->release_number = dev->release_number;
        *tail = node;
        tail = &node->next;
    }
    hid_free_enumeration(found);

    reader_device_list = head;
    return head;
}

void reader_free_devices(ReaderDeviceInfo *list)
{
    free_device_nodes(list);
    reader_device_list = nullptr;
}

int reader_open(const char *path)
{
    reader_handle = hid_open_path(path);
    return reader_handle ? 0 : -1;
}

int reader_close()
{
    if (reader_handle) {
        hid_close(reader_handle);
        reader_handle = nullptr;
    }
    return 0;
}

static ReaderFrameHook frame_hook = nullptr;

void reader_set_frame_hook(ReaderFrameHook hook)
{
    frame_hook = hook;
}

static long long monotonic_ms();

// A read tells only the bytes it brought: the rest of its buffer holds what
// the stack held before, a request's key perhaps.
static void tell_frame(ReaderFrameDirection direction, const uint8_t *report, int result)
{
    if (!frame_hook)
        return;
    uint8_t told[kReportSize] = {};
    const int defined = direction == kFrameWritten ? kReportSize : result;
    if (defined > 0)
        memcpy(told, report, defined < kReportSize ? defined : kReportSize);
    frame_hook(direction, told, result, monotonic_ms());
}

// Reads away the reports that are already waiting, so that an answer which
// came after its time-out is not taken for the answer to the next request.
static int discard_stale_reports()
{
    uint8_t stale[kReportSize];
    for (int i = 0; i < kMaxStaleReports; i++) {
        int res = hid_read_timeout(reader_handle, stale, kReportSize, 0);
        if (res != 0)
            tell_frame(kFrameRead, stale, res);
        if (res < 0)
            return -1;
        if (res == 0)
            return 0;
    }
    return 0;
}

static int send_request(uint8_t command, const uint8_t *request, int request_len)
{
    uint8_t report[kReportSize] = {};
    report[0] = kReportId;
    report[1] = kFrameStart;
    report[2] = command;
    report[3] = static_cast<uint8_t>(request_len);
    if (request_len > 0)
        memcpy(&report[4], request, request_len);
    report[4 + request_len] = reader_crc8(&report[1], request_len + 3);
    report[5 + request_len] = kFrameEnd;
    const int res = hid_write(reader_handle, report, kReportSize);
    tell_frame(kFrameWritten, report, res);
    return res > 0 ? 0 : -1;
}

// The data length of a well-formed answer frame (markers where its length
// puts them, checksum right), or -1.
static int frame_length(const uint8_t *answer)
{
    if (answer[1] != kFrameStart)
        return -1;
    int length = answer[4];
    if (length > kMaxResponseData)
        return -1;
    if (answer[6 + length] != kFrameEnd)
        return -1;
    if (reader_crc8(&answer[1], length + 4) != answer[5 + length])
        return -1;
    return length;
}

// Milliseconds on a monotonic clock. The coarse clock, where there is one,
// is exact to a few milliseconds, enough for a 1000 ms budget, and costs a
// fifth of the precise one on every transaction.
static long long monotonic_ms()
{
#ifdef CLOCK_MONOTONIC_COARSE
    timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
#else
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
#endif
}

// Reads the answer to `command` into `answer`; returns its data length, or
// -1 when the read times out or fails or the frame is malformed.
//
// Late answers, which come after their own transaction gave up, heal so:
// - one already waiting when the next request goes out is drained before
//   that request (discard_stale_reports);
// - one that comes after the next request went out, ahead of that request's
//   own answer, is set aside here when it is a well-formed frame that echoes
//   another command: the read goes on, within what is left of this
//   transaction's 1000 ms and past at most kMaxStaleReports such frames, and
//   the transaction is judged on the next report.
// What does not heal: a late answer that echoes this same command cannot be
// told from the own answer and is taken for it (the own answer is then
// drained before the next request); a malformed report fails the
// transaction at once, as does running out of time.
static int read_answer(uint8_t command, uint8_t *answer)
{
    const long long deadline = monotonic_ms() + kReadTimeoutMs;
    int timeout = kReadTimeoutMs;
    for (int set_aside = 0;; set_aside++) {
        memset(answer, 0, kReportSize);
        const int res = hid_read_timeout(reader_handle, answer, kReportSize, timeout);
        tell_frame(kFrameRead, answer, res);
        if (res <= 0)
            return -1;
        const int length = frame_length(answer);
        if (length < 0 || answer[2] == command || set_aside == kMaxStaleReports)
            return length;
        const long long left = deadline - monotonic_ms();
        timeout = left > 0 ? static_cast<int>(left) : 0;
    }
}

int reader_transact(uint8_t command, const uint8_t *request, int request_len,
                    uint8_t *response, int response_size, ReaderReply *reply)
{
    if (!reader_handle || request_len < 0 || request_len > kMaxRequestData || (request_len > 0 && !request))
        return -1;
    if (discard_stale_reports() < 0)
        return -1;
    if (send_request(command, request, request_len) < 0)
        return -1;

    uint8_t answer[kReportSize];
    const int length = read_answer(command, answer);
    if (length < 0)
        return -1;
    if (response && length > response_size)
        return -1;
    if (answer[2] != command)
        return -1;

    if (response && length > 0)
        memcpy(response, &answer[5], length);
    if (reply) {
        reply->status = answer[3];
        reply->length = length;
    }
    return 0;
}

int reader_cmd_connect()
{
    return reader_transact(kCmdConnect, nullptr, 0, nullptr, 0, nullptr);
}

int reader_cmd_heartbeat()
{
    return reader_transact(kCmdHeartbeat, nullptr, 0, nullptr, 0, nullptr);
}

int reader_cmd_pre_request()
{
    return reader_transact(kCmdPreRequest, nullptr, 0, nullptr, 0, nullptr);
}
