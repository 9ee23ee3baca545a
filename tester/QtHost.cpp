#include "tester/QtHost.h"

#include "platform/Translate.h"

#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>

namespace tester {

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        platform::Host().ReportException(std::current_exception());
        return false;
    }
}

namespace {

QString Tr(const char* text) {
    return QString::fromStdString(platform::Translate(text));
}

// A modal box over the active window; `title` empty takes the program's name.
QMessageBox::StandardButton Box(QMessageBox::Icon icon, const QString& title,
                                const std::string& text, QMessageBox::StandardButtons buttons) {
    QMessageBox box(icon, title, QString::fromStdString(text), buttons,
                    QApplication::activeWindow());
    box.setDefaultButton(QMessageBox::Ok);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

QString ProgramTitle() {
    return QStringLiteral("Quorrin");
}

} // namespace

TQtHost::TQtHost() {
    platform::SetMainThread();
    platform::SetHost(this);
    // Work queued by another thread wakes the event loop, which serves it.
    platform::MainQueue().SetNotifier([] {
        if (QCoreApplication* app = QCoreApplication::instance())
            QMetaObject::invokeMethod(
                app, [] { platform::MainQueue().Serve(); }, Qt::QueuedConnection);
    });
}

TQtHost::~TQtHost() {
    platform::MainQueue().SetNotifier(nullptr);
    platform::SetHost(nullptr);
}

void TQtHost::ShowMessage(const std::string& text) {
    Box(QMessageBox::NoIcon, ProgramTitle(), text, QMessageBox::Ok);
}

void TQtHost::ShowError(const std::string& text) {
    Box(QMessageBox::Critical, Tr("Error"), text, QMessageBox::Ok);
}

bool TQtHost::ShowErrorOkCancel(const std::string& text) {
    return Box(QMessageBox::Critical, Tr("Error"), text, QMessageBox::Ok | QMessageBox::Cancel) ==
           QMessageBox::Ok;
}

void TQtHost::ProcessMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    platform::MainQueue().Serve();
}

void TQtHost::ReportException(std::exception_ptr error) {
    Box(QMessageBox::Critical, ProgramTitle(), platform::ExceptionText(error), QMessageBox::Ok);
}

QString TCatalogueTranslator::translate(const char*, const char* sourceText, const char*,
                                        int) const {
    if (!sourceText || !*sourceText) return {};
    const std::string found = platform::Translate(sourceText);
    if (found == sourceText) return {};
    return QString::fromStdString(found);
}

} // namespace tester
