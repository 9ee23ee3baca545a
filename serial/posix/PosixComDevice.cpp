// The device layer on Linux: termios2 for the line settings, poll() for the
// waits, the TIOCM* calls for the modem lines. <termios.h> is not used: its
// struct clashes with the kernel's termios2, which carries any bit rate.
#include "serial/posix/PosixComDevice.h"

#include <asm/termbits.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace serial {
namespace {

static_assert(sizeof(TermiosImage::c_cc) == NCCS);

// The device number of /dev/ptmx (and /dev/pts/ptmx).
constexpr unsigned kPtmxMajor = 5;
constexpr unsigned kPtmxMinor = 2;

// Pseudo-terminals and other devices without modem lines answer these.
bool NoModemLines(int err) {
    return err == ENOTTY || err == EINVAL;
}

int Ioctl(int fd, unsigned long request, void* arg) {
    for (;;) {
        if (ioctl(fd, request, arg) == 0) return 0;
        if (errno != EINTR) return errno;
    }
}

int Ioctl(int fd, unsigned long request, long arg) {
    for (;;) {
        if (ioctl(fd, request, arg) == 0) return 0;
        if (errno != EINTR) return errno;
    }
}

int WaitFor(int fd, short events, int timeoutMs, bool& ready) {
    ready = false;
    if (fd < 0) return EBADF;
    pollfd p{fd, events, 0};
    for (;;) {
        int r = poll(&p, 1, timeoutMs < 0 ? -1 : timeoutMs);
        if (r > 0) {
            if (p.revents & POLLNVAL) return EBADF;
            // A hang-up or error counts as ready: the transfer then reports it.
            ready = true;
            return 0;
        }
        if (r == 0) return 0;
        if (errno != EINTR) return errno;
        // Interrupted: the caller's deadline logic re-evaluates the rest.
        return 0;
    }
}

// Raw mode: no echo, no line editing, no translation, no signals; the
// character format and rate stay as they are.
void MakeRaw(TermiosImage& t) {
    t.c_iflag &= ~static_cast<uint32_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY | INPCK | IGNPAR | IUCLC | IMAXBEL);
    t.c_oflag &= ~static_cast<uint32_t>(OPOST);
    t.c_lflag &= ~static_cast<uint32_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN |
                                        ECHOCTL | ECHOKE | ECHOPRT | NOFLSH | TOSTOP | XCASE);
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cc[VMIN] = 1; // a non-blocking read then says EAGAIN instead of 0
    t.c_cc[VTIME] = 0;
}

} // namespace

// ---------------------------------------------------------------- pure helpers

int DcbToTermios(const Dcb& dcb, const TermiosImage& current, TermiosImage& out) {
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > 4 || dcb.StopBits > 2 ||
        dcb.BaudRate == 0 || dcb.BaudRate > 0x7FFFFFFFu)
        return EINVAL;
    // The kernel cannot tell the two characters apart either.
    if ((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar) return EINVAL;

    out = current;
    MakeRaw(out);
    if (dcb.fParity) out.c_iflag |= INPCK | PARMRK;
    if (dcb.fOutX) out.c_iflag |= IXON;
    if (dcb.fInX) out.c_iflag |= IXOFF;

    out.c_cflag &= ~static_cast<uint32_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS |
                                          CBAUD | CIBAUD);
    static constexpr uint32_t kSizes[] = {CS5, CS6, CS7, CS8};
    out.c_cflag |= kSizes[dcb.ByteSize - 5] | BOTHER;
    switch (dcb.Parity) {
    case 1:
        out.c_cflag |= PARENB | PARODD;
        break;
    case 2:
        out.c_cflag |= PARENB;
        break;
    case 3:
        out.c_cflag |= PARENB | PARODD | CMSPAR;
        break;
    case 4:
        out.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    if (dcb.StopBits != 0) out.c_cflag |= CSTOPB;
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == 2) out.c_cflag |= CRTSCTS;
    // CIBAUD left zero: input runs at the output rate.
    out.c_ospeed = out.c_ispeed = dcb.BaudRate;

    out.c_cc[VSTART] = dcb.XonChar;
    out.c_cc[VSTOP] = dcb.XoffChar;
    return 0;
}

