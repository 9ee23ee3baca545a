// The tester with its line-traffic window open while the line is busy,
// beside the same tester with the window closed, in the same run. Each runs
// two phases:
// - the stress phase: every 10 ms a feedback read and a function-decoder
//   write driven by this program, ten times what the tester does by itself
//   (the window gets four rows each time, so it reaches its row limit within
//   the phase): tester_trace_stress_cpu_percent (window open),
//   tester_trace_stress_off_cpu_percent (closed) and
//   tester_trace_stress_window_cpu_percent (the difference);
// - then the tester's own continuous reading and writing, switched on as a
//   user does (the feedback unit's and the function decoder's "Continue" and
//   Start), for `--seconds N` (default 60) with the window at its row limit
//   throughout: tester_trace_cpu_percent (window open),
//   tester_trace_off_cpu_percent, tester_trace_window_cpu_percent, and the
//   rows a second the window took then (tester_trace_rows_per_second);
//   tester_trace_rss_growth_kb is resident memory at the end over its start
//   (flat: near 0), tester_trace_rss_late_growth_kb over its last 20 s alone;
// - tester_trace_full_seconds: when the window reached its limit,
//   tester_trace_rows: rows in the window at the end (the limit).
//
// Each figure comes from a copy of this program ("--child open|closed PORT
// SECONDS") running the tester as the program does; it prints its figures on
// one line.

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
#include <QPushButton>
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
constexpr int kStressSeconds = 30; // the limit is reached after about 24 s
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

// What one child prints: both phases' CPU, then memory and rows.
struct Result {
    double stressCpu = -1;
    double cpu = -1;
    long growthKb = -1;
    long lateGrowthKb = -1;
    size_t rows = 0;
    double fullSeconds = -1;
    double rowsPerSecond = -1;
};

void Print(const Result& r) {
    std::printf("%.4f %.4f %ld %ld %zu %.1f %.1f\n", r.stressCpu, r.cpu, r.growthKb,
                r.lateGrowthKb, r.rows, r.fullSeconds, r.rowsPerSecond);
    std::fflush(stdout);
}

bool Parse(const std::string& text, Result& r) {
    return std::sscanf(text.c_str(), "%lf %lf %ld %ld %zu %lf %lf", &r.stressCpu, &r.cpu,
                       &r.growthKb, &r.lateGrowthKb, &r.rows, &r.fullSeconds,
                       &r.rowsPerSecond) == 7;
}

// The tester's own continuous reading (feedback unit 12) and writing
// (function decoder 20), as a user switches them on.
void StartContinuous(tester::TFormQuorrin& form) {
    form.spn_bezetadres->SetValue(12);
    form.spn_funcadres->SetValue(20);
    form.CheckBoxLeesCont->setChecked(true);
    form.ButtonLees->click();
    form.CheckBoxSchrijfCont->setChecked(true);
    form.ButtonVerstuur->click();
}

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
            Print({});
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
        auto r = std::make_shared<Result>();
        auto meter = std::make_shared<CpuMeter>();
        const uint64_t began = platform::MicroNow();
        auto* watch = new QTimer(&form);
        QObject::connect(watch, &QTimer::timeout, &form, [window, r, began] {
            if (r->fullSeconds >= 0 || window->Model().Rows().size() < tester::TraceWindow::kMaxRows)
                return;
            r->fullSeconds = static_cast<double>(platform::MicroNow() - began) / 1e6;
        });
        watch->start(200);
        QTimer::singleShot(kSettleMs, &form, [=] { *meter = CpuMeter{}; });
        QTimer::singleShot(kSettleMs + kStressSeconds * 1000, &form, [=, &form] {
            r->stressCpu = meter->Percent();
            traffic->stop();
            StartContinuous(form);
            *meter = CpuMeter{};
            // Memory is watched only with the window already at its limit.
            const bool full = window->Model().Rows().size() >= tester::TraceWindow::kMaxRows;
            const long startRss = full ? RssKb() : -1;
            const size_t startAdded = window->Model().Rows().size() + window->Model().Dropped();
            auto lateRss = std::make_shared<long>(-1);
            QTimer::singleShot(std::max(seconds - kLateSeconds, 0) * 1000, &form,
                               [lateRss, full] { *lateRss = full ? RssKb() : -1; });
            QTimer::singleShot(seconds * 1000, &form, [=, &form] {
                r->cpu = meter->Percent();
                const long rss = RssKb();
                r->growthKb = startRss < 0 ? -1 : rss - startRss;
                r->lateGrowthKb = *lateRss < 0 ? -1 : rss - *lateRss;
                r->rows = window->Model().Rows().size();
                if (open)
                    r->rowsPerSecond = static_cast<double>(window->Model().Rows().size() +
                                                           window->Model().Dropped() - startAdded) /
                                       seconds;
                Print(*r);
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
    if (!Parse(text, r)) r = {};
    return r;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 5 && std::strcmp(argv[1], "--child") == 0)
        return ChildTester(argv[3], std::strcmp(argv[2], "open") == 0, std::atoi(argv[4]));
    int seconds = 60;
    if (argc >= 3 && std::strcmp(argv[1], "--seconds") == 0) seconds = std::atoi(argv[2]);
    const int timeoutMs = (kStressSeconds + seconds + 30) * 1000;
    Result open, closed;
    {
        // One unit each, so the two runs do not share a line.
        sim::SelectrixSim openUnit, closedUnit;
        Child a = Start(argv[0], "open", openUnit.DevicePath(), seconds);
        Child b = Start(argv[0], "closed", closedUnit.DevicePath(), seconds);
        open = Finish(a, timeoutMs);
        closed = Finish(b, timeoutMs);
    }
    bench::Figure("tester_trace_stress_cpu_percent", open.stressCpu);
    bench::Figure("tester_trace_stress_off_cpu_percent", closed.stressCpu);
    bench::Figure("tester_trace_stress_window_cpu_percent", open.stressCpu - closed.stressCpu);
    bench::Figure("tester_trace_cpu_percent", open.cpu);
    bench::Figure("tester_trace_off_cpu_percent", closed.cpu);
    bench::Figure("tester_trace_window_cpu_percent", open.cpu - closed.cpu);
    bench::Figure("tester_trace_rss_growth_kb", static_cast<double>(open.growthKb));
    bench::Figure("tester_trace_rss_late_growth_kb", static_cast<double>(open.lateGrowthKb));
    bench::Figure("tester_trace_full_seconds", open.fullSeconds);
    bench::Figure("tester_trace_rows", static_cast<double>(open.rows));
    bench::Figure("tester_trace_rows_per_second", open.rowsPerSecond);
    return open.cpu < 0 || closed.cpu < 0 || open.stressCpu < 0 || closed.stressCpu < 0 ? 1 : 0;
}
