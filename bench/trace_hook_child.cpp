// One side of trace_off_roundtrip_ratio (bench_trace): the component's
// Selectrix read (GetBezetmelder of address 12) against a simulated unit of
// its own, once for each byte that comes on standard input; each read's time
// in microseconds and whether its answer came go back as one line
// ("10.412 1"). Built twice from this file: with the serial layer as it ships
// (the trace hook in, no observer set) and with a copy built without the hook.
//
// The program and its unit's thread keep to the one processor given: a read
// takes several times longer when the unit's thread wakes on another
// processor than the reader's, and the two builds must not differ in that.
#include "command_station/MivoComm.h"
#include "sim/SelectrixSim.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <sched.h>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PROCESSOR\n", argv[0]);
        return 2;
    }
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(std::atoi(argv[1]), &one);
    if (sched_setaffinity(0, sizeof one, &one) != 0) std::perror("sched_setaffinity");
    try {
        sim::SelectrixSim unit;
        unit.SetBus(12, 0xA5);
        command_station::TMivoCom com;
        com.SetDigitaalSysteem(command_station::dsSelectrix);
        com.SetPort(unit.DevicePath());
        com.OpenPort();
        std::string answer;
        char go = 0;
        while (read(STDIN_FILENO, &go, 1) == 1) {
            const auto t0 = std::chrono::steady_clock::now();
            com.GetBezetmelder(12, 0, false, false, answer);
            const auto t1 = std::chrono::steady_clock::now();
            std::printf("%.3f %d\n", std::chrono::duration<double, std::micro>(t1 - t0).count(),
                        answer.size() == 1 ? 1 : 0);
            std::fflush(stdout);
        }
        com.ClosePort();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
        return 1;
    }
    return 0;
}
