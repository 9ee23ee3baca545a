// The port-setting combo box under Qt's offscreen platform: choices made with
// the keyboard and the mouse, AutoApply, and the linked port's destruction.
#include "serial/qt/ComComboBox.h"

#include "platform/Host.h"
#include "tests/support/RecordingHost.h"

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QTest>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

using namespace serial;

namespace {

class ComboBox : public ::testing::Test {
  protected:
    ComboBox() {
        QObject::connect(&box, &TComComboBox::Change, [this] {
            ++changes;
            textAtChange = box.Text();
            baudAtChange = port->BaudRate();
        });
        box.show();
        box.setFocus();
    }

    // The user opens the list and clicks item `index`.
    void ClickItem(int index) {
        box.showPopup();
        QAbstractItemView* view = box.view();
        // The open list ignores a release that follows its opening too
        // closely (it takes it for the end of the opening click).
        QTest::qWait(QApplication::doubleClickInterval() + 50);
        const QRect rect = view->visualRect(view->model()->index(index, 0));
        ASSERT_TRUE(rect.isValid());
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, rect.center());
        QApplication::processEvents();
    }

    std::unique_ptr<TComPort> port = std::make_unique<TComPort>();
    TComComboBox box;
    int changes = 0;
    std::string textAtChange;
    TBaudRate baudAtChange = brCustom;
};

TEST_F(ComboBox, IsAListWithoutFreeTextThatShowsTheLinkedPortsValue) {
    EXPECT_FALSE(box.isEditable());
    EXPECT_EQ(box.ComProperty(), cpNone);
    EXPECT_FALSE(box.AutoApply());
    EXPECT_EQ(box.count(), 0);
    EXPECT_EQ(box.Text(), "");

    box.SetComProperty(cpBaudRate);
    EXPECT_EQ(box.count(), 16);
    EXPECT_EQ(box.Text(), "Custom");
    port->SetBaudRate(br19200);
    box.SetComPort(port.get());
    EXPECT_EQ(box.Text(), "19200");
    box.SetText("nonsense");
    EXPECT_EQ(box.Text(), "19200");
    box.SetText("57600");
    EXPECT_EQ(box.currentText(), "57600");
    // None of this was the user's choice.
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(port->BaudRate(), br19200);

    // The published properties reach the same state.
    box.setProperty("ComProperty", int(cpParity));
    EXPECT_EQ(box.property("Text").toString(), "None");
    box.setProperty("AutoApply", true);
    EXPECT_TRUE(box.AutoApply());
}

TEST_F(ComboBox, KeyboardChoiceWithoutAutoApplyLeavesThePortAlone) {
    box.SetComProperty(cpBaudRate);
    box.SetComPort(port.get()); // br9600
    QTest::keyClick(&box, Qt::Key_Down);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(textAtChange, "14400");
    EXPECT_EQ(box.Selector().ChosenBaudRate(), br14400);
    EXPECT_EQ(port->BaudRate(), br9600);
}

TEST_F(ComboBox, KeyboardChoiceWithAutoApplyReachesThePortBeforeChange) {
    box.SetComProperty(cpBaudRate);
    box.SetComPort(port.get());
    box.SetAutoApply(true);
    QTest::keyClick(&box, Qt::Key_Up);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(textAtChange, "4800");
    EXPECT_EQ(baudAtChange, br4800);
}

TEST_F(ComboBox, MouseChoiceStoresAndAppliesTheClickedItem) {
    box.SetComProperty(cpBaudRate);
    box.SetComPort(port.get());
    ClickItem(2);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(textAtChange, "300");
    EXPECT_EQ(port->BaudRate(), br9600);

    box.SetAutoApply(true);
    ClickItem(13);
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(textAtChange, "115200");
    EXPECT_EQ(baudAtChange, br115200);
}

