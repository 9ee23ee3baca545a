// The component's file log: where it goes, what one line holds, and that it
// appends, creates, never truncates and never follows a planted link.
#include "command_station/MivoComm.h"
#include "platform/Host.h"
#include "tests/support/RecordingHost.h"
#include "platform/Tick.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

using namespace command_station;

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// A private temporary folder and the environment the log path is taken
// from, restored afterwards.
class LogFile : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/quorrin-log-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        for (const char* name : {"QUORRIN_VASKEL_LOG", "XDG_STATE_HOME", "HOME"}) {
            const char* v = std::getenv(name);
            saved_.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
        }
        path_ = dir_ + "/vaskel.log";
        setenv("QUORRIN_VASKEL_LOG", path_.c_str(), 1);
    }
    void TearDown() override {
        for (auto& [name, value] : saved_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
        std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }

    std::string dir_, path_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

} // namespace

TEST(LogLine, CounterThenAtMostAHundredBytes) {
    EXPECT_EQ(LogLine(0, std::string("\xFF\x00", 2)), "0: 255/0");
    EXPECT_EQ(LogLine(4294967295u, ""), "4294967295: ");
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    std::string line = LogLine(7, all);
    std::string expect = "7: 0";
    for (int i = 1; i < 100; ++i) {
        expect += '/';
        expect += std::to_string(i);
    }
    EXPECT_EQ(line, expect);
}

TEST_F(LogFile, ClosedPortLocCommandIsStillLogged) {
    testsupport::RecordingHost host;
    TMivoCom com;
    com.SetDigitaalSysteem(dsSelectrix);
    com.LogNaarBestandAan = true;
    platform::SetTickCountStart(0xFFFFFFF0u);
    uint32_t before = platform::GetTickCount();
    std::string r;
    com.StuurLoc(3, 0, false, true, {false, false, false, false}, 3, 0, false, r);
    uint32_t after = platform::GetTickCount();
    EXPECT_EQ(r, std::string(1, '\0'));
    com.ZetSysteemUit(); // returns before sending: no line

    std::string text = ReadFile(path_);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, std::regex("([0-9]+): 131/0\n"))) << text;
    uint32_t tick = static_cast<uint32_t>(std::stoul(m[1].str()));
    EXPECT_LE(tick - before, after - before); // within the call, across the wrap
    struct stat st {};
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(LogFile, AppendsAndNeverTruncates) {
    {
        std::ofstream old(path_);
        old << "earlier run\n";
    }
    TMivoCom com;
    com.LogNaarBestandAan = true;
    com.VerstuurBytes(std::string("\xFF\x00", 2));
    com.LogNaarBestand("\x01");
    std::string text = ReadFile(path_);
    EXPECT_EQ(text.rfind("earlier run\n", 0), 0u);
    EXPECT_TRUE(std::regex_match(text, std::regex("earlier run\n[0-9]+: 255/0\n[0-9]+: 1\n")))
        << text;

    // Off: nothing is written.
    com.LogNaarBestandAan = false;
    com.VerstuurBytes("\x05");
    EXPECT_EQ(ReadFile(path_), text);
}

TEST_F(LogFile, ErrorsReachTheCaller) {
    TMivoCom com;
    com.SetDigitaalSysteem(dsSelectrix);
    com.LogNaarBestandAan = true;
    // A link planted where the log goes is not followed.
    std::string target = dir_ + "/target";
    {
        std::ofstream t(target);
        t << "keep";
    }
    ASSERT_EQ(symlink(target.c_str(), path_.c_str()), 0);
    EXPECT_THROW(com.LogNaarBestand("\x01"), std::system_error);
    EXPECT_EQ(ReadFile(target), "keep");

    // A log that can be neither appended to nor created.
    setenv("QUORRIN_VASKEL_LOG", (dir_ + "/missing/vaskel.log").c_str(), 1);
    std::string r;
    EXPECT_THROW(com.StuurLoc(3, 1, false, true, {}, 3, 0, false, r), std::system_error);
    EXPECT_TRUE(r.empty());
}

TEST_F(LogFile, DefaultPathIsAPrivateStateFolder) {
    unsetenv("QUORRIN_VASKEL_LOG");
    std::string state = dir_ + "/state";
    setenv("XDG_STATE_HOME", state.c_str(), 1);
    EXPECT_EQ(TMivoCom::LogPath(), state + "/quorrin/vaskel.log");
    TMivoCom com;
    com.LogNaarBestand("\x02");
    EXPECT_TRUE(
        std::regex_match(ReadFile(state + "/quorrin/vaskel.log"), std::regex("[0-9]+: 2\n")));
    struct stat st {};
    ASSERT_EQ(stat((state + "/quorrin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // Without XDG_STATE_HOME (or with a relative one) it goes under the home folder.
    setenv("XDG_STATE_HOME", "relative", 1);
    setenv("HOME", dir_.c_str(), 1);
    EXPECT_EQ(TMivoCom::LogPath(), dir_ + "/.local/state/quorrin/vaskel.log");
    com.LogNaarBestand("\x03");
    EXPECT_TRUE(Exists(dir_ + "/.local/state/quorrin/vaskel.log"));
}

TEST_F(LogFile, RefusesAFolderOthersCouldWriteInOrALinkedFolder) {
    unsetenv("QUORRIN_VASKEL_LOG");
    std::string open = dir_ + "/open";
    ASSERT_EQ(mkdir(open.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((open + "/quorrin").c_str(), 0700), 0);
    ASSERT_EQ(chmod((open + "/quorrin").c_str(), 0777), 0);
    setenv("XDG_STATE_HOME", open.c_str(), 1);
    TMivoCom com;
    EXPECT_THROW(com.LogNaarBestand("\x01"), std::system_error);
    EXPECT_FALSE(Exists(open + "/quorrin/vaskel.log"));

    std::string linked = dir_ + "/linked";
    ASSERT_EQ(mkdir(linked.c_str(), 0700), 0);
    std::string elsewhere = dir_ + "/elsewhere";
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
    ASSERT_EQ(symlink(elsewhere.c_str(), (linked + "/quorrin").c_str()), 0);
    setenv("XDG_STATE_HOME", linked.c_str(), 1);
    EXPECT_THROW(com.LogNaarBestand("\x01"), std::system_error);
    EXPECT_FALSE(Exists(elsewhere + "/vaskel.log"));
}

namespace {

// Only a regular file takes the log: a FIFO (with or without a reader) or a
// device is refused at once, and nothing reaches it.
TEST_F(LogFile, AnythingButARegularFileIsRefusedWithoutWaiting) {
    ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
    TMivoCom com;
    EXPECT_THROW(com.LogNaarBestand("\x01"), std::system_error) << "FIFO without a reader";

    int reader = open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    EXPECT_THROW(com.LogNaarBestand("\x02"), std::system_error) << "FIFO with a reader";
    char buf[16];
    EXPECT_EQ(read(reader, buf, sizeof buf), 0) << "nothing was written into the FIFO";
    close(reader);

    setenv("QUORRIN_VASKEL_LOG", "/dev/null", 1);
    EXPECT_THROW(com.LogNaarBestand("\x03"), std::system_error) << "a device";
}

} // namespace
