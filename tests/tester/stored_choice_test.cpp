// The system, port and rate the tester keeps between runs, and the command
// line that chooses the system.
#include "tester/Program.h"
#include "tester/StoredChoice.h"
#include "tester/UnitQuorrin.h"
#include "tests/support/ChildProcess.h"

#include "command_station/MivoComm.h"
#include "serial/qt/ComComboBox.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using tester::StoredChoice;

namespace {

class ChoiceFolder : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string path = (fs::temp_directory_path() / "quorrin-choice-XXXXXX").string();
        ASSERT_NE(mkdtemp(path.data()), nullptr);
        dir = path;
        file = (dir / "quorrin" / "quorrin.ini").string();
    }
    void TearDown() override { fs::remove_all(dir); }
    void Write(const std::string& text) {
        fs::create_directories(fs::path(file).parent_path());
        std::ofstream(file, std::ios::binary) << text;
    }
    std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    fs::path dir;
    std::string file;
};

} // namespace

TEST_F(ChoiceFolder, LoadTakesWhatASaveWroteAndRefusesTheRest) {
    struct Case {
        std::string text;
        bool problem;
        const char* system;
        const char* port;
        long baud;
    };
    const Case cases[] = {
        {"[Tester]\nSystem=lenz\nPort=/dev/ttyUSB0\nBaudRate=19200\n", false, "lenz",
         "/dev/ttyUSB0", 19200},
        // Other sections, comments and missing values are no damage.
        {"; mine\n[Other]\nX=1\n[Tester]\nSystem=kaart\n", false, "kaart", "", 0},
        {"[Tester]\nSystem=rocket\nPort=/dev/ttyS0\n", true, "selectrix", "", 0},
        {"[Tester]\nSystem=lenz\nBaudRate=12345\n", true, "selectrix", "", 0},
        {"this is no ini file\n", true, "selectrix", "", 0},
        {std::string("[Tester]\nSystem=le\0nz\n", 22), true, "selectrix", "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Write(c.text);
        std::string problem;
        const StoredChoice got = tester::LoadChoice(file, problem);
        EXPECT_EQ(!problem.empty(), c.problem) << problem;
        EXPECT_EQ(got.system, c.system);
        EXPECT_EQ(got.port, c.port);
        EXPECT_EQ(got.baud, c.baud);
    }
}

TEST_F(ChoiceFolder, AMissingFileIsTheDefaultsWithoutComplaint) {
    std::string problem = "left over";
    const StoredChoice got = tester::LoadChoice(file, problem);
    EXPECT_TRUE(problem.empty());
    EXPECT_EQ(got.system, "selectrix");
    // A folder where the file should be cannot be read: defaults, said once.
    fs::create_directories(file);
    tester::LoadChoice(file, problem);
    EXPECT_FALSE(problem.empty());
}

TEST_F(ChoiceFolder, SaveCreatesTheFolderKeepsOtherLinesAndReplacesADamagedFile) {
    StoredChoice choice;
    choice.system = "marklin";
    choice.port = "rfc2217://pi.local:2217";
    choice.baud = 2400;
    tester::SaveChoice(file, choice, false);
    std::string problem;
    StoredChoice got = tester::LoadChoice(file, problem);
    EXPECT_TRUE(problem.empty()) << problem;
    EXPECT_EQ(got.system, "marklin");
    EXPECT_EQ(got.port, "rfc2217://pi.local:2217");
    EXPECT_EQ(got.baud, 2400);
    EXPECT_EQ(fs::status(fs::path(file).parent_path()).permissions() & fs::perms::others_all,
              fs::perms::none);

    Write("; kept\n[Tester]\nSystem=lenz\n");
    tester::SaveChoice(file, choice, false);
    EXPECT_EQ(Read(file).rfind("; kept\n", 0), 0u) << Read(file);

    // A damaged file goes aside whole; the new one loads cleanly.
    const std::string damaged = "garbage that is no ini line\n";
    Write(damaged);
    EXPECT_THROW(tester::SaveChoice(file, choice, false), std::exception);
    tester::SaveChoice(file, choice, true);
    EXPECT_EQ(Read(file + ".damaged"), damaged);
    got = tester::LoadChoice(file, problem);
    EXPECT_TRUE(problem.empty()) << problem;
    EXPECT_EQ(got.system, "marklin");
}

// ------------------------------------------------------------ command line

namespace {

// The program in a fresh process: prints its title, whether "Poort open"
// connects with --simulator, and the component's system number.
int RunWith(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(args.size());
    return tester::RunQuorrin(argc, argv.data(), [](tester::TFormQuorrin& form) {
        std::printf("%s\n", form.windowTitle().toStdString().c_str());
        std::printf("%d\n", form.MivoCom1->DigitaalSysteem);
        std::printf("%s\n", form.ComboBoxBaud->currentText().toStdString().c_str());
        form.CheckBoxPoortOpen->click();
        std::printf("%s\n", form.MivoCom1->Connected() ? "connected" : "not connected");
        std::fflush(stdout);
        QCoreApplication::exit(0);
    });
}
int LenzSimulator(int, char**) {
    return RunWith({"quorrin", "--system", "lenz", "--simulator"});
}
int AsStored(int, char**) {
    return RunWith({"quorrin", "--simulator"});
}
int UnknownSystem(int, char**) {
    return RunWith({"quorrin", "--system", "rocket"});
}
const testsupport::ChildBody kLenzSimulator("tester-lenz-simulator", &LenzSimulator);
const testsupport::ChildBody kAsStored("tester-as-stored", &AsStored);
const testsupport::ChildBody kUnknownSystem("tester-unknown-system", &UnknownSystem);

} // namespace

TEST_F(ChoiceFolder, TheSystemIsChosenOnTheCommandLineAndKeptForTheNextRun) {
    // The children take this environment, the settings folder with it.
    const std::string before = std::getenv("XDG_CONFIG_HOME") ? std::getenv("XDG_CONFIG_HOME") : "";
    setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    struct Restore {
        std::string value;
        ~Restore() { setenv("XDG_CONFIG_HOME", value.c_str(), 1); }
    } restore{before};
    const std::vector<std::string> env;
    const auto unknown = testsupport::RunChild("tester-unknown-system", env);
    EXPECT_EQ(unknown.exitStatus, 2);
    EXPECT_TRUE(unknown.lines.empty());
    EXPECT_FALSE(fs::exists(file)); // before any window: nothing kept

    const auto lenz = testsupport::RunChild("tester-lenz-simulator", env);
    EXPECT_EQ(lenz.exitStatus, 0);
    EXPECT_EQ(lenz.lines,
              (std::vector<std::string>{"Quorrin - Lenz", std::to_string(command_station::dsLenz),
                                        "9600", "connected"}));
    std::string problem;
    const StoredChoice kept = tester::LoadChoice(file, problem);
    EXPECT_TRUE(problem.empty()) << problem;
    EXPECT_EQ(kept.system, "lenz");
    EXPECT_EQ(kept.port, ""); // the simulator's device is not worth keeping

    const auto again = testsupport::RunChild("tester-as-stored", env);
    EXPECT_EQ(again.exitStatus, 0);
    ASSERT_EQ(again.lines.size(), 4u);
    EXPECT_EQ(again.lines[0], "Quorrin - Lenz");

    // A damaged file: the defaults (Selectrix), and the file is replaced.
    const std::string damaged = "\x01\x02 not ini\n";
    std::ofstream(file, std::ios::binary | std::ios::trunc) << damaged;
    const auto fresh = testsupport::RunChild("tester-as-stored", env);
    EXPECT_EQ(fresh.exitStatus, 0);
    ASSERT_EQ(fresh.lines.size(), 4u);
    EXPECT_EQ(fresh.lines[0], "Quorrin");
    EXPECT_EQ(fresh.lines[3], "connected");
    tester::LoadChoice(file, problem);
    EXPECT_TRUE(problem.empty()) << problem;
    std::ifstream aside(file + ".damaged", std::ios::binary);
    EXPECT_TRUE(aside.good());
}
