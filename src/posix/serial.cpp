// The serial port calls of the platform seam on termios. The core fills a
// DCB record as for Windows; it is translated to termios and back here, and
// what termios has no place for is kept in the handle so that it reads back
// as it was set.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "posix/posix.h"
#include "text/profile.h"

namespace {

thread_local uint32_t last_error;
std::string com1_device;
// The search over the devices present: COMn is the (count - n + 1)-th.
std::vector<std::string> search_list;
bool searching;
// What the last open found, for the core's trace; the device it opened.
std::string open_note, open_label;
// Devices whose failure the user has been told of.
std::set<std::string> reported;

int fail(int err) {
    last_error = static_cast<uint32_t>(err);
    return 0;
}

struct serial_port {
    int fd;
    std::string device;
    plat_dcb shadow;         // the last record set, for what termios cannot hold
    uint32_t write_per_byte; // write time-outs, milliseconds
    uint32_t write_constant;
    int gone = 0; // the error that said the device has gone, 0 while it is there
};

serial_port *port_of(port_handle h) { return static_cast<serial_port *>(h); }

// DCB control-field values.
constexpr uint32_t CONTROL_DISABLE = 0, CONTROL_ENABLE = 1, CONTROL_HANDSHAKE = 2;
constexpr int DTR_SHIFT = 4, RTS_SHIFT = 12;
constexpr uint32_t DCB_SIZE = sizeof(plat_dcb);

uint32_t control(uint32_t flags, int shift) { return (flags >> shift) & 3u; }
uint32_t with_control(uint32_t flags, int shift, uint32_t value) {
    return (flags & ~(3u << shift)) | (value << shift);
}
uint32_t with_bit(uint32_t flags, uint32_t bit, bool on) {
    return on ? (flags | bit) : (flags & ~bit);
}

struct rate {
    uint32_t baud;
    speed_t code;
};
const rate RATES[] = {
    {110, B110},       {300, B300},       {600, B600},       {1200, B1200},     {2400, B2400},
    {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

bool speed_code(uint32_t baud, speed_t *code) {
    for (const rate &r : RATES)
        if (r.baud == baud) {
            *code = r.code;
            return true;
        }
    return false;
}

uint32_t baud_of(speed_t code) {
    for (const rate &r : RATES)
        if (r.code == code) return r.baud;
    return 0;
}

uint64_t now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

// How long a write of n bytes may take, in ms; -1 for no limit (both zero,
// as on Windows).
int64_t write_limit(const serial_port *p, uint32_t n) {
    if (p->write_per_byte == 0 && p->write_constant == 0) return -1;
    return static_cast<int64_t>(p->write_per_byte) * n + p->write_constant;
}

// A call on a device that has gone fails with one of these.
int fail_on(serial_port *p, int err) {
    if (err == EIO || err == ENXIO || err == ENODEV) p->gone = err;
    return fail(err);
}

// A pseudo-terminal has no modem lines: that is no failure.
bool no_modem_lines(int err) { return err == ENOTTY || err == EINVAL; }

// "COM3:19200,n,8,1" or "\\.\COM10": the port number, 0 for another name.
int com_number(const char *name) {
    if (std::strncmp(name, "\\\\.\\", 4) == 0) name += 4;
    if (std::strncmp(name, "COM", 3) != 0) return 0;
    int n = 0;
    const char *p = name + 3;
    if (*p < '1' || *p > '9') return 0;
    while (*p >= '0' && *p <= '9' && n < 1000000) n = n * 10 + (*p++ - '0');
    return (*p == 0 || *p == ':') ? n : 0;
}

// COM1 is the --port device; in a search, the devices present; else key
// COMn of [Ports] in flashfile.ini; else the n-th built-in serial port.
std::string ports_key(int n) {
    char key[16], value[256] = "";
    std::snprintf(key, sizeof key, "COM%d", n);
    profile_read_string("Ports", key, "", value, sizeof value, "flashfile.ini");
    return value;
}

std::string device_for(int n) {
    if (n == 1 && !com1_device.empty()) return com1_device;
    if (searching) {
        size_t count = search_list.size();
        return n >= 1 && static_cast<size_t>(n) <= count ? search_list[count - n] : "";
    }
    std::string mapped = ports_key(n);
    if (!mapped.empty()) return mapped;
    char dev[32];
    std::snprintf(dev, sizeof dev, "/dev/ttyS%d", n - 1);
    return dev;
}

// For the trace, and once a device on standard error.
void note_port(const char *name, const std::string &device, const char *what, bool failed) {
    char text[400];
    std::snprintf(text, sizeof text, "PORT: %.40s is %.300s: %s", name, device.c_str(), what);
    open_note = text;
    if (failed && reported.insert(device).second)
        posix::error_line(device.empty() ? "no serial device found; name one with --port DEVICE"
                                         : device + ": " + what);
}

const char *open_failure(int err) {
    switch (err) {
    case ENOENT:
    case ENXIO:
    case ENODEV: return "no such device";
    case EIO: return "no such device (no UART behind it)";
    case EACCES:
    case EPERM: return "Permission denied (add the user to the dialout group)";
    case EBUSY: return "busy: another program has it open";
    default: return std::strerror(err);
    }
}

// The folder that stands for /dev (tests set FLASHFILE_DEV_ROOT).
std::string dev_root() {
    const char *root = std::getenv("FLASHFILE_DEV_ROOT");
    return root && *root ? root : "/dev";
}

std::string real_path(const std::string &path) {
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) ? buf : "";
}

std::vector<std::string> names_in(const std::string &folder) {
    std::vector<std::string> names;
    if (DIR *d = opendir(folder.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
    }
    // ttyUSB2 before ttyUSB10.
    std::sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    return names;
}

// A built-in port that the kernel lists without a UART behind it.
bool has_uart(const std::string &name) {
    char type[16] = "";
    std::FILE *f = std::fopen(("/sys/class/tty/" + name + "/type").c_str(), "r");
    if (!f) return false;
    bool read = std::fgets(type, sizeof type, f) != nullptr;
    std::fclose(f);
    return read && std::atoi(type) != 0;
}

struct serial_device {
    std::string path;   // what is opened: the stable name where there is one
    std::string kernel; // the device itself
    std::string stable; // its /dev/serial/by-id name, or ""
};

// USB and ACM adapters (by their stable names first), the devices [Ports]
// names, then built-in ports with a UART.
std::vector<serial_device> devices_present() {
    std::vector<serial_device> found;
    std::set<std::string> seen;
    auto add = [&](const std::string &path, const std::string &stable) {
        std::string kernel = real_path(path);
        if (!kernel.empty() && seen.insert(kernel).second) found.push_back({path, kernel, stable});
    };
    std::string root = dev_root(), by_id = root + "/serial/by-id";
    for (const std::string &n : names_in(by_id)) add(by_id + "/" + n, by_id + "/" + n);
    auto kernel_names = [&](const std::string &prefix, bool uart) {
        for (const std::string &n : names_in(root))
            if (n.rfind(prefix, 0) == 0 && n.size() > prefix.size() && (!uart || has_uart(n)))
                add(root + "/" + n, "");
    };
    kernel_names("ttyUSB", false);
    kernel_names("ttyACM", false);
    for (int n = 1; n <= 255; ++n) add(ports_key(n), ""); // "" when not mapped: no device
    kernel_names("ttyS", true);
    return found;
}

} // namespace

void posix::use_com1_device(const std::string &device) { com1_device = device; }

int posix::search_devices() {
    searching = true;
    search_list.clear();
    for (const serial_device &d : devices_present()) search_list.push_back(d.path);
    return static_cast<int>(search_list.size());
}

int posix::list_devices() {
    std::vector<serial_device> found = devices_present();
    for (const serial_device &d : found) {
        std::string line = d.kernel;
        if (!d.stable.empty()) line += " " + d.stable;
        for (int n = 1; n <= 255; ++n) {
            std::string mapped = ports_key(n);
            if (!mapped.empty() && real_path(mapped) == d.kernel)
                line += " COM" + std::to_string(n);
        }
        write_all(STDOUT_FILENO, line + "\n");
    }
    return static_cast<int>(found.size());
}

const char *plat_port_label() { return open_label.c_str(); }

int posix::port_fd(port_handle h) { return h ? port_of(h)->fd : -1; }

const char *plat_port_note() { return open_note.c_str(); }

port_handle plat_port_open(const char *device_name) {
    open_note.clear();
    open_label.clear();
    int n = com_number(device_name);
    std::string device = n > 0 ? device_for(n) : device_name;
    std::string name = n > 0 ? "COM" + std::to_string(n) : device;

    int fd = device.empty() ? -1 : open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int err = device.empty() ? ENOENT : errno;
        note_port(name.c_str(), device, open_failure(err), true);
        fail(err);
        return nullptr;
    }
    if (!isatty(fd)) {
        note_port(name.c_str(), device, "not a serial device (not a terminal)", true);
        close(fd);
        fail(ENOTTY);
        return nullptr;
    }
    // TIOCEXCL keeps others out, but not root; the lock holds for every
    // program that takes it too.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        note_port(name.c_str(), device,
                  err == EWOULDBLOCK ? "busy: locked by another program" : std::strerror(err),
                  true);
        close(fd);
        fail(err == EWOULDBLOCK ? EBUSY : err);
        return nullptr;
    }
    ioctl(fd, TIOCEXCL);

    serial_port *p = new serial_port{fd, device, {}, 0, 0};
    p->shadow.DCBlength = DCB_SIZE;
    p->shadow.flags = DCB_fBinary;
    p->shadow.flags = with_control(p->shadow.flags, DTR_SHIFT, CONTROL_ENABLE);
    p->shadow.flags = with_control(p->shadow.flags, RTS_SHIFT, CONTROL_ENABLE);
    note_port(name.c_str(), device, "open", false);
    open_label = device;
    return p;
}

