// The installed-port list on hand-built /dev and /sys trees, and the setting
// converters.
#include "serial/PortList.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <pty.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace serial;

namespace {

// A pseudo-terminal pair, closed at the end of the test.
struct Pty {
    int master = -1, slave = -1;
    std::string path;
    Pty() {
        char name[128];
        if (openpty(&master, &slave, name, nullptr, nullptr) == 0) path = name;
    }
    ~Pty() {
        if (master >= 0) close(master);
        if (slave >= 0) close(slave);
    }
};

class FakeTree : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/quorrin-ports-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        dev = root + "/dev";
        sys = root + "/sys";
        fs::create_directories(dev);
        fs::create_directories(sys + "/class/tty");
    }
    void TearDown() override { fs::remove_all(root); }

    // A kernel tty; `device` says whether a device stands behind it, `type`
    // (when not empty) is the UART type the driver reports.
    void Tty(const std::string& sysName, bool device, const std::string& type = "",
             bool node = true) {
        const fs::path dir = fs::path(sys) / "class/tty" / sysName;
        fs::create_directories(dir);
        if (device) fs::create_directories(dir / "device");
        if (!type.empty()) std::ofstream(dir / "type") << type << '\n';
        if (node) {
            std::string name = sysName;
            std::replace(name.begin(), name.end(), '!', '/');
            const fs::path p = fs::path(dev) / name;
            fs::create_directories(p.parent_path());
            std::ofstream{p}; // stands in for the character device
        }
    }
    void Link(const std::string& name, const std::string& target) {
        fs::create_symlink(target, fs::path(dev) / name);
    }
    std::vector<std::string> List() {
        std::vector<std::string> list{"stale"};
        ListSerialPorts(list, dev, sys);
        return list;
    }

    std::string root, dev, sys;
};

using Names = std::vector<std::string>;

TEST_F(FakeTree, NamesSortWithoutRegardToCaseAsText) {
    for (const char* n : {"COM3", "COM1", "COM10", "com2"})
        Tty(n, true);
    EXPECT_EQ(List(), (Names{"COM1", "COM10", "com2", "COM3"}));

    FakeTree::TearDown();
    FakeTree::SetUp();
    for (const char* n : {"ttyUSB2", "ttyACM0", "ttyUSB10", "ttyAMA0"})
        Tty(n, true);
    EXPECT_EQ(List(), (Names{"ttyACM0", "ttyAMA0", "ttyUSB10", "ttyUSB2"}));
}

TEST_F(FakeTree, KernelTtysNeedADeviceAndAKnownUart) {
    Tty("ttyS0", true, "4");         // a 16550A found by the driver
    Tty("ttyS1", true, "0");         // registered, no chip behind it
    Tty("ttyS2", false);             // no device at all
    Tty("ttyS3", true);              // no type attribute: the device decides
    Tty("ttyAMA0", true, "83");      // not only ttyS report a type
    Tty("ttyMFD0", true, "0");       // and an unknown type means no chip there as well
    Tty("ttyUSB0", true);            // USB adapters report no type
    Tty("rfcomm0", true);            // Bluetooth
    Tty("tty0", false);              // virtual terminal
    Tty("console", false);           //
    Tty("ttyACM0", true, "", false); // no node in /dev: nothing to open
    Tty("usb!ttyX0", true);          // a node in a subdirectory of /dev
    EXPECT_EQ(List(), (Names{"rfcomm0", "ttyAMA0", "ttyS0", "ttyS3", "ttyUSB0", "usb/ttyX0"}));
}

TEST_F(FakeTree, LinksDirectlyInDevToAPortOrAPseudoTerminal) {
    Pty pty;
    ASSERT_FALSE(pty.path.empty());
    Tty("ttyUSB0", true);
    Tty("ttyS1", true, "0");
    std::ofstream(dev + "/notaport") << "x";

    Link("ttySX", "ttyUSB0");                                     // udev's stable name, relative
    Link("ttyAbs", dev + "/ttyUSB0");                             // absolute
    Link("ttyChain", "ttySX");                                    // a link to a link
    Link("ttySim", pty.path);                                     // a simulator's pseudo-terminal
    Link("ttyGone", "ttyUSB9");                                   // dangling
    Link("ttyFile", "notaport");                                  // a regular file, not a tty
    Link("ttyNoUart", "ttyS1");                                   // a ttyS without hardware
    Link("myself", "/proc/self/fd/" + std::to_string(pty.slave)); // the reader's own descriptor
    Link("null", "/dev/null");                                    // a character device, but no tty
    fs::create_directories(dev + "/serial/by-id");
    fs::create_symlink("../../ttyUSB0", dev + "/serial/by-id/usb-FTDI"); // not directly in /dev

    EXPECT_EQ(List(), (Names{"ttyAbs", "ttyChain", "ttySim", "ttySX", "ttyUSB0"}));
}

