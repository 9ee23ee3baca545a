#include "tester/Program.h"

#include "cli/Trace.h"
#include "platform/Host.h"
#include "platform/Translate.h"
#include "serial/CPort.h"
#include "serial/qt/ComComboBox.h"
#include "sim/SelectrixSim.h"
#include "tester/QtHost.h"
#include "tester/TraceWindow.h"
#include "tester/UnitQuorrin.h"
#include "tester/UnitSplash.h"

#include <QTimer>

#include <cstdio>
#include <cstring>
#include <memory>

namespace tester {
namespace {

const char* const kUsage =
    "Usage: quorrin [--simulator] [--port NAME] [--trace-file PATH]\n"
    "\n"
    "Quorrin tests a Selectrix model-railway system through the PC interface of its\n"
    "central unit on a serial port.\n"
    "\n"
    "  --simulator  start a simulated Selectrix central unit behind a pseudo-terminal,\n"
    "               add its device to the port list and select it, so that \"Poort open\"\n"
    "               connects to it at once (for trying the program without a layout)\n"
    "  --port NAME  add NAME to the port list (when it is not there) and select it, e.g.\n"
    "               /dev/ttyUSB0 or a port shared over the network: rfc2217://HOST:PORT\n"
    "  --trace-file PATH  append every message on the line to PATH, one JSON object a\n"
    "               line (Ctrl+T shows them in the window \"Lijnverkeer\")\n"
    "  --help       show this text\n"
    "\n"
    "Qt's own options (such as -platform offscreen) are accepted as well.\n";

std::string TraceFileText(const std::string& path, const std::string& why) {
    return platform::Translate("Trace file") + " " + path + ": " + why;
}

bool Is(const char* arg, const char* option) {
    return std::strcmp(arg, option) == 0;
}

} // namespace

int RunQuorrin(int argc, char** argv, const std::function<void(TFormQuorrin&)>& onRunning) {
    for (int i = 1; i < argc; ++i) {
        if (Is(argv[i], "--help") || Is(argv[i], "-h")) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }

    platform::InitTranslation();
    serial::InitSerialLayer();

    TApplication app(argc, argv); // takes Qt's own options out of argv
    bool simulator = false;
    std::string portName;
    std::string traceFile;
    for (int i = 1; i < argc; ++i) {
        if (Is(argv[i], "--simulator")) {
            simulator = true;
        } else if (Is(argv[i], "--port") && i + 1 < argc && argv[i + 1][0] != '\0') {
            portName = argv[++i];
        } else if (Is(argv[i], "--trace-file") && i + 1 < argc && argv[i + 1][0] != '\0') {
            traceFile = argv[++i];
        } else {
            std::fprintf(stderr, "quorrin: unknown option %s\n\n%s", argv[i], kUsage);
            return 2;
        }
    }
    TCatalogueTranslator translator;
    QApplication::installTranslator(&translator);
    TQtHost host;

    // The line's observer outlives the window and its port; a trace file that
    // cannot be written ends the program before anything is traced.
    TraceTap tap;
    std::unique_ptr<cli::LineTrace> fileTrace;
    if (!traceFile.empty()) {
        std::string why;
        const int fd = cli::OpenTraceFile(traceFile, why);
        if (fd < 0) {
            platform::Host().ShowError(TraceFileText(traceFile, why));
            return 1;
        }
        fileTrace = std::make_unique<cli::LineTrace>("selectrix", false, false, fd, traceFile);
        fileTrace->onFileFailure = [](const std::string& text) {
            QMetaObject::invokeMethod(
                qApp, [text] { platform::Host().ShowError(text); }, Qt::QueuedConnection);
        };
        tap.SetForward(fileTrace.get());
    }

    InitSplash();

    // The simulated unit outlives the window: closing the window may still
    // switch the unit off over the line.
    std::unique_ptr<sim::SelectrixSim> unit;
    std::unique_ptr<TFormQuorrin> form;
    try {
        if (simulator) unit = std::make_unique<sim::SelectrixSim>();
        form = std::make_unique<TFormQuorrin>();
    } catch (...) {
        delete SplashScreen;
        SplashScreen = nullptr;
        platform::Host().ReportException(std::current_exception());
        return 1;
    }
    InstallLineTraffic(*form, tap);
    if (unit) {
        form->ComComboBoxPort->addItem(QString::fromStdString(unit->DevicePath()));
        form->ComComboBoxPort->SetText(unit->DevicePath());
        form->Guarded([&] { form->ComComboBoxPortChange(); });
    }
    if (!portName.empty()) {
        const QString name = QString::fromStdString(portName);
        if (form->ComComboBoxPort->findText(name) < 0) form->ComComboBoxPort->addItem(name);
        form->ComComboBoxPort->SetText(portName);
        form->Guarded([&] { form->ComComboBoxPortChange(); });
    }

    form->show();
    if (onRunning) QTimer::singleShot(0, form.get(), [&] { onRunning(*form); });
    const int rc = app.exec();
    form.reset();
    if (fileTrace) fileTrace->Finish();
    return rc;
}

} // namespace tester
