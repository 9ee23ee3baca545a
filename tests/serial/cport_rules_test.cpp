// The port object's rules against a scripted device: defaults, the setting
// objects, what reaches the driver and when, open and close with their
// events, batching and the loading state.
#include "platform/Host.h"
#include "serial/CPort.h"
#include "tests/support/RecordingHost.h"
#include "tests/support/ScriptedDevice.h"

#include <gtest/gtest.h>

using namespace serial;
using testsupport::DeviceScript;
using testsupport::ScriptedFactory;

namespace {

struct PortRules : ::testing::Test {
    std::shared_ptr<DeviceScript> script = std::make_shared<DeviceScript>();
    std::vector<std::string> log; // before the port: its handlers write here until it is gone
    TComPort port;

    PortRules() {
        port.SetDeviceFactory(ScriptedFactory(script));
        port.SetEvents({});
        port.OnBeforeOpen = [this](TCustomComPort*) { log.push_back("BeforeOpen"); };
        port.OnAfterOpen = [this](TCustomComPort*) { log.push_back("AfterOpen"); };
        port.OnBeforeClose = [this](TCustomComPort*) { log.push_back("BeforeClose"); };
        port.OnAfterClose = [this](TCustomComPort*) { log.push_back("AfterClose"); };
        port.OnCTSChange = [this](TCustomComPort*, bool on) {
            log.push_back(on ? "CTS+" : "CTS-");
        };
        port.OnDSRChange = [this](TCustomComPort*, bool on) {
            log.push_back(on ? "DSR+" : "DSR-");
        };
        port.OnRLSDChange = [this](TCustomComPort*, bool on) {
            log.push_back(on ? "RLSD+" : "RLSD-");
        };
    }
    void OpenClean() {
        port.OpenPort();
        script->ClearRecord();
        log.clear();
    }
};

TEST(PortDefaults, NewPort) {
    TComPort port;
    EXPECT_EQ(port.Port(), "COM1");
    EXPECT_EQ(port.BaudRate(), br9600);
    EXPECT_EQ(port.CustomBaudRate(), 9600);
    EXPECT_EQ(port.DataBits(), dbEight);
    EXPECT_EQ(port.StopBits(), sbOneStopBit);
    EXPECT_EQ(port.Parity().Bits(), prNone);
    EXPECT_FALSE(port.Parity().Check());
    EXPECT_EQ(port.FlowControl().FlowControl(), fcNone);
    EXPECT_EQ(port.FlowControl().XonChar(), 17);
    EXPECT_EQ(port.FlowControl().XoffChar(), 19);
    EXPECT_EQ(port.Timeouts().ReadInterval(), -1);
    EXPECT_EQ(port.Timeouts().ReadTotalMultiplier(), 0);
    EXPECT_EQ(port.Timeouts().ReadTotalConstant(), 0);
    EXPECT_EQ(port.Timeouts().WriteTotalMultiplier(), 100);
    EXPECT_EQ(port.Timeouts().WriteTotalConstant(), 1000);
    EXPECT_EQ(port.Buffer().InputSize(), 1024);
    EXPECT_EQ(port.Buffer().OutputSize(), 1024);
    EXPECT_EQ(port.Events(), AllComEvents);
    EXPECT_EQ(port.Events().ToBits(), 0x3FF);
    EXPECT_EQ(port.SyncMethod(), smThreadSync);
    EXPECT_EQ(port.StoredGroups(), TStoredGroups{sgBasic});
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(port.Buffer().ComPort(), &port);
    EXPECT_EQ(port.FlowControl().ComPort(), &port);
}

TEST(SettingObjects, BufferSizesAreEven) {
    struct Case {
        int32_t set, stored;
    } cases[] = {{1025, 1024}, {1024, 1024}, {-3, -3}, {1, 0}, {0, 0}, {-4, -4}, {4097, 4096}};
    for (auto c : cases) {
        TComBuffer b;
        b.SetInputSize(c.set);
        b.SetOutputSize(c.set);
        EXPECT_EQ(b.InputSize(), c.stored) << c.set;
        EXPECT_EQ(b.OutputSize(), c.stored) << c.set;
    }
}

TEST(SettingObjects, FlowControlPreset) {
    TComFlowControl f;
    f.SetFlowControl(fcHardware);
    EXPECT_EQ(f.ControlRTS(), rtsHandshake);
    EXPECT_TRUE(f.OutCTSFlow());
    EXPECT_FALSE(f.XonXoffIn());
    EXPECT_FALSE(f.XonXoffOut());
    EXPECT_EQ(f.FlowControl(), fcHardware);
    f.SetOutDSRFlow(true); // plays no part
    f.SetControlDTR(dtrHandshake);
    EXPECT_EQ(f.FlowControl(), fcHardware);
    f.SetXonXoffIn(true);
    EXPECT_EQ(f.FlowControl(), fcCustom);

    f.SetFlowControl(fcCustom); // changes nothing
    EXPECT_TRUE(f.XonXoffIn());
    EXPECT_TRUE(f.OutCTSFlow());

    f.SetFlowControl(fcSoftware);
    EXPECT_EQ(f.ControlRTS(), rtsDisable);
    EXPECT_FALSE(f.OutCTSFlow());
    EXPECT_TRUE(f.XonXoffIn() && f.XonXoffOut());
    EXPECT_EQ(f.FlowControl(), fcSoftware);
    EXPECT_TRUE(f.OutDSRFlow()) << "presets leave DSR flow alone";

    f.SetFlowControl(fcNone);
    EXPECT_EQ(f.FlowControl(), fcNone);
    f.SetControlRTS(rtsEnable);
    EXPECT_EQ(f.FlowControl(), fcCustom);
    f.SetControlRTS(rtsDisable);
    f.SetXonXoffOut(true); // only one direction
    EXPECT_EQ(f.FlowControl(), fcCustom);
}

TEST(SettingObjects, AssignCopiesEveryField) {
    TComFlowControl a, b;
    a.SetOutDSRFlow(true);
    a.SetControlDTR(dtrEnable);
    a.SetDSRSensitivity(true);
    a.SetTxContinueOnXoff(true);
    a.SetXonChar(1);
    a.SetXoffChar(2);
    a.SetFlowControl(fcHardware);
    b.Assign(a);
    EXPECT_TRUE(b.OutDSRFlow() && b.DSRSensitivity() && b.TxContinueOnXoff() && b.OutCTSFlow());
    EXPECT_EQ(b.ControlDTR(), dtrEnable);
    EXPECT_EQ(b.ControlRTS(), rtsHandshake);
    EXPECT_EQ(b.XonChar(), 1);
    EXPECT_EQ(b.XoffChar(), 2);

    TComTimeouts t, u;
    t.SetReadInterval(1);
    t.SetReadTotalMultiplier(2);
    t.SetReadTotalConstant(3);
    t.SetWriteTotalMultiplier(4);
    t.SetWriteTotalConstant(5);
    u.Assign(t);
    EXPECT_EQ(u.ReadInterval() + u.ReadTotalMultiplier() * 10 + u.ReadTotalConstant() * 100 +
                  u.WriteTotalMultiplier() * 1000 + u.WriteTotalConstant() * 10000,
              54321);

    TComParity p, q;
    p.SetBits(prMark);
    p.SetCheck(true);
    p.SetReplace(true);
    p.SetReplaceChar('?');
    q.Assign(p);
    EXPECT_EQ(q.Bits(), prMark);
    EXPECT_TRUE(q.Check() && q.Replace());
    EXPECT_EQ(q.ReplaceChar(), '?');
}

// ---------------------------------------------------------------- the device control block

TEST(DeviceControlBlock, Defaults) {
    TComPort port;
    Dcb d = port.BuildDcb();
    EXPECT_EQ(d.DCBlength, 28u);
    EXPECT_EQ(d.BaudRate, 9600u);
    EXPECT_TRUE(d.fBinary);
    EXPECT_FALSE(d.fParity || d.fOutxCtsFlow || d.fOutxDsrFlow || d.fOutX || d.fInX || d.fNull ||
                 d.fErrorChar || d.fAbortOnError || d.fDsrSensitivity || d.fTXContinueOnXoff);
    EXPECT_EQ(d.fDtrControl, 0);
    EXPECT_EQ(d.fRtsControl, 0);
    EXPECT_EQ(d.XonLim, 256);
    EXPECT_EQ(d.XoffLim, 256);
    EXPECT_EQ(d.ByteSize, 8);
    EXPECT_EQ(d.Parity, 0);
    EXPECT_EQ(d.StopBits, 0);
    EXPECT_EQ(d.XonChar, 17);
    EXPECT_EQ(d.XoffChar, 19);
    EXPECT_EQ(d.EvtChar, 0);
}

TEST(DeviceControlBlock, BaudRateByItsValue) {
    for (int b = br110; b <= br256000; ++b)
        EXPECT_EQ(BaudRateOfValue(BaudRateValue(static_cast<TBaudRate>(b))), b);
    // No listed rate: brCustom, also for the value brCustom stands for.
    for (int64_t v : {int64_t{0}, int64_t{-9600}, int64_t{9601}, int64_t{31250},
                      int64_t{4294977696}})
        EXPECT_EQ(BaudRateOfValue(v), brCustom) << v;
}

TEST(DeviceControlBlock, OrdinalsAndFlags) {
    TComPort port;
    for (int b = 0; b <= br256000; ++b) {
        port.SetBaudRate(static_cast<TBaudRate>(b));
        if (b == brCustom) continue;
        EXPECT_EQ(port.BuildDcb().BaudRate, static_cast<uint32_t>(BaudRateValue(port.BaudRate())));
    }
    EXPECT_EQ(BaudRateValue(br14400), 14400);
    EXPECT_EQ(BaudRateValue(br256000), 256000);
    port.SetBaudRate(brCustom);
    port.SetCustomBaudRate(31250);
    EXPECT_EQ(port.BuildDcb().BaudRate, 31250u);

    port.SetDataBits(dbFive);
    port.SetStopBits(sbOne5StopBits);
    port.Parity().SetBits(prSpace);
    EXPECT_EQ(port.BuildDcb().ByteSize, 5);
    EXPECT_EQ(port.BuildDcb().StopBits, 1);
    EXPECT_EQ(port.BuildDcb().Parity, 4);

    port.Buffer().SetInputSize(100);
    EXPECT_EQ(port.BuildDcb().XonLim, 25);
    EXPECT_EQ(port.BuildDcb().XoffLim, 25);

    // Replacement only together with checking.
    port.Parity().SetReplace(true);
    port.Parity().SetReplaceChar('#');
    EXPECT_FALSE(port.BuildDcb().fErrorChar);
    EXPECT_EQ(port.BuildDcb().ErrorChar, 0);
    port.Parity().SetCheck(true);
    EXPECT_TRUE(port.BuildDcb().fErrorChar);
    EXPECT_TRUE(port.BuildDcb().fParity);
    EXPECT_EQ(port.BuildDcb().ErrorChar, '#');

    port.FlowControl().SetControlDTR(dtrHandshake);
    port.FlowControl().SetControlRTS(rtsToggle);
    port.SetEventChar(0x7E);
    port.SetDiscardNull(true);
    Dcb d = port.BuildDcb();
    EXPECT_EQ(d.fDtrControl, 2);
    EXPECT_EQ(d.fRtsControl, 3);
    EXPECT_EQ(d.EvtChar, 0x7E);
    EXPECT_TRUE(d.fNull);
}

// ---------------------------------------------------------------- what reaches the driver

TEST_F(PortRules, OpenAppliesEverythingInOrder) {
    port.SetPort("ttyS3");
    port.SetBaudRate(brCustom);
    port.SetCustomBaudRate(31250);
    port.OpenPort();
    EXPECT_EQ(script->paths, std::vector<std::string>{"/dev/ttyS3"});
    auto calls = script->Calls();
    ASSERT_GE(calls.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + 4),
              (std::vector<std::string>{"Open", "SetupQueues", "SetState", "SetTimeouts"}));
    EXPECT_EQ(script->queues.back(), std::make_pair(1024, 1024));
    EXPECT_EQ(script->states.back().BaudRate, 31250u);
    const CommTimeouts& t = script->timeouts.back();
    EXPECT_EQ(t.ReadIntervalTimeout, 0xFFFFFFFFu);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 100u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);
    EXPECT_EQ(log, (std::vector<std::string>{"BeforeOpen", "AfterOpen", "CTS+", "DSR+", "RLSD+"}));
    EXPECT_EQ(script->CountOf("ModemStatus"), 3u);
}