int ReadTermios(int fd, TermiosImage& out) {
    struct termios2 t {};
    if (int err = Ioctl(fd, TCGETS2, &t)) return err;
    out.c_iflag = t.c_iflag;
    out.c_oflag = t.c_oflag;
    out.c_cflag = t.c_cflag;
    out.c_lflag = t.c_lflag;
    out.c_line = t.c_line;
    std::memcpy(out.c_cc, t.c_cc, sizeof out.c_cc);
    out.c_ispeed = t.c_ispeed;
    out.c_ospeed = t.c_ospeed;
    return 0;
}

int WriteTermios(int fd, const TermiosImage& in) {
    struct termios2 t {};
    t.c_iflag = in.c_iflag;
    t.c_oflag = in.c_oflag;
    t.c_cflag = in.c_cflag;
    t.c_lflag = in.c_lflag;
    t.c_line = in.c_line;
    std::memcpy(t.c_cc, in.c_cc, sizeof t.c_cc);
    t.c_ispeed = in.c_ispeed;
    t.c_ospeed = in.c_ospeed;
    return Ioctl(fd, TCSETS2, &t);
}

std::string DevicePathForPort(const std::string& port) {
    static const std::string kWindowsPrefix = "\\\\.\\";
    std::string name = port;
    if (name.rfind(kWindowsPrefix, 0) == 0) name.erase(0, kWindowsPrefix.size());
    if (!name.empty() && name[0] == '/') return name;
    return "/dev/" + name;
}

// ---------------------------------------------------------------- open and close

PosixComDevice::PosixComDevice() = default;

PosixComDevice::~PosixComDevice() {
    Close();
}

int PosixComDevice::Open(const std::string& path) {
    if (fd_ >= 0) return EBUSY;
    // The kernel would read the path only up to a NUL: another device.
    if (path.find('\0') != std::string::npos) return EINVAL;
    // Refuse what is not a character device before opening it: opening has
    // side effects on some files (a FIFO, a directory).
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return errno;
    if (S_ISDIR(st.st_mode)) return EISDIR;
    if (!S_ISCHR(st.st_mode)) return ENOTTY;
    // The pseudo-terminal multiplexer hands out a fresh master that nothing
    // is attached to: a terminal, but no line to anything.
    if (major(st.st_rdev) == kPtmxMajor && minor(st.st_rdev) == kPtmxMinor) return ENOTTY;

    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
    auto fail = [fd](int err) {
        close(fd);
        return err;
    };
    TermiosImage current;
    if (int err = ReadTermios(fd, current)) return fail(err);
    // Exclusive like the platform's unshared open: TIOCEXCL keeps out other
    // opens of the device (root excepted), the advisory lock keeps out
    // everyone who honours it, this program's own second open included.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(errno == EWOULDBLOCK ? EBUSY : errno);
    if (int err = Ioctl(fd, TIOCEXCL, 0L)) return fail(err);

    // Raw from the start, keeping rate and character format, so nothing is
    // echoed or translated even before the line settings are applied.
    TermiosImage raw = current;
    MakeRaw(raw);
    if (int err = WriteTermios(fd, raw)) {
        Ioctl(fd, TIOCNXCL, 0L);
        return fail(err);
    }

    int bits = 0;
    modemLines_ = !NoModemLines(Ioctl(fd, TIOCMGET, &bits));
    serial_icounter_struct ic{};
    countersKnown_ = Ioctl(fd, TIOCGICOUNT, &ic) == 0;
    if (countersKnown_) counters_ = {ic.frame, ic.overrun, ic.parity, ic.brk, ic.buf_overrun};
    fd_ = fd;
    locked_ = true;
    dcb_ = Dcb{};
    decoder_.Configure(false, false, 0, false);
    return 0;
}

void PosixComDevice::Close() {
    events_.reset();
    if (fd_ < 0) return;
    // Output still queued in the driver (a write that ran into its time-out
    // on a held line) would make close() wait for the line, up to half a
    // minute: drop it. Output the driver has already passed on stays sent —
    // flushing unconditionally would also throw away, on a pseudo-terminal,
    // the last bytes the peer has not read yet (the power-off before close).
    int queued = 0;
    if (Ioctl(fd_, TIOCOUTQ, &queued) == 0 && queued > 0)
        Ioctl(fd_, TCFLSH, static_cast<long>(TCOFLUSH));
    Ioctl(fd_, TIOCNXCL, 0L);
    if (locked_) flock(fd_, LOCK_UN);
    close(fd_);
    fd_ = -1;
    locked_ = false;
    decoder_.Reset();
}

// ---------------------------------------------------------------- settings

int PosixComDevice::SetLine(unsigned long request, int bit) {
    if (!modemLines_) return 0;
    return Ioctl(fd_, request, &bit);
}

