// Test harness only, never shipped: an LD_PRELOAD library for wine that
// gives a pseudo-terminal modem lines and line-error counters. Wine asks the
// tty for them (TIOCMGET, TIOCGICOUNT) to serve GetCommModemStatus and
// WaitCommEvent; a pty has none and the calls fail. Here those calls on a
// pseudo-terminal slave answer from the file $QUORRIN_MODEM_FILE, one line
// "BITS FRAME OVERRUN PARITY BREAK" (BITS: the TIOCM_* bits, decimal), which
// the test rewrites to change a line or count an error. DTR/RTS changes are
// taken and forgotten. Every other call goes to the C library.
#include <sys/ioctl.h>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <linux/serial.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

using IoctlFn = int (*)(int, unsigned long, void*);

bool IsPtySlave(int fd) {
    struct stat st {};
    // Unix98 pty slaves have majors 136..143.
    return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 &&
           major(st.st_rdev) <= 143;
}

bool ReadState(long values[5]) {
    const char* path = std::getenv("QUORRIN_MODEM_FILE");
    if (!path) return false;
    FILE* f = std::fopen(path, "r");
    if (!f) return false;
    const int n = std::fscanf(f, "%ld %ld %ld %ld %ld", &values[0], &values[1], &values[2],
                              &values[3], &values[4]);
    std::fclose(f);
    return n == 5;
}

} // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    static IoctlFn real = reinterpret_cast<IoctlFn>(dlsym(RTLD_NEXT, "ioctl"));
    long state[5];
    switch (request) {
    case TIOCMGET:
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC:
    case TIOCGICOUNT:
        if (!IsPtySlave(fd) || !ReadState(state)) break;
        if (request == TIOCMGET) {
            *static_cast<int*>(arg) = static_cast<int>(state[0]);
        } else if (request == TIOCGICOUNT) {
            auto* ic = static_cast<serial_icounter_struct*>(arg);
            std::memset(ic, 0, sizeof *ic);
            ic->frame = static_cast<int>(state[1]);
            ic->overrun = static_cast<int>(state[2]);
            ic->parity = static_cast<int>(state[3]);
            ic->brk = static_cast<int>(state[4]);
        }
        return 0;
    default:
        break;
    }
    return real(fd, request, arg);
}
