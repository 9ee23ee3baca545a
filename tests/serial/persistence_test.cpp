// Stored port settings: the value texts, the table of stored values, ini
// files (kept content, atomic replacement, bad files) and the key-store
// rules on an in-memory key, and loading into an open port on a pty.
#include "serial/CPort.h"
#include "serial/IniFile.h"
#include "serial/posix/PosixComDevice.h"
#include "tests/support/MemoryKey.h"
#include "tests/support/PortSettings.h"
#include "tests/support/PtyPair.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace serial;
using testsupport::ChangeEverySetting;
using testsupport::kAllGroups;
using testsupport::MemoryKey;
using testsupport::PtyPair;
using testsupport::Settings;
namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
void WriteFile(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
}

struct IniTest : ::testing::Test {
    fs::path dir;
    fs::path file;
    TComPort port;
    IniTest() {
        char tmpl[] = "/tmp/quorrin-ini-XXXXXX";
        dir = mkdtemp(tmpl);
        file = dir / "ports.ini";
        port.SetName("MivoCom1");
    }
    ~IniTest() override {
        std::error_code ec;
        fs::permissions(dir, fs::perms::owner_all, ec);
        fs::remove_all(dir, ec);
    }
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (auto& e : fs::directory_iterator(dir))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

std::string Message(const std::function<void()>& f, int expectedCode) {
    try {
        f();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode(), expectedCode) << e.what();
        return e.what();
    }
    ADD_FAILURE() << "no EComPort " << expectedCode;
    return {};
}

} // namespace

// ---------------------------------------------------------------- texts

TEST(StoredTexts, CharTextBothWays) {
    struct Case {
        uint8_t byte;
        std::string text;
    };
    for (const Case& c : std::vector<Case>{{17, "#17"},
                                           {0, "#0"},
                                           {32, "#32"},
                                           {33, "!"},
                                           {'A', "A"},
                                           {127, "\x7f"},
                                           {128, "#128"},
                                           {255, "#255"}}) {
        EXPECT_EQ(CharText(c.byte), c.text) << int(c.byte);
        EXPECT_EQ(ParseCharText(c.text), c.byte) << c.text;
    }
    for (int b = 0; b < 256; ++b)
        EXPECT_EQ(ParseCharText(CharText(static_cast<uint8_t>(b))), b);

    struct Parse {
        std::string text;
        uint8_t byte;
    };
    for (const Parse& c : std::vector<Parse>{{"", 0},
                                             {"A", 65},
                                             {"AB", 65},
                                             {"#", 35},
                                             {"#A", 0},
                                             {"#300", 44},
                                             {"#-1", 255},
                                             {"#+7", 7},
                                             {"#12x", 0},
                                             {"#99999999999", 0},
                                             {"# 5", 0}})
        EXPECT_EQ(ParseCharText(c.text), c.byte) << c.text;
}

TEST(StoredTexts, YesNoAndLineControls) {
    EXPECT_EQ(YesNoText(true), "Yes");
    EXPECT_EQ(YesNoText(false), "No");
    for (const char* yes : {"Yes", "YES", "yes", "yEs"})
        EXPECT_TRUE(ParseYesNo(yes)) << yes;
    for (const char* no : {"No", "", "Y", "true", "1", "Yes ", "yess"})
        EXPECT_FALSE(ParseYesNo(no)) << no;

    const std::vector<std::string> dtr{"Disable", "Enable", "Handshake"};
    const std::vector<std::string> rts{"Disable", "Enable", "Handshake", "Toggle"};
    for (size_t i = 0; i < dtr.size(); ++i) {
        EXPECT_EQ(DTRControlName(TDTRFlowControl(i)), dtr[i]);
        EXPECT_EQ(ParseDTRControl(dtr[i]), TDTRFlowControl(i));
    }
    for (size_t i = 0; i < rts.size(); ++i) {
        EXPECT_EQ(RTSControlName(TRTSFlowControl(i)), rts[i]);
        EXPECT_EQ(ParseRTSControl(rts[i]), TRTSFlowControl(i));
    }
    EXPECT_EQ(ParseDTRControl("HANDSHAKE"), dtrHandshake);
    EXPECT_EQ(ParseRTSControl("toggle"), rtsToggle);
    EXPECT_EQ(ParseDTRControl("Toggle"), dtrDisable) << "DTR has no toggle";
    EXPECT_EQ(ParseRTSControl("on"), rtsDisable);
}

TEST(StoredTexts, DecimalNumbersOf32Bits) {
    struct Case {
        std::string text;
        bool ok;
        int32_t value;
    };
    for (const Case& c : std::vector<Case>{{"0", true, 0},
                                           {"-1", true, -1},
                                           {"+12", true, 12},
                                           {"2147483647", true, INT32_MAX},
                                           {"-2147483648", true, INT32_MIN},
                                           {"2147483648", false, 0},
                                           {"4294967296", false, 0},
                                           {"-2147483649", false, 0},
                                           {"", false, 0},
                                           {"-", false, 0},
                                           {"+-1", false, 0},
                                           {"abc", false, 0},
                                           {"12abc", false, 0},
                                           {"0x10", false, 0},
                                           {"1 2", false, 0}}) {
        int32_t v = 77;
        EXPECT_EQ(ParseDecimalInt32(c.text, v), c.ok) << c.text;
        EXPECT_EQ(v, c.ok ? c.value : 77) << c.text;
    }
}

