#include "tester/Program.h"

#include "frontend/LineTrace.h"
#include "frontend/Systems.h"
#include "platform/Host.h"
#include "platform/Translate.h"
#include "serial/CPort.h"
#include "serial/qt/ComComboBox.h"
#include "tester/QtHost.h"
#include "tester/StoredChoice.h"
#include "tester/TraceWindow.h"
#include "tester/UnitQuorrin.h"
#include "tester/UnitSplash.h"

#include <QComboBox>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <memory>

namespace tester {
namespace {

const char* const kUsage =
    "Usage: quorrin [--system NAME] [--simulator] [--port NAME] [--trace-file PATH]\n"
    "\n"
    "Quorrin tests a model-railway system through the PC interface of its central\n"
    "unit on a serial port: Selectrix, or another system of the list below.\n"
    "\n"
    "  --system NAME  the system: selectrix (the default), lenz, intellibox, marklin,\n"
    "               dinamo or kaart (the serial card in a rack)\n"
    "  --simulator  start a simulated central unit of the system inside the program,\n"
    "               add its port (sim:selectrix, sim:lenz, ...) to the port list and\n"
    "               select it, so that \"Poort open\" connects to it at once (for trying\n"
    "               the program without a layout)\n"
    "  --port NAME  add NAME to the port list (when it is not there) and select it, e.g.\n"
    "               /dev/ttyUSB0 or a port shared over the network: rfc2217://HOST:PORT\n"
    "  --trace-file PATH  append every message on the line to PATH, one JSON object a\n"
    "               line (Ctrl+T shows them in the window \"Lijnverkeer\")\n"
    "  --help       show this text\n"
    "\n"
    "The system, the port and the rate are kept for the next run in\n"
    "~/.config/quorrin/quorrin.ini ($XDG_CONFIG_HOME/quorrin/quorrin.ini when set).\n"
    "Qt's own options (such as -platform offscreen) are accepted as well.\n";

std::string TraceFileText(const std::string& path, const std::string& why) {
    return platform::Translate("Trace file") + " " + path + ": " + why;
}

bool Is(const char* arg, const char* option) {
    return std::strcmp(arg, option) == 0;
}

// Picks `name` in the port selector, adding it to the list when needed.
void SelectPort(TFormQuorrin& form, const std::string& name) {
    const QString text = QString::fromStdString(name);
    if (form.ComComboBoxPort->findText(text) < 0) form.ComComboBoxPort->addItem(text);
    form.ComComboBoxPort->SetText(name);
    form.Guarded([&] { form.ComComboBoxPortChange(); });
}

// The stored rate, picked in the baud list as the user would.
void SelectRate(TFormQuorrin& form, long baud) {
    const int index = form.ComboBoxBaud->findText(QString::number(baud));
    if (index < 0 || index == form.ComboBoxBaud->currentIndex()) return;
    form.ComboBoxBaud->setCurrentIndex(index);
    form.Guarded([&] { form.ComboBoxBaudChange(); });
}

// The choice of this run, kept for the next one. A failed save is said on
// standard error; the program ends as it would.
void Keep(TFormQuorrin& form, StoredChoice choice, const std::string& simulatorPath, bool replace) {
    choice.system = form.System().name;
    const std::string port = form.ComComboBoxPort->Text();
    if (!port.empty() && port != simulatorPath) choice.port = port;
    const long baud = form.ComboBoxBaud->currentText().toLong();
    if (baud != 0) choice.baud = baud;
    try {
        SaveChoice(ChoiceFile(), choice, replace);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quorrin: the settings were not saved: %s\n", e.what());
    }
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
    std::string systemName;
    std::string traceFile;
    for (int i = 1; i < argc; ++i) {
        if (Is(argv[i], "--simulator")) {
            simulator = true;
        } else if (Is(argv[i], "--system") && i + 1 < argc) {
            systemName = argv[++i];
            if (!frontend::FindSystem(systemName)) {
                std::fprintf(stderr, "quorrin: unknown system '%s' (one of %s)\n",
                             systemName.c_str(), frontend::SystemNames().c_str());
                return 2;
            }
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

    std::string problem;
    const StoredChoice stored = LoadChoice(ChoiceFile(), problem);
    const frontend::SystemInfo& system =
        *frontend::FindSystem(systemName.empty() ? stored.system : systemName);
    // The line's observer outlives the window and its port; a trace file that
    // cannot be written ends the program before anything is traced.
    TraceTap tap;
    std::unique_ptr<frontend::LineTrace> fileTrace;
    if (!traceFile.empty()) {
        std::string why;
        const int fd = frontend::OpenTraceFile(traceFile, why);
        if (fd < 0) {
            platform::Host().ShowError(TraceFileText(traceFile, why));
            return 1;
        }
        fileTrace = std::make_unique<frontend::LineTrace>(system.name, false, false, fd, traceFile);
        fileTrace->onFileFailure = [](const std::string& text) {
            QMetaObject::invokeMethod(
                qApp, [text] { platform::Host().ShowError(text); }, Qt::QueuedConnection);
        };
        tap.SetForward(fileTrace.get());
    }

    InitSplash();

    // The simulated unit outlives the window: closing the window may still
    // switch the unit off over the line.
    frontend::StartedSimulator unit;
    std::unique_ptr<TFormQuorrin> form;
    try {
        if (simulator) unit = system.startSimulator(sim::Wire::InProcess);
        form = std::make_unique<TFormQuorrin>(system);
    } catch (...) {
        delete SplashScreen;
        SplashScreen = nullptr;
        platform::Host().ReportException(std::current_exception());
        return 1;
    }
    if (stored.baud != 0 && stored.system == system.name) SelectRate(*form, stored.baud);
    InstallLineTraffic(*form, tap);
    if (unit.simulator) SelectPort(*form, unit.path);
    if (!portName.empty())
        SelectPort(*form, portName);
    else if (!unit.simulator && !stored.port.empty())
        SelectPort(*form, stored.port);

    form->show();
    if (!problem.empty())
        QTimer::singleShot(0, form.get(), [problem] {
            platform::Host().ShowError(
                platform::Translate("The settings file could not be used; the defaults apply: ") +
                problem);
        });
    if (onRunning) QTimer::singleShot(0, form.get(), [&] { onRunning(*form); });
    const int rc = app.exec();
    Keep(*form, stored, unit.path, !problem.empty());
    form.reset();
    if (fileTrace) fileTrace->Finish();
    return rc;
}

} // namespace tester
