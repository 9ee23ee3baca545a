// The Windows device below the port: which names open what, the codes a bad
// name gives, and the port list from the registry's device map.
#include "serial/CPort.h"
#include "serial/PortList.h"
#include "serial/win32/Win32ComDevice.h"

#include <gtest/gtest.h>
#include <windows.h>
// The port's and the device layer's own names, not the macros of windows.h.
#undef SetPort
#undef PURGE_RXCLEAR
#undef EV_RXCHAR

#include <string>
#include <vector>

namespace {

TEST(Win32Device, PortNamesBecomeDeviceNames) {
    const struct {
        const char* port;
        const wchar_t* device; // empty: names no port
    } cases[] = {{"COM1", L"\\\\.\\COM1"},
                 {"COM10", L"\\\\.\\COM10"},
                 {"\\\\.\\COM3", L"\\\\.\\COM3"},
                 {"CNCA0", L"\\\\.\\CNCA0"},
                 {"", L""},
                 {"\\\\.\\", L""},
                 {"C:\\x", L""},
                 {"COM1/..", L""},
                 {"\\\\server\\COM1", L""},
                 {"\\\\.\\C:", L""},
                 {"COM\xc3\xa9", L""}};
    for (const auto& c : cases)
        EXPECT_EQ(serial::Win32DeviceName(c.port), c.device) << c.port;
}

// Every such name fails the open with code 1 and the Win32 code; a name that
// is no port at all says so. Nothing is left open.
TEST(Win32Device, BadPortNamesFailTheOpenWithTheirCodes) {
    const struct {
        std::string port;
        int os;
        bool saysNotSerial;
    } cases[] = {{"COM99", ERROR_FILE_NOT_FOUND, false},
                 {"COM10", ERROR_FILE_NOT_FOUND, false},
                 {"\\\\.\\COM98", ERROR_FILE_NOT_FOUND, false},
                 {"C:\\windows\\win.ini", ERROR_INVALID_NAME, true},
                 {"\\\\.\\C:", ERROR_INVALID_NAME, true},
                 {"NUL", 0, true},
                 {std::string("COM1\0x", 6), 0, false}};
    for (const auto& c : cases) {
        serial::TComPort port;
        port.SetPort(c.port);
        try {
            port.OpenPort();
            ADD_FAILURE() << c.port << " opened";
        } catch (const serial::EComPort& e) {
            EXPECT_EQ(e.PortErrorCode(), 1) << c.port;
            if (c.os != 0) {
                EXPECT_EQ(e.OsErrorCode(), c.os) << c.port;
            }
            EXPECT_EQ(std::string(e.what()).find("is not a serial port") != std::string::npos,
                      c.saysNotSerial)
                << e.what();
            EXPECT_NE(std::string(e.what()).find("(win error code: "), std::string::npos);
        }
        EXPECT_FALSE(port.Connected()) << c.port;
    }
}

TEST(Win32Device, CallsOnAClosedDeviceFailWithInvalidHandle) {
    serial::Win32ComDevice device;
    uint8_t buf[4];
    size_t done = 7;
    bool ready = true;
    serial::ComStatus st;
    uint32_t bits = 0, mask = 0;
    EXPECT_EQ(device.ReadSome(buf, sizeof buf, done), ERROR_INVALID_HANDLE);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(device.WriteSome(buf, sizeof buf, done), ERROR_INVALID_HANDLE);
    EXPECT_EQ(device.WaitReadable(10, ready), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(ready);
    EXPECT_EQ(device.ClearError(st), ERROR_INVALID_HANDLE);
    EXPECT_EQ(device.ModemStatus(bits), ERROR_INVALID_HANDLE);
    EXPECT_EQ(device.Purge(serial::PURGE_RXCLEAR), ERROR_INVALID_HANDLE);
    EXPECT_EQ(device.EscapeFunction(serial::Escape::SetDTR), ERROR_INVALID_HANDLE);
    EXPECT_EQ(device.SetCommMask(serial::EV_RXCHAR), ERROR_INVALID_HANDLE);
    EXPECT_EQ(device.WaitCommEvent(mask, nullptr), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(device.IsOpen());
}

class RegistryPorts : public ::testing::Test {
  protected:
    static constexpr const char* kKey = "Software\\QuorrinTest\\SERIALCOMM";
    void SetUp() override {
        RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\QuorrinTest");
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &key_, nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override {
        RegCloseKey(key_);
        RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\QuorrinTest");
    }
    void Value(const std::string& name, const std::string& data) {
        ASSERT_EQ(RegSetValueExA(key_, name.c_str(), 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(data.data()),
                                 static_cast<DWORD>(data.size())),
                  ERROR_SUCCESS);
    }
    HKEY key_ = nullptr;
};

TEST_F(RegistryPorts, ListIsSortedAsTextWithoutCaseAndWithoutTerminatingZeros) {
    Value("\\Device\\Serial0", std::string("COM3\0", 5));
    Value("\\Device\\Serial1", std::string("COM1\0", 5));
    Value("\\Device\\VCP0", std::string("COM10\0", 6));
    Value("\\Device\\Serial2", "com2");
    Value("\\Device\\Silabser0", std::string("COM7\0\0", 6));
    std::vector<std::string> list{"old"};
    serial::ListSerialPortsFromKey(list, HKEY_CURRENT_USER, kKey);
    EXPECT_EQ(list, (std::vector<std::string>{"COM1", "COM10", "com2", "COM3", "COM7"}));
}

TEST_F(RegistryPorts, AMissingKeyRaisesTwentyThreeWithFileNotFoundAndKeepsTheList) {
    std::vector<std::string> list{"old"};
    try {
        serial::ListSerialPortsFromKey(list, HKEY_CURRENT_USER, "Software\\QuorrinTest\\None");
        ADD_FAILURE() << "listed";
    } catch (const serial::EComPort& e) {
        EXPECT_EQ(e.PortErrorCode(), 23);
        EXPECT_EQ(e.OsErrorCode(), ERROR_FILE_NOT_FOUND);
    }
    EXPECT_EQ(list, std::vector<std::string>{"old"});
}

} // namespace