// ---------------------------------------------------------------- the table

TEST(StoredValues, NamesAndOrderOfEveryGroup) {
    TComPort port;
    port.SetStoredGroups(kAllGroups);
    MemoryKey key;
    port.StoreToRegistry(key);
    const std::vector<std::string> expected{
        "Port",
        "BaudRate",
        "StopBits",
        "DataBits",
        "Parity",
        "FlowControl",
        "EventChar",
        "DiscardNull",
        "Parity.Check",
        "Parity.Replace",
        "Parity.ReplaceChar",
        "Buffer.OutputSize",
        "Buffer.InputSize",
        "Timeouts.ReadInterval",
        "Timeouts.ReadTotalConstant",
        "Timeouts.ReadTotalMultiplier",
        "Timeouts.WriteTotalConstant",
        "Timeouts.WriteTotalMultiplier",
        "FlowControl.ControlRTS",
        "FlowControl.ControlDTR",
        "FlowControl.DSRSensitivity",
        "FlowControl.OutCTSFlow",
        "FlowControl.OutDSRFlow",
        "FlowControl.TxContinueOnXoff",
        "FlowControl.XonXoffIn",
        "FlowControl.XonXoffOut",
        "FlowControl.XoffChar",
        "FlowControl.XonChar",
    };
    EXPECT_EQ(key.order, expected) << "no CustomBaudRate unless the rate is Custom";
    EXPECT_EQ(key.flushes, 1);

    // The kinds and texts of the defaults.
    using V = MemoryKey::Value;
    EXPECT_EQ(key.values["EventChar"], V(std::string("#0")));
    EXPECT_EQ(key.values["DiscardNull"], V(std::string("No")));
    EXPECT_EQ(key.values["Buffer.InputSize"], V(int32_t{1024}));
    EXPECT_EQ(key.values["Timeouts.ReadInterval"], V(int32_t{-1}));
    EXPECT_EQ(key.values["FlowControl.ControlRTS"], V(std::string("Disable")));
    EXPECT_EQ(key.values["FlowControl.XonChar"], V(std::string("#17")));
    EXPECT_EQ(key.values["FlowControl.XoffChar"], V(std::string("#19")));

    key = MemoryKey();
    port.SetCustomBaudRate(31250);
    port.SetBaudRate(brCustom);
    port.SetStoredGroups({sgBasic});
    port.StoreToRegistry(key);
    EXPECT_EQ(key.order, (std::vector<std::string>{"Port", "BaudRate", "CustomBaudRate", "StopBits",
                                                   "DataBits", "Parity", "FlowControl"}));
    EXPECT_EQ(key.values["BaudRate"], V(std::string("Custom")));
    EXPECT_EQ(key.values["CustomBaudRate"], V(int32_t{31250}));
}

TEST(StoredValues, NameOfThePort) {
    TComPort port;
    EXPECT_EQ(port.Name(), "ComPort1");
    EXPECT_EQ(port.StoredGroups(), TStoredGroups{sgBasic});
    port.SetName("Line_2");
    EXPECT_EQ(port.Name(), "Line_2");
    for (const char* bad : {"2nd", "a b", "x]", "a.b", "MivoCom1\n"})
        EXPECT_THROW(port.SetName(bad), std::invalid_argument) << bad;
    EXPECT_EQ(port.Name(), "Line_2");

    port.SetName("");
    TIniFile ini("/tmp/never-written.ini");
    const std::string what = Message([&] { port.StoreToIniFile(ini); }, 16);
    EXPECT_NE(what.find("no name"), std::string::npos) << what;
    EXPECT_FALSE(fs::exists("/tmp/never-written.ini"));
}

// ---------------------------------------------------------------- key rules

TEST(KeyStore, RoundTripOfEveryGroup) {
    TComPort stored;
    stored.SetStoredGroups(kAllGroups);
    ChangeEverySetting(stored);
    MemoryKey key;
    stored.StoreToRegistry(key);

    TComPort loaded;
    loaded.SetStoredGroups(kAllGroups);
    loaded.LoadFromRegistry(key);
    EXPECT_EQ(Settings(loaded), Settings(stored));

    TComPort basicOnly;
    basicOnly.LoadFromRegistry(key);
    EXPECT_EQ(basicOnly.Port(), "/dev/ttyQ9");
    EXPECT_EQ(basicOnly.CustomBaudRate(), 31250);
    EXPECT_EQ(basicOnly.Buffer().InputSize(), 1024) << "sgBuffer is not selected";
    EXPECT_FALSE(basicOnly.DiscardNull());
}

