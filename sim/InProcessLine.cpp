#include "sim/InProcessLine.h"

#include "serial/local/LocalLine.h"

#include <cctype>

namespace sim {

namespace {

class InProcessLine final : public LineEnd {
  public:
    explicit InProcessLine(const std::string& name) : line_(serial::LocalLine::Create(name)) {}
    ~InProcessLine() override { line_->HangUp(); }

    const std::string& Name() const override { return line_->Name(); }
    // The fields a pty shows, as the port's device driver would have set them: 1.5 stop bits
    // as two, either half of RTS/CTS as both.
    LineSettings Settings() const override {
        const serial::Dcb dcb = line_->PeerSettings();
        return {dcb.BaudRate, dcb.StopBits != 0, dcb.fOutxCtsFlow || dcb.fRtsControl == 2};
    }
    bool Wait(int timeoutMs, bool wantOutput) override {
        line_->PeerWait(timeoutMs, wantOutput);
        return true;
    }
    size_t Read(char* buffer, size_t count) override { return line_->PeerRead(buffer, count); }
    size_t Write(const char* data, size_t count) override { return line_->PeerWrite(data, count); }
    void Wake() override { line_->PeerWake(); }

  private:
    std::shared_ptr<serial::LocalLine> line_;
};

} // namespace

std::string InProcessLineName(const std::string& who) {
    std::string system = who;
    if (system.size() > 3 && system.compare(system.size() - 3, 3, "Sim") == 0)
        system.erase(system.size() - 3);
    for (char& c : system)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return "sim:" + system;
}

std::unique_ptr<LineEnd> OpenInProcessLine(const std::string& name) {
    return std::make_unique<InProcessLine>(name);
}

} // namespace sim
