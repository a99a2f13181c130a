#include "co2/winsio.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

#include "app/debuglog.h"
#include "app/inifile.h"
#include "common/strutil.h"
#include "device/tty_baud.h"

namespace kv {
namespace {

constexpr std::string_view kCat = "RS232";
// A write or a drain of the output never blocks a caller longer than this, even on a line
// that stopped moving (an unplugged adapter, a wedged driver).
constexpr int kMaxOutputWaitMs = 2000;

struct Port {
    std::mutex io;
    int fd = -1;
    std::shared_ptr<ComEndpoint> endpoint;
    std::string path;  // the device's real path: key of the sharing check
};

struct Registry {
    std::mutex mutex;
    std::map<HCOM, std::shared_ptr<Port>> ports;
    HCOM nextHandle = 1;
    std::map<int, std::string> paths;                       // COM n -> device path
    std::map<int, std::shared_ptr<ComEndpoint>> endpoints;  // COM n -> in-process device
};

Registry& registry() {
    static Registry r;
    return r;
}

std::shared_ptr<Port> findPort(HCOM h) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    const auto it = r.ports.find(h);
    return it == r.ports.end() ? nullptr : it->second;
}

// A port this process already holds is not opened a second time.
bool pathInUseLocked(const Registry& r, const std::string& path) {
    for (const auto& entry : r.ports)
        if (entry.second->path == path) return true;
    return false;
}

bool pathInUse(const std::string& path) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    return pathInUseLocked(r, path);
}

bool rsOn() {
    return dbg().rs232.load();
}
void rsLine(const std::string& text) {
    if (rsOn()) WriteDbg(kCat, text);
}

// "COM" + n, any case; 0 for any other name.
int comNumber(std::string_view name) {
    if (name.size() < 4 || !istartsWith(name, "COM")) return 0;
    int n = 0;
    for (char c : name.substr(3)) {
        if (c < '0' || c > '9' || n > 100000) return 0;
        n = n * 10 + (c - '0');
    }
    return n;
}

char parityLetter(int parity) {
    switch (parity) {
        case 0:
            return 'N';
        case 1:
            return 'O';
        case 2:
            return 'E';
        default:
            return '?';
    }
}

// Applies the settings text's values to the terminal; 0 or the error code.
int applySettings(int fd, int baud, int dataBits, int parity, int stopBits) {
    const speed_t speed = standardTtySpeed(baud);
    if (speed == B0 || dataBits < 5 || dataBits > 8 || parity < 0 || parity > 2 ||
        (stopBits != 1 && stopBits != 2))
        return EINVAL;
    termios t{};
    if (tcgetattr(fd, &t) != 0) return errno;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB);
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[dataBits - 5];
    if (parity != 0) t.c_cflag |= PARENB;
    if (parity == 1) t.c_cflag |= PARODD;
    if (stopBits == 2) t.c_cflag |= CSTOPB;
    return tcsetattr(fd, TCSANOW, &t) == 0 ? 0 : errno;
}

int queuedLocked(Port& p) {
    if (p.endpoint) return static_cast<int>(std::min<size_t>(p.endpoint->queued(), 1 << 30));
    if (p.fd < 0) return 0;
    int n = 0;
    if (ioctl(p.fd, FIONREAD, &n) != 0) return 0;
    return n < 0 ? 0 : n;
}

// Reads up to n bytes; rc receives the count, the result is the read's success.
bool readLocked(Port& p, size_t n, std::string& out, long& rc) {
    out.clear();
    rc = 0;
    if (p.endpoint) {
        out = p.endpoint->read(n);
        if (out.size() > n) out.resize(n);
        rc = static_cast<long>(out.size());
        return true;
    }
    if (p.fd < 0) return false;
    if (n == 0) return true;
    char buf[kComBufferSize];
    const ssize_t got = ::read(p.fd, buf, std::min(n, kComBufferSize));
    if (got < 0) return errno == EAGAIN;
    rc = got;
    out.assign(buf, static_cast<size_t>(got));
    return true;
}