TEST(KeyStore, MissingValuesAndReadErrors) {
    // A missing text reads as empty: the parsers' fallbacks, Port empty.
    TComPort port;
    port.SetBaudRate(br19200);
    port.SetDataBits(dbSeven);
    MemoryKey key;
    key.values["StopBits"] = std::string("2");
    port.LoadFromRegistry(key);
    EXPECT_EQ(port.Port(), "");
    EXPECT_EQ(port.BaudRate(), br9600);
    EXPECT_EQ(port.DataBits(), dbEight);
    EXPECT_EQ(port.StopBits(), sbTwoStopBits);

    // A missing integer ends the load; what came before it stays assigned.
    TComPort partial;
    partial.SetStoredGroups({sgBasic, sgOthers, sgBuffer, sgTimeouts});
    key.values = {{"Port", std::string("/dev/ttyS3")},
                  {"DiscardNull", std::string("Yes")},
                  {"Buffer.OutputSize", int32_t{512}},
                  {"Timeouts.ReadInterval", int32_t{3}}};
    std::string what = Message([&] { partial.LoadFromRegistry(key); }, 17);
    EXPECT_EQ(what, "Failed to load settings: memory key /test/: Buffer.InputSize is missing");
    EXPECT_EQ(partial.Port(), "/dev/ttyS3");
    EXPECT_TRUE(partial.DiscardNull());
    EXPECT_EQ(partial.Buffer().OutputSize(), 512);
    EXPECT_EQ(partial.Buffer().InputSize(), 1024);
    EXPECT_EQ(partial.Timeouts().ReadInterval(), -1) << "after the failing value";

    // BaudRate=Custom without its CustomBaudRate is a missing integer too.
    TComPort custom;
    key.values = {{"BaudRate", std::string("custom")}};
    Message([&] { custom.LoadFromRegistry(key); }, 17);
    EXPECT_EQ(custom.BaudRate(), brCustom);
    EXPECT_EQ(custom.CustomBaudRate(), 9600);

    // A value of the wrong kind.
    TComPort wrongKind;
    key.values = {{"Port", int32_t{3}}};
    what = Message([&] { wrongKind.LoadFromRegistry(key); }, 17);
    EXPECT_NE(what.find("Port is not text"), std::string::npos) << what;
    EXPECT_EQ(wrongKind.Port(), "COM1");

    // A key that holds nothing touches nothing.
    TComPort untouched;
    MemoryKey empty;
    what = Message([&] { untouched.LoadFromRegistry(empty); }, 17);
    EXPECT_EQ(what, "Failed to load settings: memory key /test/: holds no values");
    EXPECT_EQ(untouched.Port(), "COM1");
}

TEST(KeyStore, StoreFailureNamesTheStore) {
    TComPort port;
    MemoryKey key;
    key.failFlush = true;
    try {
        port.StoreToRegistry(key);
        ADD_FAILURE() << "stored";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode(), 16);
        EXPECT_EQ(e.OsErrorCode(), 5);
        EXPECT_STREQ(e.what(), "Failed to store settings: memory key /test/: cannot write: "
                               "switched off (win error code: 5)");
    }
}

// ---------------------------------------------------------------- ini files

TEST_F(IniTest, DefaultSectionOfMivoCom1) {
    TIniFile ini(file.string());
    port.StoreToIniFile(ini);
    EXPECT_EQ(ReadFile(file), "[MivoCom1]\n"
                              "Port=COM1\n"
                              "BaudRate=9600\n"
                              "StopBits=1\n"
                              "DataBits=8\n"
                              "Parity=None\n"
                              "FlowControl=None\n");
    EXPECT_EQ(Entries(), std::vector<std::string>{"ports.ini"}) << "no temporary file left";
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                  fs::perms::others_read);
}

TEST_F(IniTest, RoundTripOfEveryGroup) {
    TComPort stored;
    stored.SetName("MivoCom1");
    stored.SetStoredGroups(kAllGroups);
    ChangeEverySetting(stored);
    TIniFile ini(file.string());
    stored.StoreToIniFile(ini);
    EXPECT_NE(ReadFile(file).find("CustomBaudRate=31250\n"), std::string::npos);
    EXPECT_NE(ReadFile(file).find("FlowControl.XoffChar=#200\n"), std::string::npos);

    port.SetStoredGroups(kAllGroups);
    TIniFile again(file.string());
    port.LoadFromIniFile(again);
    EXPECT_EQ(Settings(port), Settings(stored));

    // Storing again over the file replaces the values instead of adding.
    port.SetBaudRate(br4800);
    port.StoreToIniFile(again);
    const std::string text = ReadFile(file);
    EXPECT_EQ(text.find("\nBaudRate="), text.rfind("\nBaudRate=")) << text;
    EXPECT_NE(text.find("\nBaudRate=4800\n"), std::string::npos);
    EXPECT_NE(text.find("CustomBaudRate=31250\n"), std::string::npos)
        << "storing never deletes; the value is read only with a Custom rate";
}