void plat_port_close(port_handle h) {
    serial_port *p = port_of(h);
    if (!p) return;
    ioctl(p->fd, TIOCNXCL);
    close(p->fd); // releases the lock
    delete p;
}

int plat_port_get_state(port_handle h, plat_dcb *dcb) {
    serial_port *p = port_of(h);
    termios t;
    if (tcgetattr(p->fd, &t) != 0) return fail(errno);

    plat_dcb d = p->shadow;
    d.DCBlength = DCB_SIZE;
    uint32_t baud = baud_of(cfgetospeed(&t));
    if (baud) d.BaudRate = baud;
    switch (t.c_cflag & CSIZE) {
    case CS5: d.ByteSize = 5; break;
    case CS6: d.ByteSize = 6; break;
    case CS7: d.ByteSize = 7; break;
    default: d.ByteSize = 8; break;
    }
    if (!(t.c_cflag & PARENB)) d.Parity = 0;
    else if (t.c_cflag & CMSPAR) d.Parity = (t.c_cflag & PARODD) ? 3 : 4; // mark, space
    else d.Parity = (t.c_cflag & PARODD) ? 1 : 2;                         // odd, even
    // Termios has no 1.5 stop bits: two reads back as what was set.
    if (!(t.c_cflag & CSTOPB)) d.StopBits = 0;
    else if (d.StopBits == 0) d.StopBits = 2;

    uint32_t f = d.flags | DCB_fBinary;
    f = with_bit(f, DCB_fParity, t.c_iflag & INPCK);
    f = with_bit(f, DCB_fOutxCtsFlow, t.c_cflag & CRTSCTS);
    f = with_bit(f, DCB_fOutX, t.c_iflag & IXON);
    f = with_bit(f, DCB_fInX, t.c_iflag & IXOFF);
    int lines = 0;
    if (ioctl(p->fd, TIOCMGET, &lines) == 0) {
        uint32_t dtr = control(f, DTR_SHIFT);
        f = with_control(f, DTR_SHIFT,
                         (lines & TIOCM_DTR) ? (dtr ? dtr : CONTROL_ENABLE) : CONTROL_DISABLE);
        if (!(t.c_cflag & CRTSCTS)) {
            uint32_t rts = control(f, RTS_SHIFT);
            f = with_control(f, RTS_SHIFT,
                             (lines & TIOCM_RTS) ? (rts == CONTROL_ENABLE ? rts : CONTROL_ENABLE)
                                                 : CONTROL_DISABLE);
        }
    }
    // Hardware flow on RTS is what CRTSCTS does on input.
    if ((t.c_cflag & CRTSCTS) && control(f, RTS_SHIFT) == CONTROL_DISABLE)
        f = with_control(f, RTS_SHIFT, CONTROL_HANDSHAKE);
    d.flags = f;
    d.XonChar = static_cast<char>(t.c_cc[VSTART]);
    d.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    *dcb = d;
    return 1;
}

