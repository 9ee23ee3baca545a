// The tester window against the simulated Selectrix unit over a
// pseudo-terminal, with a recording message-box service.
//
// Timer1 is stopped right after the window is built so that a test decides
// when a tick happens (Tick()); tests about the running timer start it again.
// A FaultSwitch between the port and the real termios device lets a test make
// the serial layer fail (EIO) at a moment of its choosing.
#pragma once

#include "command_station/MivoComm.h"
#include "platform/Host.h"
#include "tests/support/RecordingHost.h"
#include "platform/Tick.h"
#include "serial/posix/PosixComDevice.h"
#include "sim/SelectrixSim.h"
#include "tester/Controls.h"
#include "tester/UnitQuorrin.h"

#include <QApplication>
#include <QCheckBox>
#include <QEventLoop>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace tester::testing {

inline void EnsureApplication() {
    if (QApplication::instance()) return;
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "tests_tester";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
}

// Writes and purges fail with EIO while `writesToFail` is above 0 (each
// failed write counts one down; -1 fails until set back to 0).
struct FaultSwitch {
    std::atomic<int> writesToFail{0};
    std::atomic<bool> purgeFails{false};
};

class FaultyDevice : public serial::PosixComDevice {
  public:
    explicit FaultyDevice(std::shared_ptr<FaultSwitch> faults) : faults_(std::move(faults)) {}

    int WriteSome(const void* buffer, size_t count, size_t& done) override {
        int left = faults_->writesToFail.load();
        if (left != 0) {
            if (left > 0) faults_->writesToFail.store(left - 1);
            done = 0;
            return EIO;
        }
        return PosixComDevice::WriteSome(buffer, count, done);
    }
    int Purge(uint32_t flags) override {
        if (faults_->purgeFails) return EIO;
        return PosixComDevice::Purge(flags);
    }

  private:
    std::shared_ptr<FaultSwitch> faults_;
};

inline std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values)
        s.push_back(static_cast<char>(v));
    return s;
}

// A real mouse click where the control takes it: a check box on its box,
// anything else in its middle. A disabled control ignores it.
inline void Click(QWidget* w) {
    if (qobject_cast<QCheckBox*>(w))
        QTest::mouseClick(w, Qt::LeftButton, {}, QPoint(7, w->height() / 2));
    else
        QTest::mouseClick(w, Qt::LeftButton, {}, w->rect().center());
}

// Brings a check box to `on` by clicking it when it is not there yet.
inline void SetBox(QCheckBox* box, bool on) {
    if (box->isChecked() != on) Click(box);
    ASSERT_EQ(box->isChecked(), on);
}

// Runs the event loop (blocking, no spinning) for `ms` milliseconds.
inline void RunEventsFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

class PanelsTest : public ::testing::Test {
  protected:
    // Counter value the test starts from; time-dependent tests set it just
    // before the wrap in their constructor.
    explicit PanelsTest(uint32_t tickStart = 0x10000) { platform::SetTickCountStart(tickStart); }

    void SetUp() override {
        EnsureApplication();
        unit = std::make_unique<sim::SelectrixSim>();
        form = std::make_unique<TFormQuorrin>();
        form->Timer1->stop();
        form->show();
        form->MivoCom1->SetDeviceFactory(
            [f = faults] { return std::make_unique<FaultyDevice>(f); });
        form->MivoCom1->SetPort(unit->DevicePath());
        SetBox(form->CheckBoxPoortOpen, true);
        ASSERT_TRUE(form->MivoCom1->Connected());
        ASSERT_TRUE(form->ButtonVerify->isEnabled());
        unit->ClearReceived();
    }

    void TearDown() override {
        host.onShow = nullptr;
        host.onProcessMessages = nullptr;
        faults->writesToFail = 0;
        faults->purgeFails = false;
        form.reset();
        unit.reset();
    }

    void Tick() { form->Timer1Timer(); }

    // Everything the unit received since the last Clear(), once at least
    // `atLeast` bytes are there (writes reach the unit a moment later).
    std::string Wire(size_t atLeast = 0) {
        if (atLeast) unit->WaitForReceived(atLeast, 2000);
        std::string s;
        for (const sim::Received& r : unit->ReceivedBytes())
            s.push_back(static_cast<char>(r.byte));
        return s;
    }
    // Waits until the line has been quiet for a moment: the last write of a
    // handler may still be on its way to the unit.
    void Settle() {
        for (;;) {
            const size_t n = unit->ReceivedBytes().size();
            if (!unit->WaitForReceived(n + 1, 30)) return;
        }
    }
    void Clear() {
        Settle();
        unit->ClearReceived();
        host.Clear();
    }

    // Switches the central unit on through the window, as the timer would.
    void PowerOn() {
        unit->SetTrackPower(true);
        Tick();
        ASSERT_TRUE(form->CheckBoxCC2000Aan->isChecked());
        Wire(4);
        Clear();
    }

    std::vector<std::string> Captions(const std::array<QPushButton*, 8>& row) {
        std::vector<std::string> v;
        for (QPushButton* b : row)
            v.push_back(b->text().toStdString());
        return v;
    }

    testsupport::RecordingHost host;
    std::shared_ptr<FaultSwitch> faults = std::make_shared<FaultSwitch>();
    std::unique_ptr<sim::SelectrixSim> unit;
    std::unique_ptr<TFormQuorrin> form;
};

// Requests as the unit sees them.
inline std::string ReadReq(int address) {
    return Bytes({address, 0x20});
}
inline std::string WriteReq(int address, int value) {
    return Bytes({0x80 + address, value});
}
inline const std::string kStatusRead = ReadReq(127);
inline const std::string kPowerOn = WriteReq(127, 0xFF);
inline const std::string kPowerOff = WriteReq(127, 0x00);

// How often `part` occurs in `whole`, requests counted on two-byte bounds.
inline int CountRequests(const std::string& whole, const std::string& part) {
    int n = 0;
    for (size_t i = 0; i + part.size() <= whole.size(); i += 2)
        if (whole.compare(i, part.size(), part) == 0) ++n;
    return n;
}

} // namespace tester::testing