TEST_F(IniTest, MissingKeysKeepTheSetting) {
    port.SetCustomBaudRate(31250);
    port.FlowControl().SetOutDSRFlow(true);
    port.FlowControl().SetDSRSensitivity(true);
    port.SetStoredGroups({sgBasic, sgFlowControl});
    WriteFile(file, "[MivoCom1]\nBaudRate=Custom\nFlowControl.DSRSensitivity=No\n"
                    "FlowControl.ControlRTS=toggle\n");
    TIniFile ini(file.string());
    port.LoadFromIniFile(ini);
    EXPECT_EQ(port.BaudRate(), brCustom);
    EXPECT_EQ(port.CustomBaudRate(), 9600) << "the one default that is not the current value";
    EXPECT_TRUE(port.FlowControl().OutDSRFlow()) << "absent: unchanged";
    EXPECT_FALSE(port.FlowControl().DSRSensitivity());
    EXPECT_EQ(port.FlowControl().ControlRTS(), rtsToggle);
    EXPECT_EQ(port.Port(), "COM1");
    EXPECT_EQ(port.DataBits(), dbEight);
}

TEST_F(IniTest, StoringKeepsEverythingElseInTheFile) {
    const std::string before = "; settings of the layout room\n"
                               "; keep this\n"
                               "\n"
                               "[Window]\n"
                               "; where it was\n"
                               "Left=10\n"
                               "Title=Quorrin = tester\n"
                               "\n"
                               "# the port\n"
                               "[MivoCom1]\n"
                               "Colour=green\n"
                               "BaudRate=2400\n"
                               "BaudRate=4800\n"
                               "; about parity\n"
                               "Parity=Odd\n"
                               "\n"
                               "[Other]\n"
                               "Key=Value with spaces\n"
                               "\n"
                               "; the very end\n"
                               "# really\n";
    WriteFile(file, before);
    TIniFile ini(file.string());
    port.StoreToIniFile(ini);
    const std::string after = ReadFile(file);
    // Every line of the old file is still there, in order, but the values
    // that were replaced.
    size_t at = 0;
    for (const char* line :
         {"; settings of the layout room\n", "; keep this\n", "[Window]\n", "; where it was\n",
          "Left=10\n", "Title=Quorrin = tester\n", "# the port\n", "[MivoCom1]\n", "Colour=green\n",
          "BaudRate=9600\n", "; about parity\n", "Parity=None\n", "[Other]\n",
          "Key=Value with spaces\n", "; the very end\n", "# really\n"}) {
        const size_t found = after.find(line, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << after;
        at = found + std::strlen(line);
    }
    EXPECT_EQ(after.find("\nBaudRate="), after.rfind("\nBaudRate=")) << after;

    TIniFile reread(file.string());
    EXPECT_EQ(reread.ReadString("window", "title", ""), "Quorrin = tester");
    EXPECT_EQ(reread.ReadString("MivoCom1", "FlowControl", ""), "None");
}

TEST_F(IniTest, WindowsFilesKeepTheirMarkAndLineEnds) {
    WriteFile(file, "\xEF\xBB\xBF; made on Windows\r\n[Other]\r\nA=1\r\n[MivoCom1]\r\n"
                    "Port=COM4\r\n; end\r\n");
    TIniFile ini(file.string());
    port.LoadFromIniFile(ini);
    EXPECT_EQ(port.Port(), "COM4") << "no CR in the value";
    port.SetPort("COM5");
    port.StoreToIniFile(ini);
    const std::string text = ReadFile(file);
    EXPECT_EQ(text.rfind("\xEF\xBB\xBF", 0), 0u) << "the byte-order mark stays first";
    for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1))
        ASSERT_TRUE(at > 0 && text[at - 1] == '\r') << "a bare line feed at " << at << ":\n"
                                                    << text;
    EXPECT_NE(text.find("Port=COM5\r\n"), std::string::npos);
    EXPECT_NE(text.find("; end\r\n"), std::string::npos);

    if (geteuid() != 0) { // root may write anything
        fs::permissions(file, fs::perms::owner_read);
        port.SetPort("COM6");
        TIniFile readOnly(file.string());
        const std::string what = Message([&] { port.StoreToIniFile(readOnly); }, 16);
        EXPECT_NE(what.find("cannot be written: Permission denied"), std::string::npos) << what;
        EXPECT_NE(ReadFile(file).find("Port=COM5"), std::string::npos);
    }
}

