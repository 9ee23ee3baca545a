// Start-up time of the tester, from process start to the main window shown
// with its message loop running (less the splash's one-second hold), beside
// a bare Qt window with a 100 ms timer started the same way in the same run;
// and the resident memory of the idle tester.
//
// The program starts copies of itself: "--child tester" runs the tester's
// own start-up, "--child bare" the bare window. Each child writes the
// monotonic time at which its loop ran, and its resident memory, to stdout.
#include "BenchUtil.h"

#include "tests/support/ChildProcess.h"
#include "tester/Program.h"
#include "tester/UnitQuorrin.h"

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

constexpr double kHoldMs = 1000.0; // FormShow's splash hold
constexpr int kRounds = 7;

double MonotonicUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

double RssMb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    return 0;
}

void Report(double rssMb) {
    std::printf("%.1f %.3f\n", MonotonicUs(), rssMb);
    std::fflush(stdout);
}

int ChildTester(int argc, char** argv, bool idle) {
    return tester::RunQuorrin(argc, argv, [idle](tester::TFormQuorrin& form) {
        if (!idle) {
            Report(0);
            form.close();
            return;
        }
        const double at = MonotonicUs();
        // Idle for a while with the timer ticking, then measure the memory.
        QTimer::singleShot(2000, &form, [&form, at] {
            std::printf("%.1f %.3f\n", at, RssMb());
            std::fflush(stdout);
            form.close();
        });
    });
}

int ChildBare(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window;
    window.resize(489, 488);
    QTimer timer;
    timer.start(100);
    window.show();
    QTimer::singleShot(0, &window, [&] {
        Report(RssMb());
        window.close();
    });
    return app.exec();
}

// Starts a child and returns {milliseconds from spawn to its loop, its RSS}.
std::pair<double, double> Run(const char* self, const char* kind, bool idle) {
    testsupport::Launch launch{{self, "--child", kind, idle ? "idle" : "once"}};
    launch.out = testsupport::Stdio::Pipe;
    const double start = MonotonicUs();
    testsupport::Process child(launch);
    if (!child.Started()) return {-1, 0};
    const std::string text = child.ReadAll();
    child.Wait();
    double at = 0, rss = 0;
    if (std::sscanf(text.c_str(), "%lf %lf", &at, &rss) != 2) return {-1, 0};
    return {(at - start) / 1000.0, rss};
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--child") == 0) {
        const bool idle = argc >= 4 && std::strcmp(argv[3], "idle") == 0;
        int childArgc = 1;
        if (std::strcmp(argv[2], "tester") == 0) return ChildTester(childArgc, argv, idle);
        if (std::strcmp(argv[2], "lenz") == 0) {
            // The Lenz window on its simulator, as `quorrin --system lenz --simulator`.
            char system[] = "--system", lenz[] = "lenz", simulator[] = "--simulator";
            char* args[] = {argv[0], system, lenz, simulator, nullptr};
            int lenzArgc = 4;
            return ChildTester(lenzArgc, args, idle);
        }
        return ChildBare(childArgc, argv);
    }
    // The children keep no choice in the user's settings: a folder of their own.
    std::string config = "/tmp/quorrin-bench-XXXXXX";
    if (!mkdtemp(config.data())) return 1;
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);

    std::vector<double> bare, tester, lenz;
    for (int round = 0; round < kRounds; ++round) {
        const auto b = Run(argv[0], "bare", false);
        const auto t = Run(argv[0], "tester", false);
        const auto l = Run(argv[0], "lenz", false);
        if (b.first < 0 || t.first < 0 || l.first < 0) {
            std::fprintf(stderr, "bench_tester_startup: a child failed\n");
            std::filesystem::remove_all(config);
            return 1;
        }
        bare.push_back(b.first);
        tester.push_back(t.first - kHoldMs);
        lenz.push_back(l.first - kHoldMs);
    }
    const auto idle = Run(argv[0], "tester", true);
    const double startup = bench::Percentile(tester, 50);
    const double baseline = bench::Percentile(bare, 50);
    bench::Figure("startup_ms", startup);
    bench::Figure("bare_window_startup_ms", baseline);
    bench::Figure("startup_ratio", baseline > 0 ? startup / baseline : 0);
    bench::Figure("idle_rss_mb", idle.second);
    const double lenzStartup = bench::Percentile(lenz, 50);
    bench::Figure("tester_startup_ms_lenz", lenzStartup);
    bench::Figure("tester_startup_ratio_lenz", baseline > 0 ? lenzStartup / baseline : 0);
    std::filesystem::remove_all(config);
    return 0;
}