int plat_port_set_state(port_handle h, const plat_dcb *dcb) {
    serial_port *p = port_of(h);
    speed_t speed;
    if (!speed_code(dcb->BaudRate, &speed) || dcb->ByteSize < 5 || dcb->ByteSize > 8 ||
        dcb->Parity > 4 || dcb->StopBits > 2)
        return fail(EINVAL);

    termios t;
    if (tcgetattr(p->fd, &t) != 0) return fail(errno);
    // Raw bytes both ways; reads never wait (the core polls).
    cfmakeraw(&t);
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);

    static const tcflag_t SIZES[] = {CS5, CS6, CS7, CS8};
    t.c_cflag = (t.c_cflag & ~CSIZE) | SIZES[dcb->ByteSize - 5];
    t.c_cflag &= ~(PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    switch (dcb->Parity) {
    case 1: t.c_cflag |= PARENB | PARODD; break;
    case 2: t.c_cflag |= PARENB; break;
    case 3: t.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case 4: t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
    }
    if (dcb->StopBits != 0) t.c_cflag |= CSTOPB;

    uint32_t f = dcb->flags;
    bool rts_flow = (f & DCB_fOutxCtsFlow) || control(f, RTS_SHIFT) == CONTROL_HANDSHAKE;
    if (rts_flow) t.c_cflag |= CRTSCTS;
    t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    if (f & DCB_fOutX) t.c_iflag |= IXON;
    if (f & DCB_fInX) t.c_iflag |= IXOFF;
    if (f & DCB_fParity) t.c_iflag |= INPCK;
    if (dcb->XonChar) t.c_cc[VSTART] = static_cast<cc_t>(dcb->XonChar);
    if (dcb->XoffChar) t.c_cc[VSTOP] = static_cast<cc_t>(dcb->XoffChar);

    if (tcsetattr(p->fd, TCSANOW, &t) != 0) return fail(errno);

    int raise = 0, lower = 0;
    (control(f, DTR_SHIFT) == CONTROL_DISABLE ? lower : raise) |= TIOCM_DTR;
    (!rts_flow && control(f, RTS_SHIFT) == CONTROL_DISABLE ? lower : raise) |= TIOCM_RTS;
    if (raise && ioctl(p->fd, TIOCMBIS, &raise) != 0 && !no_modem_lines(errno)) return fail(errno);
    if (lower && ioctl(p->fd, TIOCMBIC, &lower) != 0 && !no_modem_lines(errno)) return fail(errno);

    p->shadow = *dcb;
    return 1;
}