int PosixComDevice::SetState(const Dcb& dcb) {
    if (fd_ < 0) return EBADF;
    TermiosImage current, wanted;
    if (int err = ReadTermios(fd_, current)) return err;
    if (int err = DcbToTermios(dcb, current, wanted)) return err;
    if (int err = WriteTermios(fd_, wanted)) return err;
    dcb_ = dcb;
    decoder_.Configure(dcb.fParity, dcb.fErrorChar, dcb.ErrorChar, dcb.fNull);
    // DTR and RTS return to their configured state on every apply. The
    // handshake and toggle modes have no driver of their own here: high.
    if (int err = SetLine(dcb.fDtrControl == 0 ? TIOCMBIC : TIOCMBIS, TIOCM_DTR)) return err;
    // Under CRTSCTS the kernel drives RTS itself.
    if (!(wanted.c_cflag & CRTSCTS))
        if (int err = SetLine(dcb.fRtsControl == 0 ? TIOCMBIC : TIOCMBIS, TIOCM_RTS)) return err;
    return 0;
}

int PosixComDevice::SetTimeouts(const CommTimeouts&) {
    // The limits are kept and honoured above the device; here only the
    // device must still be there.
    if (fd_ < 0) return EBADF;
    TermiosImage t;
    return ReadTermios(fd_, t);
}

int PosixComDevice::SetupQueues(int32_t, int32_t) {
    // Linux tty queues have a fixed size; the sizes are a recommendation.
    if (fd_ < 0) return EBADF;
    TermiosImage t;
    return ReadTermios(fd_, t);
}

// ---------------------------------------------------------------- transfer

void InputDecoder::Configure(bool marks, bool replace, uint8_t replaceChar, bool dropNull) {
    marks_ = marks;
    replace_ = replace;
    replaceChar_ = replaceChar;
    dropNull_ = dropNull;
    carryLen_ = 0;
}

size_t InputDecoder::Decode(uint8_t* buffer, size_t n) {
    size_t out = 0;
    auto data = [&](uint8_t b) {
        if (!(dropNull_ && b == 0)) buffer[out++] = b;
    };
    // `out` never passes the read position: every input byte yields at most
    // one output byte, and carried bytes yield none until their mark ends.
    for (size_t i = 0; i < n; ++i) {
        uint8_t b = buffer[i];
        if (!marks_) {
            data(b);
        } else if (carryLen_ == 0) {
            if (b == 0xFF)
                carry_[carryLen_++] = b;
            else
                data(b);
        } else if (carryLen_ == 1) {
            if (b == 0x00) {
                carry_[carryLen_++] = b;
            } else {
                carryLen_ = 0;
                // 0xFF 0xFF is a real 0xFF. A lone 0xFF before another byte
                // is never sent by the kernel; it is dropped so that decoding
                // in place cannot overtake the input.
                if (b == 0xFF)
                    data(0xFF);
                else
                    data(b);
            }
        } else {
            carryLen_ = 0;
            if (replace_)
                buffer[out++] = replaceChar_;
            else
                data(b);
        }
    }
    return out;
}

int PosixComDevice::ReadSome(void* buffer, size_t count, size_t& done) {
    done = 0;
    if (fd_ < 0) return EBADF;
    if (count == 0) return 0;
    auto* bytes = static_cast<uint8_t*>(buffer);
    // Decoding only shrinks, so reading at most `count` raw bytes always fits.
    for (;;) {
        ssize_t n = read(fd_, bytes, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
            return errno;
        }
        // With VMIN 1 a terminal reads 0 bytes only once it was hung up.
        if (n == 0) return EIO;
        done = decoder_.Transparent() ? static_cast<size_t>(n)
                                      : decoder_.Decode(bytes, static_cast<size_t>(n));
        if (done > 0 || static_cast<size_t>(n) < count) return 0;
        // Everything read was marks or discarded zeros and more may wait.
    }
}

