// The reader on an emulated /dev/hidraw0, for programs that run unmodified on
// the system hidapi. A umockdev testbed holds the device description (sysfs
// and udev), answers the ioctls hidapi-hidraw makes on open, hands every
// report the program writes to the virtual reader and card, and sends each
// answer back as one 64-byte report through the node's pty: poll() and read()
// wait as on a device, and a missing answer is a real 1000 ms time-out.
//
// The program is started with environment() so that umockdev's preload
// library diverts /sys and /dev into the testbed.
#pragma once

#include "trace_replay.h"
#include "virtual_reader.h"

#include <hidapi.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct _UMockdevTestbed;
struct _UMockdevIoctlBase;
struct _UMockdevIoctlClient;

class ReaderNode {
public:
    static constexpr const char *kDevNode = "/dev/hidraw0";

    ReaderNode();
    ~ReaderNode();
    ReaderNode(const ReaderNode &) = delete;
    ReaderNode &operator=(const ReaderNode &) = delete;

    // Builds the testbed from a umockdev device description. False, with the
    // reason, where umockdev cannot run here.
    bool start(const std::string &descriptionFile, std::string *why);

    // What a program needs to see the testbed: LD_PRELOAD (umockdev's preload
    // library, then `extraPreload` if any) and UMOCKDEV_DIR.
    std::vector<std::pair<std::string, std::string>> environment(const std::string &extraPreload = {}) const;

    // Starts a program with environment() added to this process's own.
    pid_t spawn(const std::vector<std::string> &argv) const;
    // Whether a program started so sees the node; false, with the reason, if not.
    bool preloadTakes(std::string *why) const;

    // Runs `f` on the virtual reader while no report is being served: the
    // node serves on umockdev's worker thread.
    template <class F>
    auto with(F f)
    {
        std::lock_guard<std::mutex> guard(mMutex);
        return f(*mReader);
    }

    // The answer to the next request with this command is held back until
    // the request after it has come in, and then goes out just before that
    // request's own answer: it is late, and arrives after the next request.
    void holdAnswer(uint8_t command);

    // Unplugs the reader: the device leaves the testbed, an open node hangs
    // up (poll reports POLLHUP), and writes fail with ENODEV.
    void unplug();

    // From now on the reader answers as `traceFile` recorded it (see
    // trace_replay.h) instead of as the virtual reader would. False, with
    // the reason, when the trace cannot be read.
    bool replay(const std::string &traceFile, std::string *why);
    // Once the program has ended: how its requests left the trace, or empty
    // when they followed it to its end (TraceReplay::verdict).
    std::string replayVerdict() const;

    // Requests that no handler knows: they got ENOTTY.
    std::vector<unsigned long> unknownIoctls() const;

private:
    static int onIoctl(_UMockdevIoctlBase *, _UMockdevIoctlClient *client, void *self);
    static int onWrite(_UMockdevIoctlBase *, _UMockdevIoctlClient *client, void *self);
    bool loadIdentity(const std::string &descriptionFile, std::string *why);
    void sendAll(const std::vector<virtual_reader::Report> &reports);
    void send(const virtual_reader::Report &report);
    void hangUp();

    mutable std::mutex mMutex;
    _UMockdevTestbed *mTestbed = nullptr;
    _UMockdevIoctlBase *mHandler = nullptr;
    int mPty = -1;                   // the node's pty master
    std::string mUsbDevice;          // sysfs path of the USB device, the top of the reader
    virtual_reader::Reader *mReader = nullptr;
    hid_device *mDevice = nullptr;  // the virtual reader, opened
    bool mPlugged = false;
    std::optional<uint8_t> mHoldCommand;
    std::optional<virtual_reader::Report> mHeld;
    std::vector<std::thread> mLater;  // reports that follow the first of a burst
    std::vector<unsigned long> mUnknownIoctls;
    std::unique_ptr<TraceReplay> mReplay;

    // From the description: what the ioctls report.
    std::vector<uint8_t> mReportDescriptor;
    std::string mName, mPhys, mUniq;
    uint16_t mVendor = 0, mProduct = 0;
};