TEST_F(PortRules, ConnectedIsSetBeforeTheSettingsAreApplied) {
    std::vector<bool> connectedAt;
    script->onCall = [&](const std::string& call) {
        if (call == "Open" || call == "SetState") connectedAt.push_back(port.Connected());
    };
    port.OpenPort();
    EXPECT_EQ(connectedAt, (std::vector<bool>{false, true}));
}

TEST_F(PortRules, ChangedSettingsApplyAtOnceWhileOpenOnly) {
    port.SetBaudRate(br19200); // closed: stored only, no device exists
    EXPECT_TRUE(script->Calls().empty());
    OpenClean();
    EXPECT_EQ(port.BaudRate(), br19200);

    port.SetBaudRate(br19200); // unchanged: nothing
    EXPECT_EQ(script->CountOf("SetState"), 0u);
    port.SetBaudRate(br38400);
    ASSERT_EQ(script->states.size(), 1u);
    EXPECT_EQ(script->states.back().BaudRate, 38400u);
    EXPECT_EQ(script->CountOf("Close"), 0u) << "no re-open for a new rate";

    struct Step {
        const char* what;
        std::function<void()> change;
        const char* call;
    } steps[] = {
        {"Parity.Bits", [&] { port.Parity().SetBits(prOdd); }, "SetState"},
        {"FlowControl.XonChar", [&] { port.FlowControl().SetXonChar(1); }, "SetState"},
        {"DataBits", [&] { port.SetDataBits(dbSeven); }, "SetState"},
        {"StopBits", [&] { port.SetStopBits(sbTwoStopBits); }, "SetState"},
        {"DiscardNull", [&] { port.SetDiscardNull(true); }, "SetState"},
        {"EventChar", [&] { port.SetEventChar(9); }, "SetState"},
        {"Timeouts.ReadInterval", [&] { port.Timeouts().SetReadInterval(5); }, "SetTimeouts"},
        {"Buffer.InputSize", [&] { port.Buffer().SetInputSize(2048); }, "SetupQueues"},
    };
    for (auto& s : steps) {
        script->ClearRecord();
        s.change();
        EXPECT_EQ(script->Calls(), std::vector<std::string>{s.call}) << s.what;
        script->ClearRecord();
        s.change(); // the same value again
        EXPECT_TRUE(script->Calls().empty()) << s.what << " applied an unchanged value";
    }

    // The preset and whole-object assignment apply even when nothing changed.
    script->ClearRecord();
    port.FlowControl().SetFlowControl(port.FlowControl().FlowControl());
    port.SetParity(port.Parity());
    port.SetFlowControl(port.FlowControl());
    port.SetTimeouts(port.Timeouts());
    port.SetBuffer(port.Buffer());
    EXPECT_EQ(script->Calls(), (std::vector<std::string>{"SetState", "SetState", "SetState",
                                                         "SetTimeouts", "SetupQueues"}));
}

