// Stored port settings in the real dconf: a private session bus and a
// throwaway configuration folder, started here, so the user's own settings
// are never touched; and a process without any session bus.
#include "serial/CPort.h"
#include "serial/dconf/DconfKey.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/PortSettings.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dconf.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <poll.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using namespace serial;
using testsupport::ChangeEverySetting;
using testsupport::kAllGroups;
using testsupport::Settings;
namespace fs = std::filesystem;

namespace {

// A fresh folder with config/, cache/ and runtime/ (private, as the
// runtime folder must be), named by the XDG variables.
fs::path PrivateXdgFolders() {
    char tmpl[] = "/tmp/quorrin-dconf-XXXXXX";
    const fs::path base = mkdtemp(tmpl);
    for (const char* sub : {"config", "cache", "runtime"})
        fs::create_directory(base / sub);
    chmod((base / "runtime").c_str(), 0700);
    setenv("XDG_CONFIG_HOME", (base / "config").c_str(), 1);
    setenv("XDG_CACHE_HOME", (base / "cache").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (base / "runtime").c_str(), 1);
    unsetenv("DCONF_PROFILE");
    unsetenv("DISPLAY");
    return base;
}

// A session bus of our own; dconf-service is started by it on first use and
// ends with it.
class PrivateBus {
  public:
    PrivateBus() {
        testsupport::Launch launch{
            {"dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address"}};
        launch.searchPath = true;
        launch.out = testsupport::Stdio::Pipe;
        daemon_ = std::make_unique<testsupport::Process>(launch);
        if (!daemon_->Started()) throw std::runtime_error("dbus-daemon cannot be started");
        std::string address;
        char c;
        pollfd p{daemon_->Out(), POLLIN, 0};
        while (poll(&p, 1, 10000) > 0 && read(daemon_->Out(), &c, 1) == 1 && c != '\n')
            address += c;
        daemon_->CloseOut();
        if (address.empty()) throw std::runtime_error("dbus-daemon gave no address");
        setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
        // The process's one session-bus connection (dconf's too) would end
        // the process when the bus goes away at the end of the tests.
        connection_ = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
        if (connection_) g_dbus_connection_set_exit_on_close(connection_, FALSE);
    }
    ~PrivateBus() {
        daemon_->Signal(SIGTERM);
        daemon_->Wait();
        if (connection_) g_object_unref(connection_);
    }

  private:
    std::unique_ptr<testsupport::Process> daemon_;
    GDBusConnection* connection_ = nullptr;
};

struct DconfStore : ::testing::Test {
    static inline fs::path base;
    static inline PrivateBus* bus = nullptr;
    static void SetUpTestSuite() {
        base = PrivateXdgFolders();
        bus = new PrivateBus;
    }
    static void TearDownTestSuite() {
        delete bus;
        bus = nullptr;
        std::error_code ec;
        fs::remove_all(base, ec);
    }

    // Writes one raw value, as another program (or a hand edit) might.
    static void WriteRaw(const std::string& key, GVariant* value) {
        DConfClient* client = dconf_client_new();
        GError* error = nullptr;
        ASSERT_TRUE(dconf_client_write_sync(client, key.c_str(), value, nullptr, nullptr, &error))
            << (error ? error->message : "");
        g_object_unref(client);
    }
    static std::string RawType(const std::string& key) {
        DConfClient* client = dconf_client_new();
        GVariant* v = dconf_client_read(client, key.c_str());
        std::string type = v ? g_variant_get_type_string(v) : "";
        if (v) g_variant_unref(v);
        g_object_unref(client);
        return type;
    }
};

} // namespace

TEST_F(DconfStore, RoundTripOfEveryGroup) {
    TComPort stored;
    stored.SetStoredGroups(kAllGroups);
    ChangeEverySetting(stored);
    {
        TDconfKey key("/org/example/quorrin/port/");
        stored.StoreToRegistry(key);
    }
    EXPECT_TRUE(fs::exists(base / "config" / "dconf" / "user"));
    EXPECT_EQ(RawType("/org/example/quorrin/port/Port"), "s");
    EXPECT_EQ(RawType("/org/example/quorrin/port/CustomBaudRate"), "i");
    EXPECT_EQ(RawType("/org/example/quorrin/port/Buffer.InputSize"), "i");
    EXPECT_EQ(RawType("/org/example/quorrin/port/FlowControl.XonChar"), "s");

    TComPort loaded;
    loaded.SetStoredGroups(kAllGroups);
    TDconfKey key("/org/example/quorrin/port/");
    loaded.LoadFromRegistry(key);
    EXPECT_EQ(Settings(loaded), Settings(stored));
}

