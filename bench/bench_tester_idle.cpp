// Processor time of the tester left alone with the port open, all panels
// idle (only the timer's status read each 100 ms), against the simulated
// unit and against an interface that never answers; the "Programmer niet
// ready" procedure against an interface that falls silent after the claim;
// and a bare Qt window with a 100 ms timer beside it in the same run.
//
// The program starts copies of itself ("--child <kind> <port> <seconds>"),
// so that each figure is the CPU time of one whole process and the simulated
// unit (run here, in the parent) is not counted. Each child prints its
// percentage of one core on stdout.

#include "BenchUtil.h"

#include "command_station/MivoComm.h"
#include "platform/Host.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/RecordingHost.h"
#include "platform/Tick.h"
#include "serial/qt/ComComboBox.h"
#include "sim/LenzSim.h"
#include "sim/SelectrixSim.h"
#include "tester/Program.h"
#include "tester/UnitQuorrin.h"
#include "tests/support/RecordingHost.h"

#include "tester/Controls.h"
#include <QApplication>
#include <QCheckBox>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

constexpr int kSettleMs = 1500; // after the port is open, before measuring

// CPU time over a stretch of wall time, in percent of one core.
struct CpuMeter {
    double cpu0 = bench::ProcessCpuUs();
    uint64_t wall0 = platform::MicroNow();
    double Percent() const {
        const double wall = static_cast<double>(platform::MicroNow() - wall0);
        return wall > 0 ? 100.0 * (bench::ProcessCpuUs() - cpu0) / wall : -1;
    }
};

void PrintResult(double percent) {
    std::printf("%.4f\n", percent);
    std::fflush(stdout);
}

// The tester as the program runs it, the port opened on `port` as the user
// would; then `measure` runs (and closes the window when done).
int ChildTester(const std::string& port, const std::function<void(tester::TFormQuorrin&)>& measure,
                bool lenz = false) {
    static char name[] = "bench_tester_idle";
    static char system[] = "--system";
    static char lenzName[] = "lenz";
    static char* args[] = {name, system, lenzName, nullptr};
    static char* plain[] = {name, nullptr};
    return tester::RunQuorrin(lenz ? 3 : 1, lenz ? args : plain, [&](tester::TFormQuorrin& form) {
        form.ComComboBoxPort->addItem(QString::fromStdString(port));
        form.ComComboBoxPort->SetText(port);
        form.Guarded([&] { form.ComComboBoxPortChange(); });
        form.CheckBoxPoortOpen->setChecked(true);
        if (!form.MivoCom1->Connected()) {
            std::fprintf(stderr, "bench_tester_idle: cannot open %s\n", port.c_str());
            PrintResult(-1);
            form.close();
            return;
        }
        QTimer::singleShot(kSettleMs, &form, [&] { measure(form); });
    });
}

int ChildIdle(const std::string& port, int seconds) {
    auto meter = std::make_shared<CpuMeter>();
    return ChildTester(port, [seconds, meter](tester::TFormQuorrin& form) {
        *meter = CpuMeter{};
        QTimer::singleShot(seconds * 1000, &form, [&form, meter] {
            PrintResult(meter->Percent());
            form.close();
        });
    });
}

// The Lenz window with continuous feedback running on module 1.
int ChildLenz(const std::string& port, int seconds) {
    auto meter = std::make_shared<CpuMeter>();
    return ChildTester(
        port,
        [seconds, meter](tester::TFormQuorrin& form) {
            form.spn_bezetadres->SetValue(1);
            form.CheckBoxLeesCont->setChecked(true);
            form.ButtonLees->click();
            *meter = CpuMeter{};
            QTimer::singleShot(seconds * 1000, &form, [&form, meter] {
                PrintResult(meter->Percent());
                form.close();
            });
        },
        true);
}

int ChildProgrammer(const std::string& port) {
    return ChildTester(port, [](tester::TFormQuorrin& form) {
        // The box must not wait for a user: a recording host answers it.
        auto recording = std::make_unique<testsupport::RecordingHost>();
        double percent = -1;
        std::string shown;
        const CpuMeter meter;
        recording->onShow = [&](const testsupport::RecordingHost::Shown& m) {
            if (shown.empty()) percent = meter.Percent();
            shown = m.text;
        };
        form.ButtonVerify->click();
        recording.reset();
        if (shown != "Programmer niet ready") {
            std::fprintf(stderr, "bench_tester_idle: procedure ended with \"%s\"\n", shown.c_str());
            percent = -1;
        }
        PrintResult(percent);
        form.close();
    });
}

