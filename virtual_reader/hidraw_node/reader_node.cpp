#include "reader_node.h"

#include <umockdev.h>

#include <fcntl.h>
#include <linux/hidraw.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <fstream>

namespace vr = virtual_reader;

namespace {

constexpr size_t kReportSize = 64;
constexpr unsigned long kNameRequest = 0x04, kPhysRequest = 0x05, kUniqRequest = 0x08;

std::vector<uint8_t> fromHex(const std::string &hex)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

// Gives the caller of an ioctl `size` bytes at the address it passed.
bool give(UMockdevIoctlData *arg, const void *data, size_t size)
{
    GError *error = nullptr;
    UMockdevIoctlData *buffer = umockdev_ioctl_data_resolve(arg, 0, size, &error);
    if (!buffer) {
        g_error_free(error);
        return false;
    }
    std::memcpy(buffer->data, data, size);
    g_object_unref(buffer);
    return true;
}

}  // namespace

ReaderNode::ReaderNode() = default;

ReaderNode::~ReaderNode()
{
    for (std::thread &later : mLater)
        later.join();
    if (mTestbed)
        g_object_unref(mTestbed);
    if (mHandler)
        g_object_unref(mHandler);
    if (mDevice)
        hid_close(mDevice);
    vr::unplugAll();
}

// The ioctls answer from the same description that udev shows.
bool ReaderNode::loadIdentity(const std::string &descriptionFile, std::string *why)
{
    std::ifstream in(descriptionFile);
    if (!in) {
        *why = "cannot read " + descriptionFile;
        return false;
    }
    std::string line, device;
    while (std::getline(in, line)) {
        const auto value = [&line](const char *key) {
            return line.compare(0, std::strlen(key), key) == 0 ? line.substr(std::strlen(key)) : std::string();
        };
        if (!value("P: ").empty())
            device = value("P: ");
        else if (line == "E: DEVTYPE=usb_device")
            mUsbDevice = "/sys" + device;
        else if (!value("E: HID_ID=").empty())
            std::sscanf(value("E: HID_ID=").c_str(), "%*x:%hx:%hx", &mVendor, &mProduct);
        else if (!value("E: HID_NAME=").empty())
            mName = value("E: HID_NAME=");
        else if (!value("E: HID_PHYS=").empty())
            mPhys = value("E: HID_PHYS=");
        else if (!value("E: HID_UNIQ=").empty())
            mUniq = value("E: HID_UNIQ=");
        else if (!value("H: report_descriptor=").empty())
            mReportDescriptor = fromHex(value("H: report_descriptor="));
    }
    if (mUsbDevice.empty() || mReportDescriptor.empty() || !mVendor) {
        *why = descriptionFile + " lacks the USB device, the report descriptor or HID_ID";
        return false;
    }
    return true;
}

bool ReaderNode::start(const std::string &descriptionFile, std::string *why)
{
    if (!loadIdentity(descriptionFile, why))
        return false;
    mTestbed = umockdev_testbed_new();
    GError *error = nullptr;
    if (!umockdev_testbed_add_from_file(mTestbed, descriptionFile.c_str(), &error)) {
        *why = error->message;
        g_error_free(error);
        return false;
    }
    mPty = umockdev_testbed_get_dev_fd(mTestbed, kDevNode);
    if (mPty < 0) {
        *why = "umockdev gave the node no pty";
        return false;
    }
    // Programs started later must not hold the master too: its hang-up is
    // what tells the program that the reader is gone.
    fcntl(mPty, F_SETFD, FD_CLOEXEC);

    mHandler = umockdev_ioctl_base_new();
    g_signal_connect(mHandler, "handle-ioctl", G_CALLBACK(onIoctl), this);
    g_signal_connect(mHandler, "handle-write", G_CALLBACK(onWrite), this);
    if (!umockdev_testbed_attach_ioctl(mTestbed, kDevNode, mHandler, &error)) {
        *why = error->message;
        g_error_free(error);
        return false;
    }
    vr::Identity identity;
    identity.path = kDevNode;
    mReader = &vr::plug(identity);
    mDevice = hid_open_path(kDevNode);  // the virtual reader's hidapi
    mPlugged = mDevice != nullptr;
    if (!mPlugged)
        *why = "the virtual reader did not open";
    return mPlugged;
}

