// A tester window against the simulated central unit over a pseudo-terminal,
// with a recording host in place of message boxes. The timer is stopped so
// that only what a test does reaches the line; tests of the timer call
// Timer1Timer themselves.
#pragma once

#include "command_station/MivoComm.h"
#include "platform/Host.h"
#include "tests/support/RecordingHost.h"
#include "serial/qt/ComComboBox.h"
#include "sim/SelectrixSim.h"
#include "tester/UnitQuorrin.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace testing_tester {

using Bytes = std::vector<uint8_t>;

inline Bytes Received(sim::SelectrixSim& unit) {
    Bytes out;
    for (const auto& r : unit.ReceivedBytes())
        out.push_back(r.byte);
    return out;
}

// A real click where the control takes it: a check box on its box, anything
// else in its middle.
inline void Click(QWidget* w, Qt::MouseButton button = Qt::LeftButton) {
    if (qobject_cast<QCheckBox*>(w))
        QTest::mouseClick(w, button, {}, QPoint(7, w->height() / 2));
    else
        QTest::mouseClick(w, button, {}, w->rect().center());
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

class TesterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        unit = std::make_unique<sim::SelectrixSim>();
        form = std::make_unique<tester::TFormQuorrin>();
        form->Timer1->stop();
        form->show();
        PickPort(*form, unit->DevicePath());
    }
    void TearDown() override {
        form.reset();
        unit.reset();
    }

    void OpenPort() {
        Click(form->CheckBoxPoortOpen);
        ASSERT_TRUE(form->MivoCom1->Connected());
    }

    // Waits for `n` bytes in all and returns what arrived.
    Bytes WaitBytes(size_t n, int ms = 3000) {
        unit->WaitForReceived(n, ms);
        return Received(*unit);
    }
    // Waits until the line has been quiet for a moment.
    void Settle() {
        for (;;) {
            const size_t n = unit->ReceivedBytes().size();
            if (!unit->WaitForReceived(n + 1, 100)) return;
        }
    }
    // True when nothing beyond the first `n` bytes arrives within a short while.
    bool NothingAfter(size_t n) { return !unit->WaitForReceived(n + 1, 200); }

    std::vector<testsupport::RecordingHost::Shown> Shown() { return host.Messages(); }

    testsupport::RecordingHost host;
    std::unique_ptr<sim::SelectrixSim> unit;
    std::unique_ptr<tester::TFormQuorrin> form;
};

} // namespace testing_tester
