// The port-setting selector over a plain item list, linked to closed ports
// (their setters then only store, so the port's values show what was applied).
#include "serial/ComSelect.h"
#include "serial/PortList.h"

#include <gtest/gtest.h>

#include <memory>

using namespace serial;

namespace {

class ListItems : public TComItems {
  public:
    void Clear() override {
        texts.clear();
        selected = -1;
    }
    void Add(const std::string& text) override { texts.push_back(text); }
    int Count() const override { return static_cast<int>(texts.size()); }
    std::string Text(int index) const override { return texts.at(static_cast<size_t>(index)); }
    void Select(int index) override {
        ASSERT_GE(index, -1);
        ASSERT_LT(index, Count());
        selected = index;
    }
    int Selected() const override { return selected; }

    std::vector<std::string> texts;
    int selected = -1;
};

class Selector : public ::testing::Test {
  protected:
    Selector() {
        select.SetPortLister([this](std::vector<std::string>& list) { list = installed; });
    }
    // The user picks item `index` of the list.
    void Choose(int index) {
        items.Select(index);
        select.UserChanged();
    }

    std::vector<std::string> installed{"COM3", "com2", "ttyUSB0"};
    ListItems items;
    TComSelect select{items};
    TComPort port;
};

using Texts = std::vector<std::string>;

TEST_F(Selector, EachKindListsItsValuesAndUnlinkedSelectsTheFirst) {
    struct Case {
        TComProperty kind;
        Texts texts;
    };
    const Case cases[] = {
        {cpBaudRate,
         {"Custom", "110", "300", "600", "1200", "2400", "4800", "9600", "14400", "19200", "38400",
          "56000", "57600", "115200", "128000", "256000"}},
        {cpDataBits, {"5", "6", "7", "8"}},
        {cpStopBits, {"1", "1.5", "2"}},
        {cpParity, {"None", "Odd", "Even", "Mark", "Space"}},
        {cpFlowControl, {"Hardware", "Software", "None", "Custom"}},
        {cpPort, installed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        select.SetComProperty(c.kind);
        EXPECT_EQ(select.ComProperty(), c.kind);
        EXPECT_EQ(items.texts, c.texts);
        EXPECT_EQ(items.selected, 0);
        EXPECT_EQ(select.Text(), c.texts.front());
    }
    select.SetComProperty(cpNone);
    EXPECT_TRUE(items.texts.empty());
    EXPECT_EQ(items.selected, -1);
    EXPECT_EQ(select.Text(), "");
}

TEST_F(Selector, ALinkedPortsCurrentValueIsSelectedAndChosen) {
    port.SetBaudRate(br19200);
    port.SetDataBits(dbSeven);
    port.SetStopBits(sbOne5StopBits);
    port.Parity().SetBits(prSpace);
    port.FlowControl().SetFlowControl(fcSoftware);
    port.SetPort("COM2");
    select.SetComPort(&port);

    struct Case {
        TComProperty kind;
        std::string text;
    };
    for (const Case& c :
         {Case{cpBaudRate, "19200"}, Case{cpDataBits, "7"}, Case{cpStopBits, "1.5"},
          Case{cpParity, "Space"}, Case{cpFlowControl, "Software"}, Case{cpPort, "com2"}}) {
        SCOPED_TRACE(c.text);
        select.SetComProperty(c.kind);
        EXPECT_EQ(select.Text(), c.text);
    }
    // Found values become the chosen ones, the port name as the list spells it.
    EXPECT_EQ(select.ChosenBaudRate(), br19200);
    EXPECT_EQ(select.ChosenDataBits(), dbSeven);
    EXPECT_EQ(select.ChosenStopBits(), sbOne5StopBits);
    EXPECT_EQ(select.ChosenParity(), prSpace);
    EXPECT_EQ(select.ChosenFlowControl(), fcSoftware);
    EXPECT_EQ(select.ChosenPort(), "com2");
}

TEST_F(Selector, PresetsThatMatchNothingShowCustom) {
    select.SetComPort(&port);
    port.SetBaudRate(brCustom);
    port.SetCustomBaudRate(31250);
    select.SetComProperty(cpBaudRate);
    EXPECT_EQ(select.Text(), "Custom");

    port.FlowControl().SetXonXoffIn(true); // half of software flow control
    select.SetComProperty(cpFlowControl);
    EXPECT_EQ(select.Text(), "Custom");
    EXPECT_EQ(select.ChosenFlowControl(), fcCustom);
}

TEST_F(Selector, AValueNotInTheListSelectsNothing) {
    port.SetPort("COM1"); // not installed
    select.SetComProperty(cpPort);
    EXPECT_EQ(items.selected, 0);
    select.SetComPort(&port);
    EXPECT_EQ(items.selected, -1);
    EXPECT_EQ(select.Text(), "");
    EXPECT_EQ(select.LocatePortValue(), -1);
    EXPECT_EQ(select.ChosenPort(), "");
}

TEST_F(Selector, SettingTextSelectsOnlyWhatTheListHolds) {
    select.SetComProperty(cpParity);
    select.SetText("even");
    EXPECT_EQ(select.Text(), "Even");
    select.SetText("Evens");
    EXPECT_EQ(select.Text(), "Even");
    select.SetText("");
    EXPECT_EQ(select.Text(), "Even");
    // Setting the text is no user choice: nothing is stored.
    EXPECT_EQ(select.ChosenParity(), prNone);
}

TEST_F(Selector, AChoiceIsStoredAndAppliedOnlyWithAutoApply) {
    select.SetComPort(&port);
    struct Case {
        TComProperty kind;
        int index;
        std::function<bool()> applied;
    };
    const Case cases[] = {
        {cpBaudRate, 1, [&] { return port.BaudRate() == br110; }},
        {cpDataBits, 0, [&] { return port.DataBits() == dbFive; }},
        {cpStopBits, 2, [&] { return port.StopBits() == sbTwoStopBits; }},
        {cpParity, 3, [&] { return port.Parity().Bits() == prMark; }},
        {cpFlowControl, 0, [&] { return port.FlowControl().FlowControl() == fcHardware; }},
        {cpPort, 2, [&] { return port.Port() == "ttyUSB0"; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        select.SetComProperty(c.kind);
        select.SetAutoApply(false);
        Choose(c.index);
        EXPECT_FALSE(c.applied());
        select.ApplyChoice(); // what a handler of the change notice may do itself
        EXPECT_TRUE(c.applied());
    }
    port.SetBaudRate(br9600);
    select.SetComProperty(cpBaudRate);
    select.SetAutoApply(true);
    Choose(9);
    EXPECT_EQ(port.BaudRate(), br19200);
    EXPECT_EQ(select.ChosenBaudRate(), br19200);
}

TEST_F(Selector, NothingSelectedStoresTheUnmatchedDefault) {
    select.SetComPort(&port);
    select.SetAutoApply(true);
    select.SetComProperty(cpStopBits);
    Choose(2);
    ASSERT_EQ(port.StopBits(), sbTwoStopBits);
    Choose(-1);
    EXPECT_EQ(port.StopBits(), sbOneStopBit);
}

TEST_F(Selector, RefillingTheSameKindPicksUpNewPorts) {
    select.SetComProperty(cpPort);
    installed.push_back("ttyACM0");
    EXPECT_EQ(items.Count(), 3);
    select.SetComProperty(cpPort);
    EXPECT_EQ(items.Count(), 4);
}

TEST_F(Selector, AFailingPortSourceRaisesCode23) {
    select.SetPortLister([](std::vector<std::string>& list) {
        ListSerialPorts(list, "/nonexistent/dev", "/nonexistent/sys");
    });
    try {
        select.SetComProperty(cpPort);
        FAIL() << "no exception";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode(), 23);
        EXPECT_EQ(e.OsErrorCode(), 2);
    }
}

TEST_F(Selector, DestroyingTheLinkedPortSelectsTheFirstItemAndLaterChoicesApplyToNothing) {
    auto doomed = std::make_unique<TComPort>();
    doomed->SetBaudRate(br4800);
    select.SetComProperty(cpBaudRate);
    select.SetAutoApply(true);
    select.SetComPort(doomed.get());
    ASSERT_EQ(select.Text(), "4800");
    doomed.reset();
    EXPECT_EQ(select.ComPort(), nullptr);
    EXPECT_EQ(items.selected, 0);
    Choose(3); // would touch freed memory if the link were kept
    EXPECT_EQ(select.ChosenBaudRate(), br600);
}

TEST_F(Selector, RelinkingWithdrawsTheOldPortsNotice) {
    auto first = std::make_unique<TComPort>();
    select.SetComProperty(cpDataBits);
    select.SetComPort(first.get());
    select.SetComPort(&port);
    Choose(1);
    first.reset(); // must neither unlink `port` nor reset the selection
    EXPECT_EQ(select.ComPort(), &port);
    EXPECT_EQ(select.Text(), "6");

    select.SetComPort(nullptr); // unlinking keeps the selection
    EXPECT_EQ(select.Text(), "6");
}

TEST(SelectorLifetime, ASelectorDestroyedBeforeItsPortLeavesNoNotice) {
    auto port = std::make_unique<TComPort>();
    int earlier = 0, later = 0;
    port->AddFreeNotification([&] { ++earlier; });
    ListItems items, otherItems;
    TComSelect other(otherItems);
    other.SetComPort(port.get());
    {
        auto select = std::make_unique<TComSelect>(items);
        select->SetComPort(port.get());
        port->AddFreeNotification([&] { ++later; });
    }
    // The port's destruction must not call into the gone selector (on the
    // heap, so AddressSanitizer reports it if it does), and the notices of
    // everyone else still run, once each.
    port.reset();
    EXPECT_EQ(earlier, 1);
    EXPECT_EQ(later, 1);
    EXPECT_EQ(other.ComPort(), nullptr);
}

} // namespace