std::vector<std::pair<std::string, std::string>> ReaderNode::environment(const std::string &extraPreload) const
{
    std::string preload = "libumockdev-preload.so.0";
    if (!extraPreload.empty())
        preload += ":" + extraPreload;
    if (const char *earlier = std::getenv("LD_PRELOAD"); earlier && *earlier)
        preload += std::string(":") + earlier;
    // A sanitizer build still runs with the preload ahead of its runtime.
    std::string asan = "verify_asan_link_order=0";
    if (const char *earlier = std::getenv("ASAN_OPTIONS"); earlier && *earlier)
        asan = std::string(earlier) + ":" + asan;
    gchar *root = umockdev_testbed_get_root_dir(mTestbed);
    std::vector<std::pair<std::string, std::string>> env = {
        {"LD_PRELOAD", preload}, {"UMOCKDEV_DIR", root}, {"ASAN_OPTIONS", asan}};
    g_free(root);
    return env;
}

pid_t ReaderNode::spawn(const std::vector<std::string> &argv) const
{
    gchar **envp = g_get_environ();
    for (const auto &[name, value] : environment())
        envp = g_environ_setenv(envp, name.c_str(), value.c_str(), TRUE);
    std::vector<gchar *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<gchar *>(arg.c_str()));
    args.push_back(nullptr);
    GPid pid = -1;
    const auto flags = static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD
                                                | G_SPAWN_CHILD_INHERITS_STDIN);
    const gboolean started = g_spawn_async(nullptr, args.data(), envp, flags, nullptr, nullptr, &pid, nullptr);
    g_strfreev(envp);
    return started ? pid : -1;
}

bool ReaderNode::preloadTakes(std::string *why) const
{
    const pid_t pid = spawn({"/bin/sh", "-c", std::string("test -c ") + kDevNode});
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return true;
    *why = "umockdev's preload library does not take effect here";
    return false;
}

void ReaderNode::holdAnswer(uint8_t command)
{
    std::lock_guard<std::mutex> guard(mMutex);
    mHoldCommand = command;
}

void ReaderNode::unplug()
{
    {
        std::lock_guard<std::mutex> guard(mMutex);
        if (!mPlugged)
            return;
        hangUp();
        vr::unplug(kDevNode);
    }
    // Outside the lock: the worker thread may be waiting for it.
    umockdev_testbed_remove_device(mTestbed, mUsbDevice.c_str());
}

// With the lock held.
void ReaderNode::hangUp()
{
    mPlugged = false;
    // The testbed keeps the master and closes it itself at the end: put
    // /dev/null in its place, so that the node hangs up as an unplugged
    // hidraw node does, now.
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    dup3(null, mPty, O_CLOEXEC);
    close(null);
}

bool ReaderNode::replay(const std::string &traceFile, std::string *why)
{
    auto replay = std::make_unique<TraceReplay>();
    if (!replay->load(traceFile, why))
        return false;
    std::lock_guard<std::mutex> guard(mMutex);
    mReplay = std::move(replay);
    return true;
}

std::string ReaderNode::replayVerdict() const
{
    std::lock_guard<std::mutex> guard(mMutex);
    return mReplay ? mReplay->verdict() : std::string();
}

std::vector<unsigned long> ReaderNode::unknownIoctls() const
{
    std::lock_guard<std::mutex> guard(mMutex);
    return mUnknownIoctls;
}

