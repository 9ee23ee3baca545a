// quorrin-cli from start to exit, reading one Selectrix address from its
// built-in simulator, beside the least a program can do for the same: start,
// open a pseudo-terminal, one request and its answer through it, exit. Both
// run as child processes in the same run, alternately, so the machine's load
// weighs on both alike.
//
// Figures: cli_run_ms (median of the CLI's runs), cli_raw_ms (the same for
// the minimal program) and cli_run_ratio (their quotient); cli_pty_run_ms,
// the CLI reading the same address from a simulator of this program behind a
// pseudo-terminal (--port), and cli_simulator_vs_pty_ratio, what the built-in
// simulator on its in-process line costs against that.
#include "BenchUtil.h"
#include "sim/SelectrixSim.h"
#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The minimal program: the two bytes of a Selectrix read go one way through
// a raw pty, one answer byte comes back.
int RawRoundTrip() {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return 1;
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    if (slave < 0) return 1;
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    const unsigned char request[2] = {12, 0x20};
    if (write(slave, request, 2) != 2) return 1;
    unsigned char got[2];
    size_t have = 0;
    while (have < 2) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0) return 1;
        const ssize_t n = read(master, got + have, 2 - have);
        if (n <= 0) return 1;
        have += static_cast<size_t>(n);
    }
    const unsigned char answer = 0;
    if (write(master, &answer, 1) != 1) return 1;
    pollfd p{slave, POLLIN, 0};
    if (poll(&p, 1, 1000) <= 0) return 1;
    unsigned char back;
    if (read(slave, &back, 1) != 1) return 1;
    close(slave);
    close(master);
    return 0;
}

// Runs argv to its end; milliseconds, or -1 when it failed.
double TimedRun(std::vector<std::string> args) {
    testsupport::Launch launch{std::move(args)};
    launch.out = launch.err = testsupport::Stdio::Null;
    const auto start = std::chrono::steady_clock::now();
    testsupport::Process child(launch);
    if (!child.Started()) return -1;
    const int status = child.Wait();
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    return testsupport::Process::ExitStatus(status) == 0 ? ms : -1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--raw-round-trip") == 0) return RawRoundTrip();
    constexpr int kRuns = 15;
    sim::SelectrixSim unit;
    std::vector<double> cli, raw, pty;
    for (int i = 0; i < kRuns; ++i) {
        const double c =
            TimedRun({QUORRIN_CLI, "--simulator", "--system", "selectrix", "feedback", "12"});
        const double r = TimedRun({argv[0], "--raw-round-trip"});
        const double p = TimedRun({QUORRIN_CLI, "--port", unit.DevicePath(), "feedback", "12"});
        if (c < 0 || r < 0 || p < 0) {
            std::fprintf(stderr, "bench_cli: a run failed\n");
            return 1;
        }
        cli.push_back(c);
        raw.push_back(r);
        pty.push_back(p);
    }
    const double cliMs = bench::Percentile(cli, 50);
    const double rawMs = bench::Percentile(raw, 50);
    bench::Figure("cli_run_ms", cliMs);
    bench::Figure("cli_raw_ms", rawMs);
    bench::Figure("cli_run_ratio", cliMs / rawMs);
    const double ptyMs = bench::Percentile(pty, 50);
    bench::Figure("cli_pty_run_ms", ptyMs);
    bench::Figure("cli_simulator_vs_pty_ratio", cliMs / ptyMs);
    return 0;
}