TEST_F(IniTest, ReplacesTheFileInOneStep) {
    const std::string before = "[Keep]\nA=1\n; " + std::string(4000, 'x') + "\n";
    WriteFile(file, before);
    // The new file cannot be written in full: the old one stays as it was
    // and no temporary file is left behind.
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 1000;
    setrlimit(RLIMIT_FSIZE, &small);
    TIniFile ini(file.string());
    const std::string what = Message([&] { port.StoreToIniFile(ini); }, 16);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_NE(what.find(file.string() + ": cannot be written: File too large"), std::string::npos)
        << what;
    EXPECT_EQ(ReadFile(file), before);
    EXPECT_EQ(Entries(), std::vector<std::string>{"ports.ini"});

    // A link keeps pointing at the file it named.
    const fs::path link = dir / "link.ini";
    fs::create_symlink(file, link);
    TIniFile viaLink(link.string());
    port.StoreToIniFile(viaLink);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_NE(ReadFile(file).find("[MivoCom1]"), std::string::npos);
}

TEST_F(IniTest, FilesThatCannotBeStoredInto) {
    fs::create_directory(dir / "folder.ini");
    WriteFile(dir / "binary.ini", std::string("[MivoCom1]\nPort=COM1\n\0\x01\x02tail", 24));
    WriteFile(dir / "stray.ini", "[A]\nx=1\nthis line means nothing\n[MivoCom1]\n");
    struct Case {
        std::string path;
        std::string says;
    };
    for (const Case& c : std::vector<Case>{
             {(dir / "folder.ini").string(), "is a directory"},
             {(dir / "binary.ini").string(), "is not a text file (byte 0x00 at offset 21)"},
             {(dir / "stray.ini").string(),
              "line 3 (\"this line means nothing\") is neither a section, a value nor a comment"},
             {(dir / "no-such-folder/x.ini").string(), "cannot get a temporary file"},
             {"/dev/null", "is not a regular file"},
         }) {
        const std::string before = fs::is_regular_file(c.path) ? ReadFile(c.path) : "";
        TIniFile ini(c.path);
        const std::string what = Message([&] { port.StoreToIniFile(ini); }, 16);
        EXPECT_NE(what.find(c.path + ": " + c.says), std::string::npos) << what;
        if (fs::is_regular_file(c.path)) {
            EXPECT_EQ(ReadFile(c.path), before) << c.path;
        }
    }
    EXPECT_EQ(Entries(), (std::vector<std::string>{"binary.ini", "folder.ini", "stray.ini"}));
}

TEST_F(IniTest, BadFilesGiveClearLoadErrors) {
    fs::create_directory(dir / "folder.ini");
    WriteFile(dir / "other.ini", "[SomethingElse]\nPort=COM9\n");
    WriteFile(dir / "twice.ini", "[MivoCom1]\nPort=COM2\nport=COM3\n");
    WriteFile(dir / "binary.ini", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16));
    WriteFile(dir / "plain.ini", "[MivoCom1]\nPort=COM2\n");
    struct Case {
        std::string path;
        std::string says;
    };
    std::vector<Case> cases{
        {(dir / "missing.ini").string(), "cannot be read: No such file or directory"},
        {(dir / "folder.ini").string(), "is a directory"},
        {(dir / "plain.ini/x.ini").string(), "cannot be read: Not a directory"},
        {(dir / "other.ini").string(), "has no section [MivoCom1]"},
        {(dir / "twice.ini").string(), "[MivoCom1] Port is given more than once"},
        {(dir / "binary.ini").string(), "is not a text file (byte 0x1A at offset 6)"},
    };
    if (geteuid() != 0) { // root reads everything
        WriteFile(dir / "locked.ini", "[MivoCom1]\nPort=COM2\n");
        fs::permissions(dir / "locked.ini", fs::perms::none);
        cases.push_back({(dir / "locked.ini").string(), "cannot be read: Permission denied"});
    }
    for (const Case& c : cases) {
        TIniFile ini(c.path);
        const std::string what = Message([&] { port.LoadFromIniFile(ini); }, 17);
        EXPECT_NE(what.find(c.path + ": " + c.says), std::string::npos) << what;
        EXPECT_EQ(port.Port(), "COM1") << c.path;
    }
}

TEST_F(IniTest, ValuesOfTheWrongKind) {
    port.SetStoredGroups({sgBasic, sgBuffer});
    port.SetDataBits(dbSeven);
    // A text that names no setting value takes the parser's fallback; a
    // number that is none (or does not fit 32 bits) ends the load there.
    struct Case {
        std::string line;
        std::string says; // empty: loads
    };
    for (const Case& c : std::vector<Case>{
             {"Buffer.InputSize=abc", "Buffer.InputSize=\"abc\" is not a 32-bit whole number"},
             {"Buffer.InputSize=4294967296",
              "Buffer.InputSize=\"4294967296\" is not a 32-bit whole number"},
             {"Buffer.InputSize=", "Buffer.InputSize=\"\" is not a 32-bit whole number"},
             {"Buffer.InputSize=" + std::string(5000, '7'), "(5000 bytes) is not a 32-bit"},
             {"Buffer.InputSize=2147483647", ""},
         }) {
        TComPort p;
        p.SetName("MivoCom1");
        p.SetStoredGroups({sgBasic, sgBuffer});
        WriteFile(file,
                  "[MivoCom1]\nBaudRate=fast\nDataBits=8\nBuffer.OutputSize=600\n" + c.line + "\n");
        TIniFile ini(file.string());
        if (c.says.empty()) {
            p.LoadFromIniFile(ini);
            EXPECT_EQ(p.Buffer().InputSize(), 2147483646) << "odd sizes are stored one lower";
        } else {
            const std::string what = Message([&] { p.LoadFromIniFile(ini); }, 17);
            EXPECT_NE(what.find(file.string() + ": [MivoCom1] Buffer.InputSize="),
                      std::string::npos)
                << what;
            EXPECT_NE(what.find(c.says), std::string::npos) << what;
            EXPECT_LT(what.size(), 300u) << "a long value is cut short in the message";
            EXPECT_EQ(p.Buffer().InputSize(), 1024);
        }
        EXPECT_EQ(p.BaudRate(), br9600) << "\"fast\" names no rate";
        EXPECT_EQ(p.Buffer().OutputSize(), 600) << "read before the failing value";
    }
}