int plat_port_set_timeouts(port_handle h, const plat_timeouts *t) {
    // Reads always return at once with what has arrived: the only read
    // time-outs the program sets.
    serial_port *p = port_of(h);
    p->write_per_byte = t->WriteTotalTimeoutMultiplier;
    p->write_constant = t->WriteTotalTimeoutConstant;
    return 1;
}

int plat_port_write(port_handle h, const void *data, uint32_t n, uint32_t *written) {
    serial_port *p = port_of(h);
    const char *bytes = static_cast<const char *>(data);
    int64_t limit = write_limit(p, n);
    uint64_t start = now_ms();
    uint32_t done = 0;
    *written = 0;
    while (done < n) {
        ssize_t r = write(p->fd, bytes + done, n - done);
        if (r > 0) {
            done += static_cast<uint32_t>(r);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno != EAGAIN) {
            *written = done;
            return fail_on(p, errno);
        }
        // The line cannot take more now: wait for room until the time-out,
        // then return short, as a Windows write does.
        int wait = -1;
        if (limit >= 0) {
            int64_t left = limit - static_cast<int64_t>(now_ms() - start);
            if (left <= 0) break;
            wait = static_cast<int>(left);
        }
        pollfd pfd{p->fd, POLLOUT, 0};
        if (poll(&pfd, 1, wait) < 0 && errno != EINTR) {
            *written = done;
            return fail(errno);
        }
    }
    *written = done;
    return 1;
}