// Writes all bytes within kMaxOutputWaitMs; returns 0 or the error code.
int writeLocked(Port& p, std::string_view bytes, size_t& written) {
    written = 0;
    if (p.endpoint) {
        if (!p.endpoint->write(bytes)) return EIO;
        written = bytes.size();
        return 0;
    }
    if (p.fd < 0) return EBADF;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kMaxOutputWaitMs);
    while (written < bytes.size()) {
        const ssize_t n = ::write(p.fd, bytes.data() + written, bytes.size() - written);
        if (n > 0) {
            written += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return errno;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return ETIMEDOUT;
        pollfd pfd{p.fd, POLLOUT, 0};
        ::poll(&pfd, 1, static_cast<int>(left.count()));
    }
    return 0;
}

// Waits until the output has left the port, bounded like a write.
void drainLocked(Port& p) {
    if (p.fd < 0) return;
    for (int waited = 0; waited < kMaxOutputWaitMs; ++waited) {
        int pending = 0;
        if (ioctl(p.fd, TIOCOUTQ, &pending) != 0 || pending <= 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::string debugData(std::string_view prefix, const std::string& data) {
    return std::string(prefix) + "data read =*" + printableText(data) + "*";
}

}  // namespace

std::string okText(bool ok) {
    return ok ? "OK" : "NotOK";
}

std::string comSettingsText(int baud, int dataBits, int parity, int stopBits) {
    return "baud=" + std::to_string(baud) + " parity=" + std::string(1, parityLetter(parity)) +
           " data=" + std::to_string(dataBits) + " stop=" + std::to_string(stopBits);
}

std::string printableText(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (unsigned char c : bytes) {
        if (c >= 32) {
            out += static_cast<char>(c);
            continue;
        }
        switch (c) {
            case 6:
                out += "[ACK]";
                break;
            case 2:
                out += "[STX]";
                break;
            case 3:
                out += "[ETX]";
                break;
            case 21:
                out += "[NACK]";
                break;
            default: {
                char code[8];
                std::snprintf(code, sizeof code, "\\%03u", static_cast<unsigned>(c));
                out += code;
            }
        }
    }
    return out;
}

std::string comPortPath(std::string_view portName) {
    if (!portName.empty() && portName.front() == '/') return std::string(portName);
    const int n = comNumber(portName);
    if (n <= 0) return {};
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    const auto it = r.paths.find(n);
    if (it != r.paths.end()) return it->second;
    return "/dev/ttyS" + std::to_string(n - 1);
}

void setComPortPath(int n, const std::string& path) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (path.empty())
        r.paths.erase(n);
    else
        r.paths[n] = path;
}

void loadComPortMap(const IniFile& ini) {
    std::map<int, std::string> paths;
    for (const std::string& key : ini.keys("Ports")) {
        const int n = comNumber(key);
        if (n <= 0) continue;
        const std::string path = replaceAll(ini.readString("Ports", key, ""), "\\", "/");
        if (!path.empty()) paths[n] = path;
    }
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.paths = std::move(paths);
}

void setComEndpoint(int n, std::shared_ptr<ComEndpoint> endpoint) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (endpoint)
        r.endpoints[n] = std::move(endpoint);
    else
        r.endpoints.erase(n);
}