TEST_F(PortRules, BatchesNestAndApplyOnceAtTheEnd) {
    OpenClean();
    port.EndSettingsUpdate(); // without a begin: nothing
    EXPECT_TRUE(script->Calls().empty());
    port.BeginSettingsUpdate();
    port.BeginSettingsUpdate();
    port.SetBaudRate(br4800);
    port.Timeouts().SetReadTotalConstant(40);
    port.EndSettingsUpdate();
    EXPECT_TRUE(script->Calls().empty()) << "one end of two applies nothing";
    port.EndSettingsUpdate();
    EXPECT_EQ(script->Calls(),
              (std::vector<std::string>{"SetupQueues", "SetState", "SetTimeouts"}));
    EXPECT_EQ(script->states.back().BaudRate, 4800u);
    EXPECT_EQ(script->timeouts.back().ReadTotalTimeoutConstant, 40u);
    port.EndSettingsUpdate(); // surplus end: still nothing
    EXPECT_EQ(script->Calls().size(), 3u);

    // A batch ending while closed applies nothing.
    port.ClosePort();
    script->ClearRecord();
    port.BeginSettingsUpdate();
    port.SetBaudRate(br1200);
    port.EndSettingsUpdate();
    EXPECT_TRUE(script->Calls().empty());
}

TEST_F(PortRules, FailedApplyWhileOpenKeepsValueAndPort) {
    OpenClean();
    script->Fail("SetState", EINVAL);
    try {
        port.SetBaudRate(br256000);
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode(), 7);
        EXPECT_EQ(e.OsErrorCode(), EINVAL);
        EXPECT_EQ(std::string(e.what()),
                  "SetCommState function failed (win error code: " + std::to_string(EINVAL) + ")");
    }
    EXPECT_EQ(port.BaudRate(), br256000);
    EXPECT_TRUE(port.Connected());
}