int plat_port_read(port_handle h, void *data, uint32_t n, uint32_t *got) {
    serial_port *p = port_of(h);
    *got = 0;
    for (;;) {
        ssize_t r = read(p->fd, data, n);
        if (r >= 0) {
            *got = static_cast<uint32_t>(r);
            return 1;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return 1;
        return fail_on(p, errno);
    }
}

int plat_port_pending(port_handle h, uint32_t *in_queue) {
    int n = 0;
    if (ioctl(port_of(h)->fd, FIONREAD, &n) != 0) return fail_on(port_of(h), errno);
    *in_queue = n > 0 ? static_cast<uint32_t>(n) : 0;
    return 1;
}

void plat_port_wait(port_handle h, uint32_t ms) {
    pollfd p = {port_of(h)->fd, POLLIN, 0};
    poll(&p, 1, static_cast<int>(ms)); // a signal cuts it short: the caller looks again
}

int plat_port_clear_break(port_handle h) {
    if (ioctl(port_of(h)->fd, TIOCCBRK) != 0) return fail(errno);
    return 1;
}

int plat_port_flush(port_handle h) {
    // tcdrain has no time-out, and with CTS held off it would wait for
    // ever: wait for the queue within the write time-outs first.
    serial_port *p = port_of(h);
    uint64_t start = now_ms();
    int64_t limit = -2; // set from the first look at the queue
    for (;;) {
        int queued = 0;
        if (ioctl(p->fd, TIOCOUTQ, &queued) != 0 || queued <= 0) break;
        if (limit == -2) limit = write_limit(p, static_cast<uint32_t>(queued));
        if (limit >= 0 && static_cast<int64_t>(now_ms() - start) > limit) return fail(ETIMEDOUT);
        timespec pause{0, 1000000};
        nanosleep(&pause, nullptr);
    }
    while (tcdrain(p->fd) != 0)
        if (errno != EINTR) return fail(errno);
    return 1;
}

int plat_port_transmit_char(port_handle h, char c) {
    // Termios cannot put a byte ahead of output already queued; the
    // character is written at once, on its own.
    uint32_t written = 0;
    if (!plat_port_write(h, &c, 1, &written)) return 0;
    if (written != 1) return fail(ETIMEDOUT);
    return 1;
}

int plat_port_lost(port_handle h, char *why, uint32_t size) {
    serial_port *p = port_of(h);
    if (!p) return 0;
    // A hang-up also wakes every poll at once: whoever waits on the port
    // would spin.
    pollfd pfd{p->fd, POLLIN, 0};
    bool hung_up = poll(&pfd, 1, 0) == 1 && (pfd.revents & (POLLHUP | POLLERR));
    int queued = 0;
    if (!hung_up && !p->gone) return 0;
    // What came before the hang-up is read first.
    if (ioctl(p->fd, FIONREAD, &queued) == 0 && queued > 0) return 0;
    if (why && hung_up) std::snprintf(why, size, "%s hung up", p->device.c_str());
    else if (why) std::snprintf(why, size, "%s: %s", p->device.c_str(), std::strerror(p->gone));
    return 1;
}

uint32_t plat_last_error() { return last_error; }