int PosixComDevice::WriteSome(const void* buffer, size_t count, size_t& done) {
    done = 0;
    if (fd_ < 0) return EBADF;
    if (count == 0) return 0;
    for (;;) {
        ssize_t n = write(fd_, buffer, count);
        if (n >= 0) {
            done = static_cast<size_t>(n);
            return 0;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        return errno;
    }
}

int PosixComDevice::WaitReadable(int timeoutMs, bool& ready) {
    return WaitFor(fd_, POLLIN, timeoutMs, ready);
}

int PosixComDevice::WaitWritable(int timeoutMs, bool& ready) {
    return WaitFor(fd_, POLLOUT, timeoutMs, ready);
}

int PosixComDevice::OutputPending(uint32_t& count) {
    count = 0;
    if (fd_ < 0) return EBADF;
    int n = 0;
    if (int err = Ioctl(fd_, TIOCOUTQ, &n)) return err;
    count = n > 0 ? static_cast<uint32_t>(n) : 0;
    return 0;
}

// ---------------------------------------------------------------- status and line control

int PosixComDevice::ClearError(ComStatus& status) {
    status = ComStatus{};
    if (fd_ < 0) return EBADF;
    int in = 0, out = 0;
    if (int err = Ioctl(fd_, FIONREAD, &in)) return err;
    if (int err = Ioctl(fd_, TIOCOUTQ, &out)) return err;
    status.inQueue = in > 0 ? static_cast<uint32_t>(in) : 0;
    status.outQueue = out > 0 ? static_cast<uint32_t>(out) : 0;

    if (countersKnown_) {
        std::lock_guard lock(countersMutex_);
        serial_icounter_struct ic{};
        if (int err = Ioctl(fd_, TIOCGICOUNT, &ic)) return err;
        if (ic.frame != counters_.frame) status.errors |= CE_FRAME;
        if (ic.overrun != counters_.overrun) status.errors |= CE_OVERRUN;
        if (ic.parity != counters_.parity) status.errors |= CE_RXPARITY;
        if (ic.brk != counters_.brk) status.errors |= CE_BREAK;
        if (ic.buf_overrun != counters_.bufOverrun) status.errors |= CE_RXOVER;
        counters_ = {ic.frame, ic.overrun, ic.parity, ic.brk, ic.buf_overrun};
    }
    // Output held for CTS: the kernel holds it whenever CRTSCTS is on and CTS
    // is low. XOFF holds are not visible from user space.
    if (modemLines_ && (dcb_.fOutxCtsFlow || dcb_.fRtsControl == 2)) {
        int bits = 0;
        if (int err = Ioctl(fd_, TIOCMGET, &bits)) return err;
        if (!(bits & TIOCM_CTS)) status.holdFlags |= 0x01;
    }
    return 0;
}

int PosixComDevice::ModemStatus(uint32_t& msBits) {
    msBits = 0;
    if (fd_ < 0) return EBADF;
    if (!modemLines_) {
        msBits = MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON;
        return 0;
    }
    int bits = 0;
    if (int err = Ioctl(fd_, TIOCMGET, &bits)) return err;
    if (bits & TIOCM_CTS) msBits |= MS_CTS_ON;
    if (bits & TIOCM_DSR) msBits |= MS_DSR_ON;
    if (bits & TIOCM_RNG) msBits |= MS_RING_ON;
    if (bits & TIOCM_CAR) msBits |= MS_RLSD_ON;
    return 0;
}

int PosixComDevice::Purge(uint32_t flags) {
    if (fd_ < 0) return EBADF;
    // Reads and writes never outlive their call here, so aborting them
    // (the ABORT flags) has nothing to cancel and discards no data: only the
    // CLEAR flags empty a queue. Each purge still asks the device, which
    // tells a device that has gone away.
    bool in = flags & PURGE_RXCLEAR;
    bool out = flags & PURGE_TXCLEAR;
    long which = in && out ? TCIOFLUSH : in ? TCIFLUSH : out ? TCOFLUSH : -1;
    if (in) decoder_.Reset();
    if (which < 0) {
        TermiosImage t;
        return ReadTermios(fd_, t);
    }
    return Ioctl(fd_, TCFLSH, which);
}

int PosixComDevice::EscapeFunction(Escape fn) {
    if (fd_ < 0) return EBADF;
    switch (fn) {
    case Escape::SetDTR:
        return SetLine(TIOCMBIS, TIOCM_DTR);
    case Escape::ClrDTR:
        return SetLine(TIOCMBIC, TIOCM_DTR);
    case Escape::SetRTS:
        return SetLine(TIOCMBIS, TIOCM_RTS);
    case Escape::ClrRTS:
        return SetLine(TIOCMBIC, TIOCM_RTS);
    case Escape::SetBreak:
    case Escape::ClrBreak: {
        int err = Ioctl(fd_, fn == Escape::SetBreak ? TIOCSBRK : TIOCCBRK, 0L);
        return (err && !modemLines_ && NoModemLines(err)) ? 0 : err;
    }
    }
    return EINVAL;
}

} // namespace serial