TEST_F(DconfStore, ReadErrorsEndTheLoad) {
    const std::string path = "/org/example/quorrin/bad/";
    TComPort port;
    port.SetStoredGroups({sgBasic, sgBuffer});
    port.Buffer().SetOutputSize(64);
    {
        TDconfKey key(path);
        port.StoreToRegistry(key);
    }
    WriteRaw(path + "Buffer.InputSize", g_variant_new_string("abc"));
    WriteRaw(path + "Port", g_variant_new_string("/dev/ttyS7"));

    TComPort loaded;
    loaded.SetStoredGroups({sgBasic, sgBuffer});
    TDconfKey key(path);
    try {
        loaded.LoadFromRegistry(key);
        ADD_FAILURE() << "loaded";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode(), 17);
        EXPECT_STREQ(e.what(), "Failed to load settings: dconf key /org/example/quorrin/bad/: "
                               "Buffer.InputSize holds a value of type s, not a 32-bit integer");
    }
    EXPECT_EQ(loaded.Port(), "/dev/ttyS7") << "read before the failing value";
    EXPECT_EQ(loaded.Buffer().OutputSize(), 64);
    EXPECT_EQ(loaded.Buffer().InputSize(), 1024);

    // A 64-bit number is not a 32-bit one either; text where text belongs
    // but of another type is refused too.
    WriteRaw(path + "Buffer.InputSize", g_variant_new_int64(1));
    WriteRaw(path + "BaudRate", g_variant_new_int32(9600));
    TDconfKey again(path);
    TComPort other;
    try {
        other.LoadFromRegistry(again);
        ADD_FAILURE() << "loaded";
    } catch (const EComPort& e) {
        EXPECT_NE(std::string(e.what()).find("BaudRate holds a value of type i, not text"),
                  std::string::npos)
            << e.what();
    }
    EXPECT_EQ(other.BaudRate(), br9600);

    // A folder that holds only folders holds no values either.
    TDconfKey folders("/org/example/");
    TComPort fresh;
    EXPECT_THROW(fresh.LoadFromRegistry(folders), EComPort);
    EXPECT_EQ(fresh.Port(), "COM1");

    TDconfKey never("/org/example/quorrin/never/written/");
    try {
        other.LoadFromRegistry(never);
        ADD_FAILURE() << "loaded";
    } catch (const EComPort& e) {
        EXPECT_STREQ(e.what(), "Failed to load settings: dconf key "
                               "/org/example/quorrin/never/written/: holds no values");
    }

    EXPECT_THROW(TDconfKey("org/example/"), std::invalid_argument);
    EXPECT_THROW(TDconfKey("/org//example/"), std::invalid_argument);
    EXPECT_THROW(TDconfKey("/org/example"), std::invalid_argument);
}

TEST_F(DconfStore, TextThatDconfCannotHold) {
    TComPort port;
    port.SetPort("COM\xE9"); // not UTF-8
    TDconfKey key("/org/example/quorrin/latin/");
    try {
        port.StoreToRegistry(key);
        ADD_FAILURE() << "stored";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode(), 16);
        EXPECT_STREQ(e.what(), "Failed to store settings: dconf key /org/example/quorrin/latin/: "
                               "Port is not UTF-8 text");
    }
    EXPECT_FALSE(key.Exists()) << "nothing written";
}

// Without a session bus nothing can be written: a clear error, no crash, no
// hang. In a process of its own, since the bus connection (and its failure)
// is kept for a process's lifetime.
TEST(DconfWithoutBus, StoringFailsClearly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const fs::path base = PrivateXdgFolders();
            unsetenv("DBUS_SESSION_BUS_ADDRESS");
            TComPort port;
            TDconfKey key("/org/example/quorrin/nobus/");
            int code = 0;
            try {
                port.StoreToRegistry(key);
            } catch (const EComPort& e) {
                std::fprintf(stderr, "%s\n", e.what());
                code = e.PortErrorCode();
            }
            std::error_code ec;
            fs::remove_all(base, ec);
            std::exit(code);
        },
        ::testing::ExitedWithCode(16),
        "Failed to store settings: dconf key /org/example/quorrin/nobus/: cannot write: ");
}