// ---------------------------------------------------------------- the properties with rules

TEST_F(PortRules, PortNameRules) {
    port.SetPort("ttyUSB0");
    OpenClean();
    port.SetPort("ttyUSB0");
    EXPECT_TRUE(script->Calls().empty()) << "same text: nothing";
    port.SetPort("TTYUSB0"); // other letter case is another name
    EXPECT_EQ(log, (std::vector<std::string>{"CTS-", "DSR-", "RLSD-", "BeforeClose", "AfterClose",
                                             "BeforeOpen", "AfterOpen", "CTS+", "DSR+", "RLSD+"}));
    EXPECT_EQ(script->paths, std::vector<std::string>{"/dev/TTYUSB0"});
    EXPECT_TRUE(port.Connected());
}

TEST_F(PortRules, SyncMethodRefusedWhileOpen) {
    port.SetSyncMethod(smNone);
    EXPECT_EQ(port.SyncMethod(), smNone);
    OpenClean();
    try {
        port.SetSyncMethod(smWindowSync);
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode(), 14);
        EXPECT_EQ(e.OsErrorCode(), -1);
        EXPECT_STREQ(e.what(), "Cannot set property while connected");
    }
    EXPECT_EQ(port.SyncMethod(), smNone);
    EXPECT_NO_THROW(port.SetSyncMethod(smNone)) << "the same value is no change";
}

