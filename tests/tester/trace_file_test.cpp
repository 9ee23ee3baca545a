// The tester's --trace-file, in fresh processes started as from a shell: a file
// that cannot be written ends the program at once with one message and status
// 1; one that can gets the chosen system's messages.
#include "tester/Program.h"
#include "tester/UnitQuorrin.h"
#include "tests/support/ChildProcess.h"

#include <QApplication>
#include <QCheckBox>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Every modal box of the child is written out and answered at once, so the
// child goes on where a person would have to click.
void AnswerBoxes() {
    auto* timer = new QTimer(QCoreApplication::instance());
    QObject::connect(timer, &QTimer::timeout, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            std::printf("box: %s\n", box->text().toStdString().c_str());
            std::fflush(stdout);
            box->done(QMessageBox::Ok);
        }
    });
    timer->start(20);
}

// quorrin --simulator --system $TRACE_SYSTEM --trace-file $TRACE_FILE: once
// running, opens the port and tests the connection, then ends. Prints the
// boxes, "running" once the window runs, and the exit status.
int StartedWithTraceFile(int, char**) {
    std::string config = (std::filesystem::temp_directory_path() / "quorrin-trace-XXXXXX").string();
    if (!mkdtemp(config.data())) return 99;
    setenv("XDG_CONFIG_HOME", config.c_str(), 1); // the choice of this run stays here
    qAddPreRoutine(AnswerBoxes);
    std::vector<std::string> args{"quorrin",      "--simulator",
                                  "--system",     std::getenv("TRACE_SYSTEM"),
                                  "--trace-file", std::getenv("TRACE_FILE")};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(args.size());
    const int rc = tester::RunQuorrin(argc, argv.data(), [](tester::TFormQuorrin& form) {
        std::printf("running\n");
        std::fflush(stdout);
        form.CheckBoxPoortOpen->click();
        form.ButtonVerbindingOke->click();
        QCoreApplication::exit(0);
    });
    std::printf("status %d\n", rc);
    std::filesystem::remove_all(config);
    return 0;
}
const testsupport::ChildBody kStartedWithTraceFile("tester-trace-file", &StartedWithTraceFile);

testsupport::ChildResult Start(const std::string& system, const std::string& file) {
    return testsupport::RunChild("tester-trace-file",
                                 {"TRACE_SYSTEM=" + system, "TRACE_FILE=" + file});
}

struct Folder {
    std::string path = (std::filesystem::temp_directory_path() / "quorrin-tf-XXXXXX").string();
    Folder() { EXPECT_NE(mkdtemp(path.data()), nullptr); }
    ~Folder() { std::filesystem::remove_all(path); }
};

} // namespace

TEST(TraceFile, OneThatCannotBeWrittenEndsTheProgramWithOneMessageBeforeAnyWindow) {
    Folder folder;
    const std::string target = folder.path + "/kept.jsonl";
    std::ofstream(target).close();
    const std::string link = folder.path + "/link.jsonl";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    const std::string fifo = folder.path + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // A folder this user may not write to; root writes anywhere but in sysfs.
    std::string locked = folder.path + "/locked";
    if (geteuid() == 0) {
        locked = "/sys";
    } else {
        ASSERT_EQ(mkdir(locked.c_str(), 0500), 0);
    }
    const struct {
        std::string path, why;
    } cases[] = {
        {folder.path + "/missing/trace.jsonl", "No such file or directory"},
        {locked + "/trace.jsonl", "Permission denied"},
        {link, "Too many levels of symbolic links"},
        {fifo, "not a regular file"},
        {folder.path, "Is a directory"},
    };
    for (const auto& c : cases) {
        const auto child = Start("selectrix", c.path);
        EXPECT_EQ(child.exitStatus, 0) << c.path;
        EXPECT_EQ(child.lines, (std::vector<std::string>{"box: Trace file " + c.path + ": " + c.why,
                                                         "status 1"}))
            << c.path;
    }
    // The link's file was left as it was.
    EXPECT_EQ(std::filesystem::file_size(target), 0u);
}

TEST(TraceFile, HoldsTheChosenSystemsMessages) {
    const struct {
        std::string system, prefix;
    } cases[] = {{"selectrix", "sx."}, {"lenz", "lenz."}, {"dinamo", "dinamo."}};
    for (const auto& c : cases) {
        Folder folder;
        const std::string file = folder.path + "/trace.jsonl";
        const auto child = Start(c.system, file);
        ASSERT_EQ(child.exitStatus, 0) << c.system;
        ASSERT_FALSE(child.lines.empty()) << c.system;
        EXPECT_EQ(child.lines.front(), "running") << c.system;
        EXPECT_EQ(child.lines.back(), "status 0") << c.system;
        std::ifstream in(file);
        std::vector<std::string> kinds, events;
        for (std::string line; std::getline(in, line);) {
            const auto o = nlohmann::json::parse(line);
            if (o.contains("kind")) kinds.push_back(o["kind"]);
            if (o.contains("line")) events.push_back(o["line"]);
        }
        // What another system's decoder would have named, none; bytes of no
        // message at all may stay raw.
        ASSERT_NE(std::find_if(kinds.begin(), kinds.end(),
                               [&](const std::string& k) { return k.rfind(c.prefix, 0) == 0; }),
                  kinds.end())
            << c.system;
        for (const std::string& k : kinds)
            EXPECT_TRUE(k == "raw" || k.rfind(c.prefix, 0) == 0) << c.system << ": " << k;
        ASSERT_FALSE(events.empty()) << c.system;
        EXPECT_EQ(events.front(), "opened") << c.system;
        EXPECT_EQ(events.back(), "closed") << c.system;
    }
}