TEST_F(IniTest, LongLinesAndForeignBytes) {
    const std::string longPort = "/dev/" + std::string(4000, 'p');
    WriteFile(file, "; " + std::string(8000, 'c') + "\n[Other]\nBlob=" + std::string(6000, 'b') +
                        "\n[MivoCom1]\nPort=" + longPort + "\nParity=\xC3\xA9ven\n");
    TIniFile ini(file.string());
    port.LoadFromIniFile(ini);
    EXPECT_EQ(port.Port(), longPort);
    EXPECT_EQ(port.Parity().Bits(), prNone);

    port.SetPort("COM\xE9"); // a legacy code page byte passes unchanged
    TIniFile again(file.string());
    port.StoreToIniFile(again);
    const std::string text = ReadFile(file);
    EXPECT_NE(text.find("Port=COM\xE9\n"), std::string::npos);
    EXPECT_NE(text.find("Blob=" + std::string(6000, 'b') + "\n"), std::string::npos);
    EXPECT_NE(text.find("; " + std::string(8000, 'c') + "\n"), std::string::npos);

    port.SetPort("COM1\nBaudRate=110");
    TIniFile third(file.string());
    const std::string what = Message([&] { port.StoreToIniFile(third); }, 16);
    EXPECT_NE(what.find("a value cannot hold a line break"), std::string::npos) << what;
    EXPECT_EQ(ReadFile(file), text);
}

// ---------------------------------------------------------------- saving beside others

