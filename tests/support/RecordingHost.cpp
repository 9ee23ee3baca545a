#include "tests/support/RecordingHost.h"

namespace testsupport {

using platform::MainQueue;
using platform::SetHost;

RecordingHost::RecordingHost() {
    SetHost(this);
}
RecordingHost::~RecordingHost() {
    if (&platform::Host() == this) SetHost(nullptr);
}

void RecordingHost::Record(MessageKind kind, const std::string& text) {
    Shown shown{kind, text};
    {
        std::lock_guard lock(mutex_);
        shown_.push_back(shown);
    }
    if (onShow) onShow(shown);
}

void RecordingHost::ShowMessage(const std::string& text) {
    Record(MessageKind::Plain, text);
}
void RecordingHost::ShowError(const std::string& text) {
    Record(MessageKind::Error, text);
}
bool RecordingHost::ShowErrorOkCancel(const std::string& text) {
    Record(MessageKind::ErrorOkCancel, text);
    std::lock_guard lock(mutex_);
    if (answers_.empty()) return true;
    bool ok = answers_.front();
    answers_.pop_front();
    return ok;
}
void RecordingHost::ProcessMessages() {
    {
        std::lock_guard lock(mutex_);
        ++processCalls_;
    }
    MainQueue().Serve();
    if (onProcessMessages) onProcessMessages();
}
void RecordingHost::ReportException(std::exception_ptr error) {
    ShowError(platform::ExceptionText(error));
}

std::vector<RecordingHost::Shown> RecordingHost::Messages() {
    std::lock_guard lock(mutex_);
    return shown_;
}
std::vector<std::string> RecordingHost::Texts() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> texts;
    for (const auto& s : shown_)
        texts.push_back(s.text);
    return texts;
}
void RecordingHost::Clear() {
    std::lock_guard lock(mutex_);
    shown_.clear();
}
void RecordingHost::AnswerOkCancel(std::vector<bool> answers) {
    std::lock_guard lock(mutex_);
    answers_.assign(answers.begin(), answers.end());
}
int RecordingHost::ProcessMessagesCalls() {
    std::lock_guard lock(mutex_);
    return processCalls_;
}

} // namespace testsupport