TEST_F(PortRules, ConnectedPropertyOpensAndCloses) {
    port.SetConnected(true);
    EXPECT_TRUE(port.Connected());
    EXPECT_TRUE(script->isOpen);
    port.SetConnected(true);
    EXPECT_EQ(script->CountOf("Open"), 1u);
    port.SetConnected(false);
    EXPECT_FALSE(port.Connected());
    EXPECT_FALSE(script->isOpen);
}

TEST_F(PortRules, EventsTakeEffectAtTheNextOpen) {
    OpenClean();
    port.SetEvents({evRxChar});
    EXPECT_FALSE(port.EventThreadRunning());
    EXPECT_TRUE(script->Calls().empty());
    port.ClosePort();
    port.OpenPort();
    EXPECT_TRUE(port.EventThreadRunning());
    port.ClosePort();
    EXPECT_FALSE(port.EventThreadRunning());
}

TEST_F(PortRules, EmptyEventsStartNoThreadButInitialSignalsFire) {
    script->SetModemBits(MS_DSR_ON);
    port.OpenPort();
    EXPECT_FALSE(port.EventThreadRunning());
    EXPECT_EQ(script->CountOf("SetCommMask"), 0u);
    EXPECT_EQ(log, (std::vector<std::string>{"BeforeOpen", "AfterOpen", "CTS-", "DSR+", "RLSD-"}));
}