// What hidapi-hidraw and the kernel's hidraw ioctls exchange; anything else
// is refused as the kernel refuses it.
int ReaderNode::onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, void *self)
{
    auto *node = static_cast<ReaderNode *>(self);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    long result = 0;
    int error = 0;
    if (request == HIDIOCGRDESCSIZE) {
        const int size = static_cast<int>(node->mReportDescriptor.size());
        error = give(arg, &size, sizeof size) ? 0 : EFAULT;
    } else if (request == HIDIOCGRDESC) {
        GError *failure = nullptr;
        UMockdevIoctlData *buffer = umockdev_ioctl_data_resolve(arg, 0, sizeof(hidraw_report_descriptor), &failure);
        if (!buffer) {
            g_error_free(failure);
            error = EFAULT;
        } else {
            auto *descriptor = reinterpret_cast<hidraw_report_descriptor *>(buffer->data);
            if (descriptor->size >= HID_MAX_DESCRIPTOR_SIZE) {
                error = EINVAL;
            } else {
                const size_t size = std::min<size_t>(descriptor->size, node->mReportDescriptor.size());
                std::memcpy(descriptor->value, node->mReportDescriptor.data(), size);
            }
            g_object_unref(buffer);
        }
    } else if (request == HIDIOCGRAWINFO) {
        hidraw_devinfo info = {BUS_USB, static_cast<int16_t>(node->mVendor), static_cast<int16_t>(node->mProduct)};
        error = give(arg, &info, sizeof info) ? 0 : EFAULT;
    } else if (_IOC_TYPE(request) == 'H' && _IOC_DIR(request) == _IOC_READ
               && (_IOC_NR(request) == kNameRequest || _IOC_NR(request) == kPhysRequest
                   || _IOC_NR(request) == kUniqRequest)) {
        // As the kernel: the string with its terminator, cut to the buffer.
        const std::string &text = _IOC_NR(request) == kNameRequest ? node->mName
                                  : _IOC_NR(request) == kPhysRequest ? node->mPhys : node->mUniq;
        result = static_cast<long>(std::min<size_t>(text.size() + 1, _IOC_SIZE(request)));
        error = give(arg, text.c_str(), static_cast<size_t>(result)) ? 0 : EFAULT;
    } else {
        std::fprintf(stderr, "reader node: ioctl 0x%lx refused (ENOTTY)\n", request);
        std::lock_guard<std::mutex> guard(node->mMutex);
        node->mUnknownIoctls.push_back(request);
        error = ENOTTY;
    }
    umockdev_ioctl_client_complete(client, error ? -1 : result, error);
    return TRUE;
}

// Each report written goes to the virtual reader; its answer, if it gives
// one, goes out through the pty as one 64-byte report.
int ReaderNode::onWrite(UMockdevIoctlBase *, UMockdevIoctlClient *client, void *self)
{
    auto *node = static_cast<ReaderNode *>(self);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    std::lock_guard<std::mutex> guard(node->mMutex);
    if (!node->mPlugged) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    const int length = static_cast<int>(arg->data_len);
    if (node->mReplay) {
        // A request off the trace ends the replay: the reader is gone. An
        // unplug fails the write that meets it, or the read after the
        // answers that came before it.
        const std::optional<TraceReplay::Reply> reply = node->mReplay->serve(arg->data, arg->data_len);
        node->sendAll(reply ? reply->answers : std::vector<vr::Report>());
        const bool writeFails = !reply || (reply->unplug && reply->answers.empty());
        if (!reply || reply->unplug)
            node->hangUp();
        umockdev_ioctl_client_complete(client, writeFails ? -1 : length, writeFails ? ENODEV : 0);
        return TRUE;
    }
    const int written = hid_write(node->mDevice, arg->data, static_cast<size_t>(arg->data_len));
    vr::Report answer{};
    const int answered = written > 0 ? hid_read_timeout(node->mDevice, answer.data(), kReportSize, 0) : 0;
    std::vector<vr::Report> answers;
    if (node->mHeld) {
        answers.push_back(*node->mHeld);
        node->mHeld.reset();
    }
    if (answered > 0) {
        if (arg->data_len > 2 && node->mHoldCommand == arg->data[2]) {
            node->mHeld = answer;
            node->mHoldCommand.reset();
        } else {
            answers.push_back(answer);
        }
    }
    node->sendAll(answers);
    umockdev_ioctl_client_complete(client, written > 0 ? written : -1, written > 0 ? 0 : EIO);
    return TRUE;
}

// One report per write: a read of 64 bytes takes exactly one, as on hidraw.
// A pty keeps no bounds between writes, though, and Wine's HID bus reads up
// to 1024 bytes at once, once the write that brought the request has
// returned: the reports of a burst after its first (a late answer, then the
// next) follow a moment later, each in a read of its own.
void ReaderNode::sendAll(const std::vector<vr::Report> &reports)
{
    for (size_t i = 0; i < reports.size(); i++) {
        if (i == 0) {
            send(reports[i]);
            continue;
        }
        mLater.emplace_back([this, report = reports[i], delay = i] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100 * delay));
            std::lock_guard<std::mutex> guard(mMutex);
            if (mPlugged)
                send(report);
        });
    }
}

void ReaderNode::send(const vr::Report &report)
{
    if (write(mPty, report.data(), kReportSize) != static_cast<ssize_t>(kReportSize))
        std::perror("reader node: answer lost");
}