int ChildBare(int seconds) {
    static char name[] = "bench_tester_idle";
    static char* args[] = {name, nullptr};
    int argc = 1;
    QApplication app(argc, args);
    QWidget window;
    window.resize(489, 488);
    window.show();
    QTimer timer;
    int ticks = 0;
    QObject::connect(&timer, &QTimer::timeout, [&ticks] { ++ticks; });
    timer.start(100);
    auto meter = std::make_shared<CpuMeter>();
    QTimer::singleShot(kSettleMs, &window, [&, meter] {
        *meter = CpuMeter{};
        QTimer::singleShot(seconds * 1000, &window, [&, meter] {
            PrintResult(meter->Percent());
            window.close();
        });
    });
    return app.exec();
}

// A started child whose one output line is its figure.
using Child = std::unique_ptr<testsupport::Process>;

Child Start(const char* self, const char* kind, const std::string& port, int seconds) {
    testsupport::Launch launch{{self, "--child", kind, port, std::to_string(seconds)}};
    launch.out = testsupport::Stdio::Pipe;
    auto child = std::make_unique<testsupport::Process>(launch);
    if (!child->Started()) return nullptr;
    return child;
}

// The child's figure, or -1 when it failed or did not finish in time.
double Finish(Child child, int timeoutMs) {
    if (!child) return -1;
    std::string text;
    const platform::Deadline until = platform::Deadline::After(static_cast<uint32_t>(timeoutMs));
    for (;;) {
        pollfd p{child->Out(), POLLIN, 0};
        const int n = poll(&p, 1, static_cast<int>(until.Remaining()));
        if (n <= 0) {
            child->Signal(SIGKILL);
            break;
        }
        char buf[256];
        const ssize_t got = read(child->Out(), buf, sizeof buf);
        if (got <= 0) break;
        text.append(buf, static_cast<size_t>(got));
    }
    child->Wait();
    double value = -1;
    if (std::sscanf(text.c_str(), "%lf", &value) != 1) return -1;
    return value;
}

// Once the claim (106 := 64) has crossed the line, the unit stops answering.
void SilenceAfterClaim(sim::SelectrixSim& unit, std::atomic<bool>& stop) {
    size_t seen = 0;
    while (!stop) {
        const auto rec = unit.ReceivedBytes();
        for (size_t i = seen ? seen - 1 : 0; i + 1 < rec.size(); ++i) {
            if (rec[i].byte == 0x80 + 106 && rec[i + 1].byte == 64) {
                unit.SetSilent(true);
                return;
            }
        }
        seen = rec.size();
        unit.WaitForReceived(seen + 1, 100);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 5 && std::strcmp(argv[1], "--child") == 0) {
        const std::string kind = argv[2];
        const std::string port = argv[3];
        const int seconds = std::atoi(argv[4]);
        if (kind == "bare") return ChildBare(seconds);
        if (kind == "programmer") return ChildProgrammer(port);
        if (kind == "lenz") return ChildLenz(port, seconds);
        return ChildIdle(port, seconds);
    }
    // `--seconds N` shortens the idle stretches for a quick look.
    int seconds = 30;
    if (argc >= 3 && std::strcmp(argv[1], "--seconds") == 0) seconds = std::atoi(argv[2]);
    const int timeoutMs = (seconds + 30) * 1000;
    // The children keep no choice in the user's settings: a folder of their own.
    std::string config = "/tmp/quorrin-bench-XXXXXX";
    if (!mkdtemp(config.data())) return 1;
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);

    // The tester against the simulated unit, the bare window beside it.
    double sim = -1, bare = -1, silent = -1, programmer = -1;
    {
        sim::SelectrixSim unit;
        unit.SetTrackPower(true);
        Child bareChild = Start(argv[0], "bare", "-", seconds);
        Child simChild = Start(argv[0], "idle", unit.DevicePath(), seconds);
        bare = Finish(std::move(bareChild), timeoutMs);
        sim = Finish(std::move(simChild), timeoutMs);
    }
    {
        sim::SelectrixSim unit;
        unit.SetSilent(true);
        silent = Finish(Start(argv[0], "idle", unit.DevicePath(), seconds), timeoutMs);
    }
    {
        sim::SelectrixSim unit;
        unit.SetProgrammerNeverReady(true);
        std::atomic<bool> stop{false};
        std::thread silencer([&] { SilenceAfterClaim(unit, stop); });
        programmer = Finish(Start(argv[0], "programmer", unit.DevicePath(), 0), 60000);
        stop = true;
        silencer.join();
    }
    double lenz = -1;
    {
        sim::LenzSim unit;
        lenz = Finish(Start(argv[0], "lenz", unit.DevicePath(), seconds), timeoutMs);
    }
    std::filesystem::remove_all(config);
    bench::Figure("tester_idle_cpu_percent_sim", sim);
    bench::Figure("tester_idle_cpu_percent_lenz", lenz);
    bench::Figure("tester_idle_cpu_percent_silent", silent);
    bench::Figure("programmer_silent_cpu_percent", programmer);
    bench::Figure("qt_bare_idle_cpu_percent", bare);
    const bool failed = lenz < 0 || sim < 0 || silent < 0 || programmer < 0 || bare < 0;
    return failed ? 1 : 0;
}
