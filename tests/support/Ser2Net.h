// Debian's ser2net, started on the loopback address and bridging a free TCP
// port to a serial device (the slave side of a simulator's pseudo-terminal).
// With `comPort` it offers the Telnet com-port option, without it raw TCP.
#pragma once

#include "platform/Tick.h"
#include "tests/support/ChildProcess.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace testsupport {

class Ser2Net {
  public:
    static constexpr const char* kProgram = "/usr/sbin/ser2net";

    static bool Installed() { return ::access(kProgram, X_OK) == 0; }

    // A TCP port nobody listens on now (bound and given back).
    static int FreePort() {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            throw std::runtime_error("no free port");
        ::close(fd);
        return ntohs(a.sin_port);
    }

    Ser2Net(const std::string& device, bool comPort = true) : port_(FreePort()) {
        const std::string accepter = std::string(comPort ? "telnet(rfc2217)," : "") +
                                     "tcp,127.0.0.1," + std::to_string(port_);
        pidFile_ = "/tmp/quorrin-ser2net-" + std::to_string(::getpid()) + "-" +
                   std::to_string(port_) + ".pid";
        std::vector<std::string> args = {kProgram,
                                         "-n",
                                         "-u",
                                         "-P",
                                         pidFile_,
                                         "-Y",
                                         "connection: &quorrin",
                                         "-Y",
                                         "  accepter: " + accepter,
                                         "-Y",
                                         "  connector: serialdev," + device + ",9600n81,local",
                                         "-Y",
                                         "  options:",
                                         "-Y",
                                         "    kickolduser: true"};
        process_ = std::make_unique<Process>(Launch{std::move(args)});
        if (!process_->Started()) throw std::runtime_error("ser2net cannot be started");
        // Listening shows in the kernel's socket table; no probe connection
        // (ser2net would open the device for it).
        const auto deadline = platform::Deadline::After(5000);
        while (!Listening()) {
            if (deadline.Reached()) {
                Stop();
                throw std::runtime_error("ser2net does not listen");
            }
            platform::Sleep(10);
        }
    }

    ~Ser2Net() { Stop(); }
    Ser2Net(const Ser2Net&) = delete;
    Ser2Net& operator=(const Ser2Net&) = delete;

    int Port() const { return port_; }
    std::string Url() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }

    void Stop() {
        if (!process_) return;
        process_->Signal(SIGTERM);
        process_->Wait();
        process_.reset();
        std::remove(pidFile_.c_str());
    }

  private:
    bool Listening() const {
        std::ifstream tcp("/proc/net/tcp");
        char local[32];
        std::snprintf(local, sizeof local, "0100007F:%04X", port_);
        std::string line;
        while (std::getline(tcp, line))
            if (line.find(local) != std::string::npos && line.find(" 0A ") != std::string::npos)
                return true;
        return false;
    }

    int port_;
    std::unique_ptr<Process> process_;
    std::string pidFile_;
};

} // namespace testsupport
