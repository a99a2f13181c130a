#include "rows/row_util.h"

#include <cmath>
#include <limits>

#include "common/datetime.h"
#include "common/fileio.h"
#include "common/numtext.h"
#include "common/strutil.h"

namespace kv {

std::string firstChars(std::string_view s, size_t n) {
    size_t chars = 0;
    for (size_t b = 0; b < s.size(); ++b) {
        if ((static_cast<unsigned char>(s[b]) & 0xC0) == 0x80) continue;
        if (chars == n) return std::string(s.substr(0, b));
        ++chars;
    }
    return std::string(s);
}

const char* defaultRowStateText(int state) {
    switch (state) {
        case 1:
            return "Free|free";
        case 2:
            return "N/A|not available";
        case 3:
            return "Defined|defined, not started";
        case 4:
            return "Running|running";
        case 5:
            return "Suspended|suspended";
        case 6:
            return "Stopped|stopped";
        case 7:
            return "Stopped|stopped";
        case 8:
            return "Control|stopped, cell control continued";
        default:
            return "";
    }
}

int roundToInt(double v, int def) {
    if (isNoValue(v) || !std::isfinite(v)) return def;
    const double r = std::round(v);
    if (r > std::numeric_limits<int>::max() || r < std::numeric_limits<int>::min()) return def;
    return static_cast<int>(r);
}

int tenthsOf(double celsius) {
    // Anything beyond ±3000 °C is no reading.
    if (isNoValue(celsius) || !std::isfinite(celsius) || std::fabs(celsius) > 3000.0)
        return NoValueInt;
    return static_cast<int>(std::lround(celsius * 10.0));
}

std::string dtText(TDateTime t) {
    return dateTimeToText(t);
}

TDateTime textToDate(std::string_view text) {
    const std::string t = trimmed(text);
    if (t.empty()) return 0;
    const TDateTime v = textToDateTime(t + " 00:00:00");
    return v;
}

TDateTime textToTime(std::string_view text) {
    const std::string t = trimmed(text);
    if (t.empty()) return 0;
    return textToDateTime("30.12.1899 " + t);
}

std::string slashes(std::string s) {
    for (char& c : s)
        if (c == '\\') c = '/';
    return s;
}

}  // namespace kv

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace kv {

int replaceFileAtomically(const std::string& path, std::string_view content) {
    const std::string tmp = path + ".tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    int err = writeAllAndClose(fd, content);
    if (err == 0 && ::rename(tmp.c_str(), path.c_str()) != 0) err = errno;
    if (err != 0) ::unlink(tmp.c_str());
    if (err == 0) syncDirectoryOf(path);
    return err;
}

void syncDirectoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string(".")
                            : slash == 0               ? "/"
                                                       : path.substr(0, slash);
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    // Best effort: some file systems refuse fsync on a directory, and the entry is written
    // anyway; only its survival of a power cut is at stake.
    ::fsync(fd);
    ::close(fd);
}

TDateTime nextDue(TDateTime last, double step, TDateTime now) {
    if (last >= now || step <= 0) return last;
    TDateTime next = last + std::ceil((now - last) / step) * step;
    if (next < now) next += step;
    return next;
}

}  // namespace kv
