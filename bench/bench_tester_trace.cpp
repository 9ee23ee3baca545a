// The tester with its line-traffic window open while the line is busy: every
// 10 ms a feedback read and a function-decoder write against the simulated
// Selectrix unit (the window gets four rows each time, so it reaches its row
// limit within the run). Beside it, in the same run, the same traffic with
// the window closed.
// - tester_trace_cpu_percent: CPU of the tester process with the window
//   open, in percent of one core; tester_trace_off_cpu_percent without it;
// - tester_trace_window_cpu_percent: the difference, what the window itself
//   costs;
// - tester_trace_rss_growth_kb: resident memory at the end of the run over
//   what it was once the window held its row limit (flat: near 0), and
//   tester_trace_full_seconds: how long the window took to get there;
//   tester_trace_rss_late_growth_kb over the last 20 s of the run alone (the
//   heap settles in the first seconds after the limit, then stays flat);
// - tester_trace_rows: rows in the window at the end (the limit).
//
// Each figure comes from a copy of this program ("--child open|closed PORT
// SECONDS") running the tester as the program does; it prints its figures on
// one line. `--seconds N` sets the run (default 60: the limit is reached in
// about 25 s and memory is then watched for the rest).

#include "BenchUtil.h"

#include "command_station/MivoComm.h"
#include "platform/Tick.h"
#include "serial/qt/ComComboBox.h"
#include "sim/SelectrixSim.h"
#include "tester/Program.h"
#include "tester/TraceWindow.h"
#include "tester/UnitQuorrin.h"

#include <QApplication>
#include <QCheckBox>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr int kSettleMs = 1500;
constexpr int kExchangeMs = 10;
constexpr int kLateSeconds = 20;

long RssKb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

struct CpuMeter {
    double cpu0 = bench::ProcessCpuUs();
    uint64_t wall0 = platform::MicroNow();
    double Percent() const {
        const double wall = static_cast<double>(platform::MicroNow() - wall0);
        return wall > 0 ? 100.0 * (bench::ProcessCpuUs() - cpu0) / wall : -1;
    }
};

int ChildTester(const std::string& port, bool open, int seconds) {
    static char name[] = "bench_tester_trace";
    static char* args[] = {name, nullptr};
    return tester::RunQuorrin(1, args, [=](tester::TFormQuorrin& form) {
        form.ComComboBoxPort->addItem(QString::fromStdString(port));
        form.ComComboBoxPort->SetText(port);
        form.Guarded([&] { form.ComComboBoxPortChange(); });
        form.CheckBoxPoortOpen->setChecked(true);
        auto* window = dynamic_cast<tester::TraceWindow*>(
            form.findChild<QWidget*>(QStringLiteral("FormLijnverkeer")));
        if (!form.MivoCom1->Connected() || !window) {
            std::printf("-1 -1 -1 -1 -1\n");
            form.close();
            return;
        }
        if (open) window->show();
        auto* traffic = new QTimer(&form);
        uint8_t value = 0;
        QObject::connect(traffic, &QTimer::timeout, &form, [&form, value]() mutable {
            std::string answer;
            form.MivoCom1->GetBezetmelder(12, 0, false, false, answer);
            form.MivoCom1->SelectrixFunctieDecoder(20, value++);
        });
        traffic->start(kExchangeMs);
        auto meter = std::make_shared<CpuMeter>();
        auto fullRss = std::make_shared<long>(-1);
        auto fullAt = std::make_shared<double>(-1);
        auto watch = new QTimer(&form);
        const uint64_t began = platform::MicroNow();
        QObject::connect(watch, &QTimer::timeout, &form, [window, fullRss, fullAt, began] {
            if (*fullRss >= 0 || window->Model().Rows().size() < tester::TraceWindow::kMaxRows)
                return;
            *fullRss = RssKb();
            *fullAt = static_cast<double>(platform::MicroNow() - began) / 1e6;
        });
        watch->start(200);
        auto lateRss = std::make_shared<long>(-1);
        QTimer::singleShot(kSettleMs + std::max(seconds - kLateSeconds, 0) * 1000, &form,
                           [lateRss] { *lateRss = RssKb(); });
        QTimer::singleShot(kSettleMs, &form, [=, &form] {
            *meter = CpuMeter{};
            QTimer::singleShot(seconds * 1000, &form, [=, &form] {
                const double cpu = meter->Percent();
                const long rss = RssKb();
                const long growth = *fullRss < 0 ? -1 : rss - *fullRss;
                // Only when the limit was reached before the last stretch began.
                const long late =
                    *fullRss < 0 || *fullAt * 1000 > kSettleMs + (seconds - kLateSeconds) * 1000
                        ? -1
                        : rss - *lateRss;
                std::printf("%.4f %ld %ld %zu %.1f\n", cpu, growth, late,
                            window->Model().Rows().size(), *fullAt);
                std::fflush(stdout);
                form.close();
            });
        });
    });
}