TEST_F(FakeTree, NothingInstalledGivesAnEmptyList) {
    EXPECT_EQ(List(), Names{});
}

TEST_F(FakeTree, AnUnreadableSourceRaisesCode23WithErrnoAndKeepsTheList) {
    struct Case {
        const char* what;
        std::string devRoot, sysRoot;
        int os;
    };
    std::ofstream(root + "/plain") << "x";
    const Case cases[] = {
        {"no /sys", dev, root + "/nosys", ENOENT},
        {"no tty class", dev, root, ENOENT},
        {"no /dev", root + "/nodev", sys, ENOENT},
        {"/dev is a file", root + "/plain", sys, ENOTDIR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Names list{"kept"};
        try {
            ListSerialPorts(list, c.devRoot, c.sysRoot);
            ADD_FAILURE() << "no exception";
        } catch (const EComPort& e) {
            EXPECT_EQ(e.PortErrorCode(), 23);
            EXPECT_EQ(e.OsErrorCode(), c.os);
            EXPECT_EQ(std::string(e.what()),
                      "Registry error (win error code: " + std::to_string(c.os) + ")");
        }
        EXPECT_EQ(list, Names{"kept"});
    }
}

TEST(PortList, TheMachinesOwnListIsSortedAndEveryNameOpensUnderDev) {
    Names list;
    ASSERT_NO_THROW(ListSerialPorts(list));
    EXPECT_TRUE(std::is_sorted(list.begin(), list.end(), LessTextNoCase));
    for (const std::string& name : list)
        EXPECT_TRUE(fs::exists("/dev/" + name)) << name;
    EXPECT_EQ(std::count(list.begin(), list.end(), "stdin"), 0);
}

// ------------------------------------------------------------ converters

TEST(SettingTexts, EveryOrdinalRoundTripsInAnyLetterCase) {
    auto upper = [](std::string s) {
        for (char& c : s)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return s;
    };
    for (int i = brCustom; i <= br256000; ++i) {
        const auto v = static_cast<TBaudRate>(i);
        EXPECT_EQ(ParseBaudRate(upper(BaudRateName(v))), v) << i;
    }
    for (int i = dbFive; i <= dbEight; ++i)
        EXPECT_EQ(ParseDataBits(DataBitsName(static_cast<TDataBits>(i))), i);
    for (int i = sbOneStopBit; i <= sbTwoStopBits; ++i)
        EXPECT_EQ(ParseStopBits(StopBitsName(static_cast<TStopBits>(i))), i);
    for (int i = prNone; i <= prSpace; ++i)
        EXPECT_EQ(ParseParity(upper(ParityName(static_cast<TParityBits>(i)))), i);
    for (int i = fcHardware; i <= fcCustom; ++i)
        EXPECT_EQ(ParseFlowControl(upper(FlowControlName(static_cast<TFlowControl>(i)))), i);

    EXPECT_EQ(BaudRateName(brCustom), "Custom");
    EXPECT_EQ(BaudRateName(br128000), "128000");
    EXPECT_EQ(StopBitsName(sbOne5StopBits), "1.5");
    EXPECT_EQ(ParseParity("mArK"), prMark);
    EXPECT_EQ(ParseFlowControl("software"), fcSoftware);
}

TEST(SettingTexts, UnmatchedTextsGiveTheDefaults) {
    for (const char* t : {"", "9601", " 9600", "19200 ", "Custo", "1,5", "Nonе" /* Cyrillic e */}) {
        SCOPED_TRACE(t);
        EXPECT_EQ(ParseBaudRate(t), br9600);
        EXPECT_EQ(ParseDataBits(t), dbEight);
        EXPECT_EQ(ParseStopBits(t), sbOneStopBit);
        EXPECT_EQ(ParseParity(t), prNone);
        EXPECT_EQ(ParseFlowControl(t), fcCustom);
    }
    EXPECT_EQ(ParseStopBits("2"), sbTwoStopBits); // not the default by accident
    EXPECT_EQ(ParseDataBits("5"), dbFive);
    EXPECT_EQ(BaudRateName(static_cast<TBaudRate>(16)), "");
    EXPECT_EQ(FlowControlName(static_cast<TFlowControl>(200)), "");
}

TEST(SettingTexts, CaseFoldingIsAsciiOnly) {
    EXPECT_TRUE(SameTextNoCase("ttyUSB0", "TTYusb0"));
    EXPECT_FALSE(SameTextNoCase("COM1", "COM1 "));
    EXPECT_FALSE(SameTextNoCase("\xC4", "\xE4")); // Latin-1 Ä/ä stay distinct
    EXPECT_TRUE(LessTextNoCase("COM10", "com2"));
    EXPECT_TRUE(LessTextNoCase("com1", "COM10"));
    EXPECT_FALSE(LessTextNoCase("COM1", "com1"));
    EXPECT_TRUE(LessTextNoCase("COM_", "COM\xE4")); // high bytes sort after ASCII
}

} // namespace