HCOM com_Open(std::string_view portName) {
    rsLine("com_Open(COMx:=" + std::string(portName) + ")");
    auto port = std::make_shared<Port>();
    const int n = comNumber(portName);
    {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        const auto ep = r.endpoints.find(n);
        if (n > 0 && ep != r.endpoints.end()) {
            port->endpoint = ep->second;
            port->path = "endpoint:" + std::to_string(n);
        }
    }
    if (!port->endpoint) {
        // Through links (a by-name link, a pty's link) to the device itself, so that two
        // names of one port still count as one.
        port->path = comPortPath(portName);
        char real[PATH_MAX];
        if (!port->path.empty() && ::realpath(port->path.c_str(), real)) port->path = real;
    }

    HCOM h = kInvalidHCOM;
    bool opened = !port->path.empty() && !pathInUse(port->path);
    if (opened && !port->endpoint) {
        port->fd = ::open(port->path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (port->fd >= 0 && (!isatty(port->fd) || !makeTtyRaw(port->fd))) {
            ::close(port->fd);
            port->fd = -1;
        }
        // Not shared with other processes either (root is not held back by this).
        if (port->fd >= 0) ioctl(port->fd, TIOCEXCL);
        opened = port->fd >= 0;
    }
    if (opened) {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        if (pathInUseLocked(r, port->path)) {
            // Lost a race with another open of the same port; its exclusive mode stays.
            if (port->fd >= 0) ::close(port->fd);
        } else {
            h = r.nextHandle++;
            r.ports[h] = port;
        }
    }
    rsLine("com_Open: hCOM:=" + std::to_string(h) + ")");
    return h;
}

void com_Close(HCOM h) {
    rsLine("com_Close(hCOM:=" + std::to_string(h) + ")");
    std::shared_ptr<Port> port;
    {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        const auto it = r.ports.find(h);
        if (it == r.ports.end()) return;
        port = it->second;
        r.ports.erase(it);
    }
    std::lock_guard io(port->io);
    if (port->fd >= 0) {
        // Exclusive mode outlives our descriptor while another one (a pty's server) keeps
        // the terminal open; lift it so that the port can be opened again.
        ioctl(port->fd, TIOCNXCL);
        ::close(port->fd);
        port->fd = -1;
    }
    port->endpoint.reset();
}

void com_Set(HCOM h, int baud, int dataBits, int parity, int stopBits) {
    rsLine("com_Set(hCOM:=" + std::to_string(h) + ", Baud:=" + std::to_string(baud) + ", Parity:=" +
           std::string(1, parityLetter(parity)) + ", DataBits:=" + std::to_string(dataBits) +
           ", StopBits:=" + std::to_string(stopBits) + ")");
    int err = EBADF;
    if (auto port = findPort(h)) {
        std::lock_guard io(port->io);
        if (port->endpoint)
            err = 0;
        else if (port->fd >= 0)
            err = applySettings(port->fd, baud, dataBits, parity, stopBits);
    }
    rsLine("com_Set: SetCommState returns " + okText(err == 0) +
           ", GetLastError=" + std::to_string(err));
}

int com_InQueue(HCOM h) {
    auto port = findPort(h);
    if (!port) return 0;
    std::lock_guard io(port->io);
    return queuedLocked(*port);
}

void com_Purge(HCOM h) {
    auto port = findPort(h);
    if (!port) return;
    std::lock_guard io(port->io);
    drainLocked(*port);
}

std::string com_Read(HCOM h, bool* ok) {
    std::string data;
    long rc = 0;
    bool success = false;
    if (auto port = findPort(h)) {
        std::lock_guard io(port->io);
        const size_t n = std::min<size_t>(static_cast<size_t>(queuedLocked(*port)), kComBufferSize);
        success = readLocked(*port, n, data, rc);
    }
    rsLine("com_Read: ReadFile: rc=" + std::to_string(rc) + ", returns " + okText(success));
    if (!data.empty()) rsLine(debugData("com_Read: ", data));
    if (ok) *ok = success;
    return data;
}

std::string com_Read_n(HCOM h, int n) {
    if (n <= 0) return {};
    const size_t want = std::min<size_t>(static_cast<size_t>(n), kComBufferSize);
    auto port = findPort(h);
    if (!port) return {};
    std::string data;
    long rc = 0;
    bool success = false;
    {
        std::lock_guard io(port->io);
        if (static_cast<size_t>(queuedLocked(*port)) < want) return {};
        success = readLocked(*port, want, data, rc);
    }
    rsLine("com_Read_n: ReadFile: rc=" + std::to_string(rc) + ", returns " + okText(success));
    if (!data.empty()) rsLine(debugData("com_Read_n: ", data));
    return data;
}

int com_Write(HCOM h, std::string_view text) {
    // The transfer buffer is a C string: a text goes out up to its first NUL.
    text = text.substr(0, std::min(text.find('\0'), kComBufferSize));
    size_t written = 0;
    int err = EBADF;
    if (auto port = findPort(h)) {
        std::lock_guard io(port->io);
        err = writeLocked(*port, text, written);
    }
    rsLine("com_Write: data written=*" + std::string(text) +
           "*, rc/GetLastError=" + std::to_string(written) + "/" + std::to_string(err));
    return err;
}

bool com_WaitInput(HCOM h, int microseconds) {
    auto port = findPort(h);
    if (!port) return false;
    std::lock_guard io(port->io);
    if (queuedLocked(*port) > 0) return true;
    if (port->fd < 0 || microseconds <= 0) return false;
    pollfd pfd{port->fd, POLLIN, 0};
    const timespec ts{microseconds / 1000000, static_cast<long>(microseconds % 1000000) * 1000};
    ::ppoll(&pfd, 1, &ts, nullptr);
    return queuedLocked(*port) > 0;
}

bool com_IsOpen(HCOM h) {
    return findPort(h) != nullptr;
}

}  // namespace kv