// ---------------------------------------------------------------- open and close

TEST_F(PortRules, OpenFailureLeavesPortClosed) {
    script->Fail("Open", ENOENT);
    try {
        port.OpenPort();
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode(), 1);
        EXPECT_EQ(e.OsErrorCode(), ENOENT);
    }
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(port.Device(), nullptr);
    EXPECT_EQ(log, std::vector<std::string>{"BeforeOpen"});
}

TEST_F(PortRules, FailedApplyDuringOpenClosesTheDevice) {
    for (const char* call : {"SetupQueues", "SetState", "SetTimeouts"}) {
        script->HealAll();
        script->ClearRecord();
        log.clear();
        script->Fail(call, EIO);
        try {
            port.OpenPort();
            ADD_FAILURE() << call;
        } catch (const EComPort& e) {
            int expected = std::string(call) == "SetupQueues" ? 9
                           : std::string(call) == "SetState"  ? 7
                                                              : 8;
            EXPECT_EQ(e.PortErrorCode(), expected) << call;
            EXPECT_EQ(e.OsErrorCode(), EIO);
        }
        EXPECT_FALSE(port.Connected()) << call;
        EXPECT_FALSE(script->isOpen) << call;
        EXPECT_EQ(script->CountOf("Close"), 1u) << call;
        EXPECT_EQ(log, std::vector<std::string>{"BeforeOpen"}) << call;
    }
}

TEST_F(PortRules, ModemFailureAfterOpenLeavesPortOpen) {
    script->Fail("ModemStatus", EIO);
    try {
        port.OpenPort();
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode(), 11);
    }
    EXPECT_TRUE(port.Connected());
    EXPECT_EQ(log, (std::vector<std::string>{"BeforeOpen", "AfterOpen"}));
}

TEST_F(PortRules, CloseOrderAndBeforeCloseMayStillWrite) {
    OpenClean();
    port.OnBeforeClose = [this](TCustomComPort* sender) {
        log.push_back("BeforeClose");
        sender->WriteText("off");
    };
    port.ClosePort();
    EXPECT_EQ(log,
              (std::vector<std::string>{"CTS-", "DSR-", "RLSD-", "BeforeClose", "AfterClose"}));
    EXPECT_EQ(script->Written(), "off");
    auto calls = script->Calls();
    auto purge = std::find(calls.begin(), calls.end(), "Purge");
    auto close = std::find(calls.begin(), calls.end(), "Close");
    ASSERT_NE(purge, calls.end());
    EXPECT_LT(purge, close);
    EXPECT_EQ(script->purges.front(), uint32_t{PURGE_TXABORT | PURGE_RXABORT});
    EXPECT_FALSE(port.Connected());
    port.ClosePort(); // closed: nothing
    EXPECT_EQ(log.size(), 5u);
}

TEST_F(PortRules, FailedCancelKeepsPortOpen) {
    OpenClean();
    script->Fail("Purge", EINVAL);
    try {
        port.ClosePort();
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode(), 5);
    }
    EXPECT_TRUE(port.Connected());
    EXPECT_TRUE(script->isOpen);
    script->HealAll();
    port.ClosePort();
    EXPECT_FALSE(port.Connected());
}

