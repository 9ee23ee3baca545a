// A host for tests: records every message box instead of showing it.
#pragma once

#include "platform/Host.h"

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

using platform::MessageKind;

// A host for tests: records every message, answers OK/Cancel from a script,
// and serves the main-thread queue in ProcessMessages().
class RecordingHost : public platform::HostServices {
  public:
    struct Shown {
        MessageKind kind;
        std::string text;
    };

    RecordingHost();           // installs itself
    ~RecordingHost() override; // restores the console host

    void ShowMessage(const std::string& text) override;
    void ShowError(const std::string& text) override;
    bool ShowErrorOkCancel(const std::string& text) override;
    void ProcessMessages() override;
    void ReportException(std::exception_ptr error) override;

    std::vector<Shown> Messages();
    std::vector<std::string> Texts();
    void Clear();
    // Answers for the next OK/Cancel boxes (true = OK); OK when none left.
    void AnswerOkCancel(std::vector<bool> answers);
    // Runs on every ProcessMessages() call and whenever a box is shown, as
    // the nested loop of a real box would run timers.
    std::function<void()> onProcessMessages;
    std::function<void(const Shown&)> onShow;
    int ProcessMessagesCalls();

  private:
    void Record(MessageKind kind, const std::string& text);
    std::mutex mutex_;
    std::vector<Shown> shown_;
    std::deque<bool> answers_;
    int processCalls_ = 0;
};

} // namespace testsupport
