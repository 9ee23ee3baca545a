// The console side quorrin-sim's systems share: parsing what is typed, running a line through
// a console's commands and reading a console's options.
#include "sim/console/Console.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

TEST(ConsoleParsing, NumbersAndSwitchesAsTyped) {
    struct Case {
        const char* word;
        std::optional<long> number;
    } numbers[] = {
        {"0", 0},
        {"127", 127},
        {"0x7F", 127},
        {"0X7f", 127},
        {"0b101", 5},
        {"010", 10},
        {"0x", std::nullopt},
        {"0b", std::nullopt},
        {"-1", {}},
        {"12a", std::nullopt},
        {"", std::nullopt},
        {"0b102", std::nullopt},
        {"99999999999999999999", std::nullopt}, // beyond a long: refused, not cut short
    };
    for (const Case& c : numbers)
        EXPECT_EQ(sim::console::Number(c.word), c.number) << "'" << c.word << "'";
    EXPECT_EQ(sim::console::Number("0xFF", 255), 255);
    EXPECT_EQ(sim::console::Number("256", 255), std::nullopt);

    EXPECT_EQ(sim::console::OnOff("on"), true);
    EXPECT_EQ(sim::console::OnOff("1"), true);
    EXPECT_EQ(sim::console::OnOff("off"), false);
    EXPECT_EQ(sim::console::OnOff("0"), false);
    EXPECT_EQ(sim::console::OnOff("ON"), std::nullopt);
    EXPECT_EQ(sim::console::OnOff("yes"), std::nullopt);

    EXPECT_EQ(sim::console::SplitWords("  bus\t5  0x10 \r"),
              (std::vector<std::string>{"bus", "5", "0x10"}));
    EXPECT_TRUE(sim::console::SplitWords(" \t ").empty());
}

TEST(ServeConsole, ASimulatorThatCannotBeMadeEndsTheProgramWithOne) {
    // The signalfd is closed for it: the loop that would close it never ran.
    EXPECT_EQ(
        sim::console::ServeConsole([](int) { throw std::runtime_error("FakeSim: openpty: gone"); }),
        1);
    EXPECT_EQ(sim::console::ServeConsole([](int sigFd) { close(sigFd); }), 0);
}

TEST(ConsoleParsing, RangesByteListsAndEscapes) {
    EXPECT_EQ(sim::console::NumberIn("1", 1, 8), 1);
    EXPECT_EQ(sim::console::NumberIn("0", 1, 8), std::nullopt);
    EXPECT_EQ(sim::console::NumberIn("9", 1, 8), std::nullopt);
    EXPECT_EQ(sim::console::OnOffArgument({"power", "on"}), true);
    EXPECT_EQ(sim::console::OnOffArgument({"power", "on", "now"}), std::nullopt);
    EXPECT_EQ(sim::console::OnOffArgument({"power"}), std::nullopt);

    EXPECT_EQ(sim::console::ByteList({"raw", "1", "0xFF", "0b10"}, 1), std::string("\x01\xFF\x02"));
    EXPECT_EQ(sim::console::ByteList({"raw"}, 1), std::string());
    EXPECT_EQ(sim::console::ByteList({"raw", "1", "256"}, 1), std::nullopt);

    EXPECT_EQ(sim::console::Escaped("a\\b\x1b[2J\xC3\xA9~"), "a\\\\b\\x1B[2J\\xC3\\xA9~");
}

// A console's commands over a recording stand-in for a simulator.
struct Recorder {
    std::vector<std::string> done;
    bool on = false;
    void SetOn(bool v) { on = v; }
    int amount = -1;
    void SetAmount(int v) { amount = v; }
};

class ConsoleExecute : public ::testing::Test {
  protected:
    // Runs one line and returns whether the console goes on; `said` gets what it printed.
    bool Run(const std::string& line) {
        ::testing::internal::CaptureStdout();
        bool goOn = sim::console::Execute(sim, commands, {"HELP", " (hint)"}, line);
        said = ::testing::internal::GetCapturedStdout();
        return goOn;
    }