TEST_F(ComboBox, DestroyingTheLinkedPortSelectsTheFirstItemAndChoicesApplyToNothing) {
    box.SetComProperty(cpDataBits);
    box.SetAutoApply(true);
    box.SetComPort(port.get());
    ASSERT_EQ(box.Text(), "8");
    port.reset();
    EXPECT_EQ(box.ComPort(), nullptr);
    EXPECT_EQ(box.Text(), "5");

    QObject::disconnect(&box, &TComComboBox::Change, nullptr, nullptr);
    int seen = 0;
    QObject::connect(&box, &TComComboBox::Change, [&] { ++seen; });
    QTest::keyClick(&box, Qt::Key_Down);
    EXPECT_EQ(seen, 1);
    EXPECT_EQ(box.Text(), "6");
    EXPECT_EQ(box.Selector().ChosenDataBits(), dbSix);
}

// ------------------------------------------------------------ re-opening on another device

struct Pty {
    int master = -1, slave = -1;
    std::string name; // relative to /dev, as a port names it
    Pty() {
        char path[128];
        if (openpty(&master, &slave, path, nullptr, nullptr) != 0) return;
        name = std::string(path).substr(5);
        // Only the port holds the slave open; the master side stays ours.
        close(slave);
        slave = -1;
    }
    ~Pty() {
        if (master >= 0) close(master);
    }
    std::string Receive(int timeoutMs) {
        std::string got;
        pollfd p{master, POLLIN, 0};
        while (poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN)) {
            char buf[64];
            const ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
            timeoutMs = 50;
        }
        return got;
    }
};

class PortChoice : public ComboBox {
  protected:
    void SetUp() override {
        ASSERT_FALSE(a.name.empty());
        ASSERT_FALSE(b.name.empty());
        port->SetEvents({});
        port->SetPort(a.name);
        port->OnAfterOpen = [this](TCustomComPort*) { opened.push_back(port->Port()); };
        port->OpenPort();
        box.Selector().SetPortLister([this](std::vector<std::string>& list) {
            list = {a.name, b.name, "quorrin-no-such-port"};
        });
        box.SetComProperty(cpPort);
        box.SetComPort(port.get());
        ASSERT_EQ(box.Text(), a.name);
        opened.clear();
    }
    void TearDown() override {
        if (port) port->ClosePort(); // while both pseudo-terminals still exist
    }

    Pty a, b;
    std::vector<std::string> opened;
    testsupport::RecordingHost host;
};

TEST_F(PortChoice, WithAutoApplyTheOpenPortMovesToTheChosenDeviceBeforeChange) {
    box.SetAutoApply(true);
    bool connectedAtChange = false;
    int writtenAtChange = 0;
    QObject::connect(&box, &TComComboBox::Change, [&] {
        connectedAtChange = port->Connected();
        writtenAtChange = port->WriteText("hello");
    });
    QTest::keyClick(&box, Qt::Key_Down);

    EXPECT_EQ(changes, 1);
    EXPECT_EQ(textAtChange, b.name);
    EXPECT_EQ(opened, std::vector<std::string>{b.name});
    EXPECT_TRUE(connectedAtChange);
    EXPECT_EQ(writtenAtChange, 5);
    EXPECT_EQ(b.Receive(2000), "hello");
    EXPECT_EQ(a.Receive(0), "");
}

TEST_F(PortChoice, WithoutAutoApplyTheOpenPortStaysWhereItWas) {
    QTest::keyClick(&box, Qt::Key_Down);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(textAtChange, b.name);
    EXPECT_EQ(port->Port(), a.name);
    EXPECT_TRUE(opened.empty());
    ASSERT_EQ(port->WriteText("x"), 1);
    EXPECT_EQ(a.Receive(2000), "x");
}

TEST_F(PortChoice, AFailedReopenIsReportedAndNoChangeIsFired) {
    box.SetAutoApply(true);
    QTest::keyClick(&box, Qt::Key_End);
    EXPECT_EQ(changes, 0);
    EXPECT_FALSE(port->Connected());
    EXPECT_EQ(port->Port(), "quorrin-no-such-port");
    const auto shown = host.Messages();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].kind, platform::MessageKind::Error);
    EXPECT_EQ(shown[0].text.rfind("Unable to open com port", 0), 0u) << shown[0].text;
}

} // namespace