struct Child {
    pid_t pid = -1;
    int out = -1;
};

Child Start(const char* self, const char* kind, const std::string& port, int seconds) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    const std::string secs = std::to_string(seconds);
    const char* args[] = {self, "--child", kind, port.c_str(), secs.c_str(), nullptr};
    Child child;
    const int rc =
        posix_spawn(&child.pid, self, &actions, nullptr, const_cast<char**>(args), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        return {};
    }
    child.out = fds[0];
    return child;
}

struct Result {
    double cpu = -1;
    long growthKb = -1;
    long lateGrowthKb = -1;
    size_t rows = 0;
    double fullSeconds = -1;
};

Result Finish(Child child, int timeoutMs) {
    Result r;
    if (child.pid < 0) return r;
    std::string text;
    const platform::Deadline until = platform::Deadline::After(static_cast<uint32_t>(timeoutMs));
    for (;;) {
        pollfd p{child.out, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(until.Remaining())) <= 0) {
            kill(child.pid, SIGKILL);
            break;
        }
        char buf[256];
        const ssize_t got = read(child.out, buf, sizeof buf);
        if (got <= 0) break;
        text.append(buf, static_cast<size_t>(got));
    }
    close(child.out);
    waitpid(child.pid, nullptr, 0);
    if (std::sscanf(text.c_str(), "%lf %ld %ld %zu %lf", &r.cpu, &r.growthKb, &r.lateGrowthKb,
                    &r.rows, &r.fullSeconds) != 5)
        r.cpu = -1;
    return r;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 5 && std::strcmp(argv[1], "--child") == 0)
        return ChildTester(argv[3], std::strcmp(argv[2], "open") == 0, std::atoi(argv[4]));
    int seconds = 60;
    if (argc >= 3 && std::strcmp(argv[1], "--seconds") == 0) seconds = std::atoi(argv[2]);
    const int timeoutMs = (seconds + 30) * 1000;
    Result open, closed;
    {
        // One unit each, so the two runs do not share a line.
        sim::SelectrixSim openUnit, closedUnit;
        Child a = Start(argv[0], "open", openUnit.DevicePath(), seconds);
        Child b = Start(argv[0], "closed", closedUnit.DevicePath(), seconds);
        open = Finish(a, timeoutMs);
        closed = Finish(b, timeoutMs);
    }
    bench::Figure("tester_trace_cpu_percent", open.cpu);
    bench::Figure("tester_trace_off_cpu_percent", closed.cpu);
    bench::Figure("tester_trace_window_cpu_percent", open.cpu - closed.cpu);
    bench::Figure("tester_trace_rss_growth_kb", static_cast<double>(open.growthKb));
    bench::Figure("tester_trace_rss_late_growth_kb", static_cast<double>(open.lateGrowthKb));
    bench::Figure("tester_trace_full_seconds", open.fullSeconds);
    bench::Figure("tester_trace_rows", static_cast<double>(open.rows));
    return open.cpu < 0 || closed.cpu < 0 ? 1 : 0;
}