TEST_F(PortRules, VanishedDeviceStillCloses) {
    // An adapter pulled out: every call answers EIO or ENODEV.
    for (int gone : {EIO, ENODEV, ENXIO}) {
        testsupport::RecordingHost host;
        script->HealAll();
        port.SetEvents({evRxChar});
        OpenClean();
        for (const char* call : {"Purge", "WriteSome", "ClearError", "ModemStatus", "SetCommMask"})
            script->Fail(call, gone);
        port.OnBeforeClose = [this](TCustomComPort* sender) {
            log.push_back("BeforeClose");
            sender->WriteText("bye"); // what a host switching the line off would do
        };
        EXPECT_NO_THROW(port.ClosePort());
        EXPECT_FALSE(port.Connected());
        EXPECT_FALSE(port.EventThreadRunning());
        EXPECT_FALSE(script->isOpen);
        EXPECT_EQ(log.back(), "AfterClose");
        ASSERT_EQ(host.Texts().size(), 1u) << "reported once";
        EXPECT_EQ(host.Texts()[0],
                  "WriteFile function failed (win error code: " + std::to_string(gone) + ")");
        // Plugged in again, it opens.
        script->HealAll();
        port.OnBeforeClose = nullptr;
        EXPECT_NO_THROW(port.OpenPort());
        port.ClosePort();
    }
}

TEST_F(PortRules, DestructorCompletesAFailingClose) {
    testsupport::RecordingHost host;
    int notices = 0;
    bool openAtNotice = false;
    {
        TComPort doomed;
        doomed.SetEvents({});
        doomed.SetDeviceFactory(ScriptedFactory(script));
        doomed.AddFreeNotification([&] {
            ++notices;
            openAtNotice = doomed.Connected() && script->isOpen;
        });
        doomed.OpenPort();
        script->Fail("Purge", EPERM);
        // leaves scope: must neither throw nor leave the device open
    }
    EXPECT_EQ(notices, 1);
    EXPECT_TRUE(openAtNotice) << "the notice comes before the close";
    EXPECT_FALSE(script->isOpen);
    ASSERT_EQ(host.Texts().size(), 1u);
    EXPECT_EQ(host.Texts()[0].rfind("PurgeComm function failed", 0), 0u);
}

TEST_F(PortRules, FreeNotificationRunsFirstAndCanBeRemoved) {
    std::vector<std::string> seen;
    {
        TComPort p;
        p.SetEvents({});
        p.SetDeviceFactory(ScriptedFactory(script));
        p.OpenPort();
        p.AddFreeNotification([&] { seen.push_back(p.Connected() ? "open" : "closed"); });
        int key = p.AddFreeNotification([&] { seen.push_back("removed"); });
        p.RemoveFreeNotification(key);
    }
    EXPECT_EQ(seen, std::vector<std::string>{"open"});
}

// ---------------------------------------------------------------- loading

TEST_F(PortRules, LoadingOnlyStoresThenOpens) {
    port.BeginLoading();
    port.SetConnected(true);
    port.SetPort("ttyAMA0");
    port.SetSyncMethod(smWindowSync);
    port.SetBaudRate(br2400);
    EXPECT_TRUE(script->Calls().empty());
    EXPECT_FALSE(port.Connected());
    port.EndLoading();
    EXPECT_TRUE(port.Connected());
    EXPECT_EQ(script->paths, std::vector<std::string>{"/dev/ttyAMA0"});
    EXPECT_EQ(script->states.back().BaudRate, 2400u);
}

TEST_F(PortRules, OpenFailureAtTheEndOfLoadingGoesToTheReport) {
    testsupport::RecordingHost host;
    script->Fail("Open", EACCES);
    port.BeginLoading();
    port.SetConnected(true);
    EXPECT_NO_THROW(port.EndLoading());
    EXPECT_FALSE(port.Connected());
    EXPECT_FALSE(port.Loading());
    ASSERT_EQ(host.Texts().size(), 1u);
    EXPECT_EQ(host.Texts()[0],
              "Unable to open com port (win error code: " + std::to_string(EACCES) + ")");
}

} // namespace