    Recorder sim;
    std::vector<sim::console::Command<Recorder>> commands = {
        {"show",
         [](Recorder& r, const sim::console::Words& w) {
             r.done.push_back("show " + std::to_string(w.size()));
             return true;
         }},
        {"strict", [](Recorder&, const sim::console::Words& w) { return w.size() == 1; }},
        {"switch", sim::console::Switch<&Recorder::SetOn>},
        {"amount", sim::console::Amount<&Recorder::SetAmount, 100>},
    };
    std::string said;
};

TEST_F(ConsoleExecute, RunsTheTableAndSaysWhatItDidNotUnderstand) {
    struct Case {
        const char* line;
        bool goOn;
        const char* said;
    } cases[] = {
        {"", true, ""},           {"   ", true, ""},
        {"show", true, ""},       {"  show a b ", true, ""},
        {"strict", true, ""},     {"strict x", true, "? strict x (hint)\n"},
        {"help", true, "HELP\n"}, {"zap\x07", true, "? zap\\x07 (hint)\n"},
        {"switch on", true, ""},  {"switch maybe", true, "? switch maybe (hint)\n"},
        {"amount 100", true, ""}, {"amount 101", true, "? amount 101 (hint)\n"},
        {"quit", false, ""},      {"exit now", false, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Run(c.line), c.goOn) << "'" << c.line << "'";
        EXPECT_EQ(said, c.said) << "'" << c.line << "'";
    }
    EXPECT_EQ(sim.done, (std::vector<std::string>{"show 1", "show 3"}));
    EXPECT_TRUE(sim.on);
    EXPECT_EQ(sim.amount, 100);
}

// A table's own "help" comes before the console's.
TEST_F(ConsoleExecute, ATableMayAnswerHelpItself) {
    commands.push_back({"help", [](Recorder& r, const sim::console::Words&) {
                            r.done.push_back("own help");
                            return true;
                        }});
    EXPECT_TRUE(Run("help"));
    EXPECT_EQ(said, "");
    EXPECT_EQ(sim.done, std::vector<std::string>{"own help"});
}

TEST(ConsoleOptions, HelpVerboseValuesAndWhatIsRefused) {
    int taken = 0;
    std::vector<sim::console::ValueOption> valued = {{"--level",
                                                      [&](const std::string& v) {
                                                          if (v != "3") return false;
                                                          taken = 3;
                                                          return true;
                                                      },
                                                      "--level takes 3"}};
    struct Case {
        sim::console::Words args;
        bool hasVerbose;
        std::optional<int> end;
        bool verbose;
        int taken;
        const char* err;
    } cases[] = {
        {{}, true, std::nullopt, false, 0, ""},
        {{"-v"}, true, std::nullopt, true, 0, ""},
        {{"--verbose", "--level", "3"}, true, std::nullopt, true, 3, ""},
        {{"--verbose"}, false, 2, false, 0, "quorrin-sim: unknown option --verbose (try --help)\n"},
        {{"--level", "4"}, true, 2, false, 0, "quorrin-sim: --level takes 3\n"},
        {{"--level"}, true, 2, false, 0, "quorrin-sim: unknown option --level (try --help)\n"},
        {{"--bogus", "--help"},
         true,
         2,
         false,
         0,
         "quorrin-sim: unknown option --bogus (try --help)\n"},
        {{"-h", "--bogus"}, true, 0, false, 0, ""},
    };
    for (const Case& c : cases) {
        bool verbose = false;
        taken = 0;
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        auto end =
            sim::console::ReadOptions(c.args, "HELP", c.hasVerbose ? &verbose : nullptr, valued);
        std::string out = ::testing::internal::GetCapturedStdout();
        std::string err = ::testing::internal::GetCapturedStderr();
        std::string name = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(end, c.end) << name;
        EXPECT_EQ(verbose, c.verbose) << name;
        EXPECT_EQ(taken, c.taken) << name;
        EXPECT_EQ(err, c.err) << name;
        EXPECT_EQ(out, c.end == 0 ? "HELP" : "") << name;
    }
}

} // namespace
