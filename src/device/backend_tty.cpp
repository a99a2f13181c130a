// The default backend: FTDI devices through the kernel's serial driver. The udev by-id
// folder names each interface after its USB strings,
//   usb-FTDI_FT232R_USB_UART_A1B2C3D4-if00-port0 -> ../../ttyUSB0
// so a device is found by its serial number whatever ttyUSB number it got. Description and
// location come from sysfs when the tty belongs to a USB device; a link that points at some
// other terminal (the lab's pseudo-terminals) is taken on its name alone.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>

#include "app/debuglog.h"
#include "common/strutil.h"
#include "device/ft_backend.h"
#include "device/handle_table.h"
#include "device/listing_backend.h"
#include "device/tty_baud.h"

namespace kv {
namespace {

struct TtyEntry {
    std::string linkName;  // name inside the by-id folder
    std::string path;      // by-id folder + link name
    std::string serial = "n/a";
    std::string description = "n/a";
    long locId = -1;
    std::string ttyName;  // "ttyUSB0", empty when unknown
};

struct OpenTty {
    std::mutex io;
    int fd = -1;
    std::string path;
};

std::string readSysfsLine(const std::string& file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) return {};
    return trimmed(line);
}

std::string realPath(const std::string& p) {
    char buf[PATH_MAX];
    if (!::realpath(p.c_str(), buf)) return {};
    return buf;
}

std::string baseName(const std::string& p) {
    const auto slash = p.find_last_of('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

// USB location as the vendor driver reports it: the bus number followed by one hex digit per
// port on the way to the device (bus 1, ports 2.1 -> 0x121).
long locIdFrom(const std::string& busnum, const std::string& devpath) {
    const int bus = std::atoi(busnum.c_str());
    if (bus <= 0 || devpath.empty()) return -1;
    long id = bus;
    for (const auto& port : split(devpath, '.'))
        id = id * 16 + std::atoi(std::string(port).c_str());
    return id;
}

// "usb-FTDI_FT232R_USB_UART_A1B2C3D4-if00-port0": vendor "FTDI", description
// "FT232R_USB_UART", serial "A1B2C3D4". False for names of another form.
bool parseByIdName(const std::string& name, std::string& vendorModel, std::string& serial) {
    if (!startsWith(name, "usb-")) return false;
    const auto ifPos = name.rfind("-if");
    if (ifPos == std::string::npos || ifPos <= 4) return false;
    const std::string base = name.substr(4, ifPos - 4);
    const auto us = base.rfind('_');
    if (us == std::string::npos || us + 1 >= base.size()) return false;
    vendorModel = base.substr(0, us);
    serial = base.substr(us + 1);
    return true;
}

class TtyBackend : public detail::ListingBackend<TtyEntry> {
  public:
    explicit TtyBackend(TtyBackendOptions o) : opt_(std::move(o)) {}

    std::string name() const override { return "tty"; }

    int open(int index, LinkHandle& handle) override;
    int close(LinkHandle handle) override;
    int setBaudRate(LinkHandle handle, int baud) override;
    int setFlowControlNone(LinkHandle handle) override;
    int setData8N1(LinkHandle handle) override;
    int write(LinkHandle handle, std::string_view bytes, size_t& written) override;
    int queueStatus(LinkHandle handle, size_t& queued) override;
    int read(LinkHandle handle, size_t maxBytes, std::string& out) override;

  private:
    bool rescanLocked() override;
    bool describe(const std::string& linkName, TtyEntry& e) const;
    void setLowLatency(const std::string& ttyName) const;
    static int gone(OpenTty& t, const char* what);
    template <class F>
    int withTty(LinkHandle handle, F f) {
        return handles_.with(
            handle, [](OpenTty& t) { return t.fd < 0 ? FT_IO_ERROR : FT_OK; }, f);
    }
    int modifyTermios(LinkHandle handle, void (*change)(termios&));

    TtyBackendOptions opt_;
    detail::HandleTable<OpenTty> handles_;
};

// A missing by-id folder is no error: udev removes it with the last serial device.
bool TtyBackend::rescanLocked() {
    seen_.clear();
    DIR* dir = ::opendir(opt_.byIdDir.c_str());
    if (!dir) return true;
    std::vector<std::string> names;
    while (dirent* d = ::readdir(dir)) {
        const std::string n = d->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(dir);
    // Sorted, so that the device numbers of one enumeration are stable from run to run.
    std::sort(names.begin(), names.end());
    for (const auto& n : names) {
        TtyEntry e;
        if (describe(n, e)) seen_.push_back(std::move(e));
    }
    return true;
}

bool TtyBackend::describe(const std::string& linkName, TtyEntry& e) const {
    std::string vendorModel, serial;
    if (!parseByIdName(linkName, vendorModel, serial)) return false;
    e.linkName = linkName;
    e.path = opt_.byIdDir + "/" + linkName;
    const std::string target = realPath(e.path);
    if (target.empty()) return false;  // dangling link: the device has just gone
    e.ttyName = baseName(target);

    // Walk from the tty's sysfs node up to the USB device, which carries the strings.
    bool isFtdi = startsWith(vendorModel, "FTDI_");
    std::string dev = realPath(opt_.sysfsRoot + "/class/tty/" + e.ttyName + "/device");
    if (!dev.empty()) {
        const std::string driver = baseName(realPath(dev + "/driver"));
        if (driver == "ftdi_sio") isFtdi = true;
        for (int up = 0; up < 4 && dev.size() > 1; ++up) {
            if (!readSysfsLine(dev + "/idVendor").empty()) {
                const std::string s = readSysfsLine(dev + "/serial");
                const std::string p = readSysfsLine(dev + "/product");
                if (!s.empty()) e.serial = s;
                if (!p.empty()) e.description = p;
                e.locId =
                    locIdFrom(readSysfsLine(dev + "/busnum"), readSysfsLine(dev + "/devpath"));
                if (readSysfsLine(dev + "/idVendor") == "0403") isFtdi = true;
                break;
            }
            dev = dev.substr(0, dev.find_last_of('/'));
        }
    }
    if (!isFtdi) return false;
    // No USB device behind the link (the virtual lab's terminals): its server leaves the
    // USB attributes beside the links, in .sysfs/<link name>/.
    if (dev.empty()) {
        const std::string attr = opt_.byIdDir + "/.sysfs/" + linkName + "/";
        const std::string s = readSysfsLine(attr + "serial");
        const std::string p = readSysfsLine(attr + "product");
        const std::string loc = readSysfsLine(attr + "location");
        if (!s.empty()) e.serial = s;
        if (!p.empty()) e.description = p;
        if (!loc.empty()) e.locId = std::atol(loc.c_str());
    }
    // Otherwise the name is all we know.
    if (e.serial == "n/a") e.serial = serial;
    if (e.description == "n/a" && startsWith(vendorModel, "FTDI_")) {
        const std::string d = vendorModel.substr(5);
        if (!d.empty()) e.description = d;
    }
    if (e.serial.size() > 16) e.serial.resize(16);
    if (e.description.size() > 64) e.description.resize(64);
    return true;
}

// The FTDI chip holds back short answers for its latency timer (16 ms by default), which
// dominates every request/answer round trip. 1 ms makes the exchanges as fast as the
// devices' pacing allows. Needs write access to sysfs (the udev rule in docs/HARDWARE.md).
void TtyBackend::setLowLatency(const std::string& ttyName) const {
    if (!opt_.lowLatency || ttyName.empty()) return;
    const std::string file =
        opt_.sysfsRoot + "/bus/usb-serial/devices/" + ttyName + "/latency_timer";
    const std::string now = readSysfsLine(file);
    if (now.empty() || now == "1") return;
    std::ofstream out(file);
    out << "1\n";
    out.flush();
    WriteDbg("FT.DLL",
             ttyName + ": latency timer " + now + " ms -> 1 ms" +
                 (out ? "" : " failed (no write access)"),
             dbg().ft.load());
}

int TtyBackend::open(int index, LinkHandle& handle) {
    handle = kInvalidHandle;
    TtyEntry e;
    if (!entryAt(index, e)) return FT_DEVICE_NOT_FOUND;
    const int fd = ::open(e.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? FT_DEVICE_NOT_FOUND : FT_DEVICE_NOT_OPENED;
    if (!makeTtyRaw(fd)) {
        ::close(fd);
        return FT_DEVICE_NOT_OPENED;
    }
    setLowLatency(e.ttyName);
    auto open = std::make_shared<OpenTty>();
    open->fd = fd;
    open->path = e.path;
    handle = handles_.add(std::move(open));
    return FT_OK;
}

int TtyBackend::close(LinkHandle handle) {
    auto t = handles_.remove(handle);
    if (!t) return FT_INVALID_HANDLE;
    std::lock_guard lock(t->io);
    if (t->fd >= 0) ::close(t->fd);
    t->fd = -1;
    return FT_OK;
}

// The device went away (unplugged, hung up): drop the descriptor at once. Keeping it would
// hold the old tty node busy and the replugged device would come back under a new name.
int TtyBackend::gone(OpenTty& t, const char* what) {
    if (t.fd >= 0) ::close(t.fd);
    t.fd = -1;
    WriteDbg("FT.DLL", t.path + ": " + what + " failed, device removed - handle closed");
    return FT_IO_ERROR;
}

bool isGoneErrno(int e) {
    return e == EIO || e == ENXIO || e == ENODEV || e == EPIPE;
}

int TtyBackend::modifyTermios(LinkHandle handle, void (*change)(termios&)) {
    return withTty(handle, [&](OpenTty& t) {
        termios tio{};
        if (::tcgetattr(t.fd, &tio) != 0) return isGoneErrno(errno) ? gone(t, "tcgetattr") : 4;
        change(tio);
        return ::tcsetattr(t.fd, TCSANOW, &tio) == 0 ? static_cast<int>(FT_OK) : FT_IO_ERROR;
    });
}

int TtyBackend::setBaudRate(LinkHandle handle, int baud) {
    if (baud <= 0) return FT_INVALID_BAUD_RATE;
    return withTty(handle, [&](OpenTty& t) {
        if (setTtyBaudRate(t.fd, baud)) return static_cast<int>(FT_OK);
        // Terminals without termios2 still take the standard rates.
        const speed_t s = standardTtySpeed(baud);
        termios tio{};
        if (s == B0 || ::tcgetattr(t.fd, &tio) != 0) return static_cast<int>(FT_INVALID_BAUD_RATE);
        ::cfsetispeed(&tio, s);
        ::cfsetospeed(&tio, s);
        return ::tcsetattr(t.fd, TCSANOW, &tio) == 0 ? static_cast<int>(FT_OK)
                                                     : FT_INVALID_BAUD_RATE;
    });
}

int TtyBackend::setFlowControlNone(LinkHandle handle) {
    return modifyTermios(handle, [](termios& t) {
        t.c_cflag &= ~CRTSCTS;
        t.c_iflag &= ~(IXON | IXOFF | IXANY);
    });
}

int TtyBackend::setData8N1(LinkHandle handle) {
    return modifyTermios(handle, [](termios& t) {
        t.c_cflag &= ~(CSIZE | CSTOPB | PARENB);
        t.c_cflag |= CS8;
    });
}

int TtyBackend::write(LinkHandle handle, std::string_view bytes, size_t& written) {
    written = 0;
    return withTty(handle, [&](OpenTty& t) {
        int stalls = 0;
        while (written < bytes.size()) {
            const ssize_t n = ::write(t.fd, bytes.data() + written, bytes.size() - written);
            if (n > 0) {
                written += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN && ++stalls <= 20) {
                // Output buffer full: wait briefly for room, never for long.
                pollfd p{t.fd, POLLOUT, 0};
                ::poll(&p, 1, 10);
                continue;
            }
            if (n < 0 && isGoneErrno(errno)) return gone(t, "write");
            return static_cast<int>(FT_FAILED_TO_WRITE_DEVICE);
        }
        return static_cast<int>(FT_OK);
    });
}

int TtyBackend::queueStatus(LinkHandle handle, size_t& queued) {
    queued = 0;
    return withTty(handle, [&](OpenTty& t) {
        pollfd p{t.fd, POLLIN, 0};
        if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)))
            return gone(t, "poll");
        int n = 0;
        if (::ioctl(t.fd, FIONREAD, &n) != 0)
            return isGoneErrno(errno) ? gone(t, "FIONREAD") : static_cast<int>(FT_IO_ERROR);
        queued = n > 0 ? static_cast<size_t>(n) : 0;
        return static_cast<int>(FT_OK);
    });
}

int TtyBackend::read(LinkHandle handle, size_t maxBytes, std::string& out) {
    out.clear();
    return withTty(handle, [&](OpenTty& t) {
        // A hang-up shows in poll(); read() alone cannot tell it apart: in raw mode with
        // VMIN = 0 it returns 0 whenever nothing is waiting, which happens when another
        // thread took the bytes between the caller's byte count and this read.
        pollfd p{t.fd, POLLIN, 0};
        if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)))
            return gone(t, "poll");
        if (maxBytes == 0) return static_cast<int>(FT_OK);
        out.resize(maxBytes);
        ssize_t n;
        do {
            n = ::read(t.fd, out.data(), maxBytes);
        } while (n < 0 && errno == EINTR);
        if (n > 0) {
            out.resize(static_cast<size_t>(n));
            return static_cast<int>(FT_OK);
        }
        out.clear();
        if (n == 0 || errno == EAGAIN) return static_cast<int>(FT_OK);  // nothing waiting
        if (isGoneErrno(errno)) return gone(t, "read");
        return static_cast<int>(FT_IO_ERROR);
    });
}

}  // namespace

std::unique_ptr<FTBackend> makeTtyBackend(TtyBackendOptions options) {
    return std::make_unique<TtyBackend>(std::move(options));
}

}  // namespace kv
