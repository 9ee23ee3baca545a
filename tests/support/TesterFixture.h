// The tester window against the simulated Selectrix unit over a
// pseudo-terminal, with a recording host in place of message boxes.
//
// Timer1 is stopped right after the window is built, so that only what a test
// does reaches the line: a test decides when a tick happens (Tick()); tests
// about the running timer start it again. A tap between the port and the
// real termios device (`faults`) lets a test make the serial layer fail (EIO)
// at a moment of its choosing.
//
// Bytes on the line are strings of raw bytes throughout.
#pragma once

#include "command_station/MivoComm.h"
#include "platform/Host.h"
#include "platform/Tick.h"
#include "serial/qt/ComComboBox.h"
#include "sim/SelectrixSim.h"
#include "tester/Controls.h"
#include "tester/UnitQuorrin.h"
#include "tests/support/Bytes.h"
#include "tests/support/RecordingHost.h"
#include "tests/support/TappedDevice.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QEventLoop>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

inline void EnsureApplication() {
    if (QApplication::instance()) return;
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "tests_tester";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
}

// ------------------------------------------------------------ requests

// Everything `unit` received so far.
inline std::string ReceivedText(sim::SelectrixSim& unit) {
    std::string s;
    for (const sim::LineByte& r : unit.ReceivedBytes())
        s.push_back(static_cast<char>(r.byte));
    return s;
}

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

// ------------------------------------------------------------ controls

// A real mouse click where the control takes it: a check box on its box,
// anything else in its middle. A disabled control ignores it.
inline void Click(QWidget* w, Qt::MouseButton button = Qt::LeftButton) {
    if (qobject_cast<QCheckBox*>(w))
        QTest::mouseClick(w, button, {}, QPoint(7, w->height() / 2));
    else
        QTest::mouseClick(w, button, {}, w->rect().center());
}

// Brings a check box to `on` by clicking it when it is not there yet.
inline void SetBox(QCheckBox* box, bool on) {
    if (box->isChecked() != on) Click(box);
    ASSERT_EQ(box->isChecked(), on);
}

// What the port selector does when the user picks an entry.
inline void PickPort(tester::TFormQuorrin& form, const std::string& name) {
    QComboBox* box = form.ComComboBoxPort;
    int index = box->findText(QString::fromStdString(name));
    if (index < 0) {
        box->addItem(QString::fromStdString(name));
        index = box->count() - 1;
    }
    box->setCurrentIndex(index);
    emit box->activated(index);
}

// ------------------------------------------------------------ the event loop

// Runs Qt's event loop (blocking, no spinning) until `done` holds, checked
// after every event batch and at least every 10 ms, or `ms` passed. Returns
// whether `done` held. For waits on things the loop itself brings about
// (timer ticks, deliveries), so a slow machine only makes them take longer.
inline bool RunEventsUntil(const std::function<bool()>& done, int ms = 10000) {
    if (done()) return true;
    QEventLoop loop;
    bool held = false;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done()) {
            held = true;
            loop.quit();
        }
    });
    check.start(10);
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    return held || done();
}

// Runs the event loop for `ms` milliseconds: only for what must not happen
// within a time.
inline void RunEventsFor(int ms) {
    RunEventsUntil([] { return false; }, ms);
}

// ------------------------------------------------------------ the fixture

// The window with its port closed, pointed at the unit.
class TesterTest : public ::testing::Test {
  protected:
    // The line counts as settled once no byte arrived for this long. A
    // handler's writes have left the driver when it returns (the port waits
    // for that); what may still be on its way is the simulator thread reading
    // them, which a loaded machine delays by a few scheduling slices.
    static constexpr int kQuietMs = 100;

    // Counter value the test starts from; time-dependent tests set it just
    // before the wrap in their constructor.
    explicit TesterTest(uint32_t tickStart = 0x10000) { platform::SetTickCountStart(tickStart); }

    void SetUp() override {
        EnsureApplication();
        unit = std::make_unique<sim::SelectrixSim>();
        form = std::make_unique<tester::TFormQuorrin>();
        form->Timer1->stop();
        form->show();
        form->MivoCom1->SetDeviceFactory(TappedFactory(faults));
        PickPort(*form, unit->DevicePath());
    }

    void TearDown() override {
        host.onShow = nullptr;
        host.onProcessMessages = nullptr;
        faults->writesToFail = 0;
        faults->purgeFails = false;
        form.reset();
        unit.reset();
    }

    void OpenPort() {
        SetBox(form->CheckBoxPoortOpen, true);
        ASSERT_TRUE(form->MivoCom1->Connected());
    }

    void Tick() { form->Timer1Timer(); }

    // Everything the unit received since the last clear, once at least
    // `atLeast` bytes are there (writes reach the unit a moment later).
    std::string Wire(size_t atLeast = 0) {
        if (atLeast) unit->WaitForReceived(atLeast, 3000);
        return ReceivedText(*unit);
    }
    // Waits until the line has settled (see kQuietMs).
    void Settle() {
        for (;;) {
            const size_t n = unit->ReceivedBytes().size();
            if (!unit->WaitForReceived(n + 1, kQuietMs)) return;
        }
    }
    // True when the line settles with no more than the first `n` bytes.
    bool NothingAfter(size_t n) {
        Settle();
        return unit->ReceivedBytes().size() == n;
    }
    // Settles, then forgets what the unit received and the messages shown.
    void Clear() {
        Settle();
        unit->ClearRecords();
        host.Clear();
    }

    std::vector<RecordingHost::Shown> Shown() { return host.Messages(); }

    std::vector<std::string> Captions(const std::array<QPushButton*, 8>& row) {
        std::vector<std::string> v;
        for (QPushButton* b : row)
            v.push_back(b->text().toStdString());
        return v;
    }

    RecordingHost host;
    std::shared_ptr<LineTap> faults = std::make_shared<LineTap>();
    std::unique_ptr<sim::SelectrixSim> unit;
    std::unique_ptr<tester::TFormQuorrin> form;
};

// The window with its port open and nothing on record yet.
class PanelsTest : public TesterTest {
  protected:
    explicit PanelsTest(uint32_t tickStart = 0x10000) : TesterTest(tickStart) {}

    void SetUp() override {
        TesterTest::SetUp();
        OpenPort();
        ASSERT_TRUE(form->ButtonVerify->isEnabled());
        unit->ClearRecords();
    }

    // Switches the central unit on through the window, as the timer would.
    void PowerOn() {
        unit->SetTrackPower(true);
        Tick();
        ASSERT_TRUE(form->CheckBoxCC2000Aan->isChecked());
        Wire(4);
        Clear();
    }
};

} // namespace testsupport