namespace {
const std::string kDefaultValues = "Port=COM1\nBaudRate=9600\nStopBits=1\nDataBits=8\n"
                                   "Parity=None\nFlowControl=None\n";

// Holds the lock a save takes, as another program in the middle of its own
// save would.
struct HeldLock {
    int fd;
    explicit HeldLock(const fs::path& lockFile)
        : fd(open(lockFile.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644)) {
        EXPECT_GE(fd, 0) << lockFile;
        EXPECT_EQ(flock(fd, LOCK_EX), 0);
    }
    void Release() {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    ~HeldLock() { Release(); }
};
} // namespace

TEST_F(IniTest, SavingChangesOnlyTheLinesOfTheValues) {
    struct Case {
        std::string before;
        std::string after;
    };
    for (const Case& c : std::vector<Case>{
             // Sections without blank lines between them stay so.
             {"[A]\nx=1\n[MivoCom1]\nPort=COM7\n[B]\ny=2\n",
              "[A]\nx=1\n[MivoCom1]\n" + kDefaultValues + "[B]\ny=2\n"},
             // Spacing, blank lines and comments stay; a value the section
             // lacks follows its last value.
             {"[MivoCom1]\n  Port = COM7  \n\n\n; next\n[B]\n",
              "[MivoCom1]\n  Port = COM1  \n" + kDefaultValues.substr(10) + "\n\n; next\n[B]\n"},
             {"[MivoCom1]\nPort=\n", "[MivoCom1]\n" + kDefaultValues},
             // A new section goes to the end, one blank line before it.
             {"[A]\nx=1", "[A]\nx=1\n\n[MivoCom1]\n" + kDefaultValues},
             {"[A]\nx=1\n\n", "[A]\nx=1\n\n[MivoCom1]\n" + kDefaultValues},
             {"; only a comment\n", "; only a comment\n\n[MivoCom1]\n" + kDefaultValues},
             {"[MivoCom1]", "[MivoCom1]\n" + kDefaultValues},
             // A section given in two parts: a value is replaced where it is,
             // the others it repeats are dropped, missing ones join the first.
             {"[MivoCom1]\nPort=COM7\n[B]\ny=2\n[ mivocom1 ]\nport=COM8\nBAUDRATE = 1200\n",
              "[MivoCom1]\nPort=COM1\nStopBits=1\nDataBits=8\nParity=None\nFlowControl=None\n"
              "[B]\ny=2\n[ mivocom1 ]\nBAUDRATE = 9600\n"},
             // Values before any section are no part of one.
             {"Port=COM7\n[A]\n", "Port=COM7\n[A]\n\n[MivoCom1]\n" + kDefaultValues},
         }) {
        WriteFile(file, c.before);
        TIniFile ini(file.string());
        port.StoreToIniFile(ini);
        EXPECT_EQ(ReadFile(file), c.after) << c.before;
        port.StoreToIniFile(ini);
        EXPECT_EQ(ReadFile(file), c.after) << "a second save changes nothing: " << c.before;
    }
}

TEST_F(IniTest, NamesThatWouldBreakTheFileAreRefused) {
    struct Case {
        std::string section;
        std::string ident;
    };
    for (const Case& c : std::vector<Case>{{"A]B", "k"},
                                           {"A\nB", "k"},
                                           {" A", "k"},
                                           {"A", "a=b"},
                                           {"A", ""},
                                           {"A", "; k"},
                                           {"A", "#k"},
                                           {"A", "[k"},
                                           {"A", "k "},
                                           {"A", "k\r"},
                                           {"A", std::string("k\0", 2)}}) {
        TIniFile ini(file.string());
        EXPECT_THROW(ini.WriteString(c.section, c.ident, "v"), ESettingsStore)
            << "[" << c.section << "] " << c.ident;
    }
    EXPECT_FALSE(fs::exists(file));
    // Section names with inner spaces, and values before any section.
    TIniFile ini(file.string());
    ini.WriteString("A b", "k k", "v");
    ini.WriteString("", "top", "1");
    ini.UpdateFile();
    EXPECT_EQ(ReadFile(file), "top=1\n\n[A b]\nk k=v\n");
    TIniFile again(file.string());
    EXPECT_EQ(again.ReadString("a B", "K K", ""), "v");
    EXPECT_EQ(again.ReadString("", "TOP", ""), "1");
}

TEST_F(IniTest, LongFileNamesCanBeSaved) {
    // Up to the longest name a folder takes: what is written beside the
    // file on the way must fit as well.
    std::vector<std::string> names;
    for (size_t length : {1u, 246u, 247u, 248u, 249u, 250u, 254u, 255u})
        names.push_back(std::string(length, 'n'));
    // Two long names that differ only at the end.
    names.push_back(std::string(254, 'n') + "x");
    for (const std::string& name : names) {
        TIniFile ini((dir / name).string());
        port.StoreToIniFile(ini);
        EXPECT_EQ(ReadFile(dir / name), "[MivoCom1]\n" + kDefaultValues) << name.size();
        port.SetBaudRate(br4800);
        port.StoreToIniFile(ini);
        EXPECT_NE(ReadFile(dir / name).find("BaudRate=4800\n"), std::string::npos);
        port.SetBaudRate(br9600);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(Entries(), names) << "nothing else left beside them";
}

TEST_F(IniTest, SavingKeepsWhatAnotherProgramSavedMeanwhile) {
    WriteFile(file, "[MivoCom1]\nPort=COM2\nBaudRate=2400\n");
    TIniFile mine(file.string());
    EXPECT_EQ(mine.ReadString("MivoCom1", "Port", ""), "COM2");

    TIniFile other(file.string()); // another program, after this one read
    other.WriteString("MivoCom1", "BaudRate", "4800");
    other.WriteString("MivoCom1", "Colour", "green");
    other.WriteString("Window", "Left", "10");
    other.UpdateFile();

    port.StoreToIniFile(mine);
    EXPECT_EQ(ReadFile(file), "[MivoCom1]\nPort=COM1\nBaudRate=9600\nColour=green\nStopBits=1\n"
                              "DataBits=8\nParity=None\nFlowControl=None\n\n[Window]\nLeft=10\n")
        << "the values saved last win; the other program's own values stay";

    // A file that turned into one that cannot be rewritten is left alone.
    const std::string stray = "[MivoCom1]\nPort=COM3\nthis line means nothing\n";
    TIniFile late(file.string());
    late.WriteString("MivoCom1", "Port", "COM4");
    WriteFile(file, stray);
    try {
        late.UpdateFile();
        ADD_FAILURE() << "saved over a file it cannot keep";
    } catch (const ESettingsStore& e) {
        EXPECT_NE(std::string(e.what()).find("line 3 (\"this line means nothing\")"),
                  std::string::npos)
            << e.what();
    }
    EXPECT_EQ(ReadFile(file), stray);
    EXPECT_EQ(Entries(), std::vector<std::string>{"ports.ini"});
}

TEST_F(IniTest, ASaveWaitsForTheOneInProgress) {
    HeldLock held(dir / ".ports.ini.lock");
    TIniFile ini(file.string());
    std::atomic<bool> done{false};
    std::string failure;
    std::thread saver([&] {
        try {
            port.StoreToIniFile(ini);
        } catch (const std::exception& e) {
            failure = e.what();
        }
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(done) << "saved while another save was in progress";
    EXPECT_FALSE(fs::exists(file));
    // The other save ends with its file in place.
    WriteFile(file, "[Other]\nA=1\n");
    held.Release();
    saver.join();
    EXPECT_EQ(failure, "");
    EXPECT_EQ(ReadFile(file), "[Other]\nA=1\n\n[MivoCom1]\n" + kDefaultValues);
    EXPECT_EQ(Entries(), std::vector<std::string>{"ports.ini"}) << "the lock file is gone too";
}

TEST_F(IniTest, ASaveGivesUpOnALockThatIsNeverReleased) {
    WriteFile(file, "[Other]\nA=1\n");
    HeldLock held(dir / ".ports.ini.lock");
    TIniFile ini(file.string());
    const auto start = std::chrono::steady_clock::now();
    const std::string what = Message([&] { port.StoreToIniFile(ini); }, 16);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_NE(what.find(file.string() + ": is being saved by another program"), std::string::npos)
        << what;
    EXPECT_GE(waited, std::chrono::seconds(4));
    EXPECT_LT(waited, std::chrono::seconds(8));
    EXPECT_EQ(ReadFile(file), "[Other]\nA=1\n");
    held.Release();
    port.StoreToIniFile(ini);
    EXPECT_NE(ReadFile(file).find("[MivoCom1]"), std::string::npos) << "the writes were kept";
}

TEST_F(IniTest, ASaveRemovesWhatAKilledSaveLeft) {
    WriteFile(file, "[Other]\nA=1\n; " + std::string(4000, 'x') + "\n");
    // A save killed half-way: the limit on file size ends the program in the
    // middle of writing its new file.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        rlimit none{0, 0};
        setrlimit(RLIMIT_CORE, &none);
        rlimit small{1000, 1000};
        setrlimit(RLIMIT_FSIZE, &small);
        std::signal(SIGXFSZ, SIG_DFL);
        TIniFile ini(file.string());
        try {
            port.StoreToIniFile(ini);
        } catch (...) {
        }
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
    EXPECT_GT(Entries().size(), 1u) << "the killed save left its files";

    // Files that only look alike stay.
    const std::vector<std::string> unrelated{".ports.ini~Ab12C",  ".ports.ini~Ab12Cde",
                                             ".ports.ini~Ab-2Cd", ".other.ini~Ab12Cd",
                                             "ports.ini.Ab12Cd",  "ports.ini~Ab12Cd"};
    for (const std::string& name : unrelated)
        WriteFile(dir / name, "mine");
    WriteFile(dir / ".ports.ini~Zz09aB", "left by another killed save");
    fs::create_directory(dir / ".ports.ini~Dir123");

    TIniFile ini(file.string());
    port.StoreToIniFile(ini);
    std::vector<std::string> expected = unrelated;
    expected.push_back(".ports.ini~Dir123");
    expected.push_back("ports.ini");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Entries(), expected);
    for (const std::string& name : unrelated)
        EXPECT_EQ(ReadFile(dir / name), "mine");
    EXPECT_NE(ReadFile(file).find("[Other]\nA=1\n"), std::string::npos);
}

// ---------------------------------------------------------------- open port

namespace {
uint32_t LineRate(const PtyPair& pty) {
    TermiosImage t;
    EXPECT_EQ(ReadTermios(pty.Master(), t), 0);
    return t.c_ospeed;
}
} // namespace

TEST_F(IniTest, LoadingIntoAnOpenPortReappliesAndReopens) {
    PtyPair first, second;
    port.SetEvents({});
    port.SetPort(first.Path());
    port.OpenPort();
    int closes = 0, opens = 0;
    port.OnAfterClose = [&](TCustomComPort*) { ++closes; };
    port.OnAfterOpen = [&](TCustomComPort*) { ++opens; };

    // Same device: the new rate reaches the line without a re-open.
    WriteFile(file, "[MivoCom1]\nPort=" + first.Path() + "\nBaudRate=19200\n");
    TIniFile sameDevice(file.string());
    port.LoadFromIniFile(sameDevice);
    EXPECT_EQ(LineRate(first), 19200u);
    EXPECT_EQ(closes + opens, 0);

    // Another device: closed, opened on the new one, then the rate follows.
    WriteFile(file, "[MivoCom1]\nPort=" + second.Path() + "\nBaudRate=2400\nStopBits=2\n");
    TIniFile otherDevice(file.string());
    port.LoadFromIniFile(otherDevice);
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(opens, 1);
    ASSERT_TRUE(port.Connected());
    EXPECT_EQ(LineRate(second), 2400u);
    EXPECT_EQ(port.WriteText("hi"), 2);
    EXPECT_EQ(second.Receive(2, 1000), "hi");
    EXPECT_EQ(first.Receive(1, 50), "");

    // A value the line refuses raises the setter's own error; the port
    // stays open.
    port.FlowControl().SetXonChar(19);
    WriteFile(file, "[MivoCom1]\nFlowControl=Software\n");
    TIniFile refused(file.string());
    Message([&] { port.LoadFromIniFile(refused); }, 7);
    EXPECT_TRUE(port.Connected());
    port.ClosePort();
}
