// The network serial device against a small in-process server on the
// loopback address: option negotiation and its failures, notifications of
// modem lines and line errors, malformed Telnet from the server, names.
#include "platform/Tick.h"
#include "serial/CPort.h"
#include "serial/net/NetComDevice.h"
#include "tests/support/Bytes.h"
#include "tests/support/RecordingHost.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <resolv.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace serial;

namespace {

constexpr uint32_t kBeforeWrap = 0xFFFFFFFFu - 100;

using testsupport::Bytes;

// One connection at a time; what the client sends is recorded, requests for
// a bit rate are answered (unless told not to), and the test sends what it
// likes with Send().
class FakeServer {
  public:
    // FloodOptions: agrees and answers the first bit rate, then reads no more
    // and turns an option off and on again for as long as it runs.
    enum class Mode { Agree, Refuse, Silent, FloodOptions };

    enum class Family { V4, V6 };

    explicit FakeServer(Mode mode, Family family = Family::V4) : mode_(mode), family_(family) {
        if (family == Family::V6) {
            listen_ = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in6 a{};
            a.sin6_family = AF_INET6;
            a.sin6_addr = in6addr_loopback;
            socklen_t len = sizeof a;
            ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
            ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
            port_ = ntohs(a.sin6_port);
        } else {
            listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t len = sizeof a;
            ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
            ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
            port_ = ntohs(a.sin_port);
        }
        if (mode == Mode::FloodOptions) {
            // What it does not read fills a small window soon.
            int small = 4096;
            ::setsockopt(listen_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        }
        ::listen(listen_, 1);
        ::pipe(stop_);
        thread_ = std::thread([this] { Serve(); });
    }
    ~FakeServer() {
        ::write(stop_[1], "x", 1);
        thread_.join();
        for (int f : {listen_, stop_[0], stop_[1], conn_.load()})
            if (f >= 0) ::close(f);
    }

    std::string Url() const {
        return std::string(family_ == Family::V6 ? "rfc2217://[::1]:" : "rfc2217://127.0.0.1:") +
               std::to_string(port_);
    }
    int Port() const { return port_; }

    void Send(const std::string& bytes) {
        size_t at = 0;
        while (at < bytes.size()) {
            pollfd p{conn_, POLLOUT, 0};
            ::poll(&p, 1, 1000);
            ssize_t n = ::send(conn_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (n <= 0) return;
            at += static_cast<size_t>(n);
        }
    }
    void Hangup() { ::shutdown(conn_, SHUT_RDWR); }
    // Rate requests are answered with `rate` from now on (0: the rate asked for).
    void AnswerRate(uint32_t rate) { answerRate_ = rate; }
    std::string Received() {
        std::lock_guard lock(mutex_);
        return received_;
    }
    // Blocks until the client has sent `what` (or 2 s passed).
    bool WaitFor(const std::string& what) {
        const auto deadline = platform::Deadline::After(2000);
        while (Received().find(what) == std::string::npos) {
            if (deadline.Reached()) return false;
            platform::Sleep(2);
        }
        return true;
    }

  private:
    void Serve() {
        pollfd p[2] = {{listen_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        ::poll(p, 2, -1);
        if (p[1].revents) return;
        conn_ = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (mode_ == Mode::Agree || mode_ == Mode::FloodOptions)
            Send(Bytes({255, 253, 44, 255, 251, 0, 255, 253, 0}));
        if (mode_ == Mode::Refuse) Send(Bytes({255, 254, 44}));
        char buf[4096];
        std::string pending;
        for (;;) {
            pollfd q[2] = {{conn_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            ::poll(q, 2, -1);
            if (q[1].revents) return;
            ssize_t n = ::recv(conn_, buf, sizeof buf, 0);
            if (n <= 0) {
                ::shutdown(conn_, SHUT_WR); // the client finished: so do we
                return;
            }
            {
                std::lock_guard lock(mutex_);
                received_.append(buf, static_cast<size_t>(n));
            }
            if (mode_ != Mode::Agree && mode_ != Mode::FloodOptions) continue;
            // Answer every rate request (with the rate asked for, unless told otherwise).
            pending.append(buf, static_cast<size_t>(n));
            const std::string request = Bytes({255, 250, 44, 1});
            size_t at;
            bool answered = false;
            while ((at = pending.find(request)) != std::string::npos && pending.size() >= at + 10) {
                std::string rate = pending.substr(at + 4, 4);
                if (uint32_t r = answerRate_)
                    rate = Bytes({uint8_t(r >> 24), uint8_t(r >> 16), uint8_t(r >> 8), uint8_t(r)});
                Send(Bytes({255, 250, 44, 101}) + rate + Bytes({255, 240}));
                pending.erase(0, at + 10);
                answered = true;
            }
            if (answered && mode_ == Mode::FloodOptions) return Flood();
        }
    }

    // DONT BINARY, DO BINARY, ... without a pause and without reading.
    void Flood() {
        std::string toggles;
        for (int i = 0; i < 1000; ++i)
            toggles += Bytes({255, 254, 0, 255, 253, 0});
        size_t at = 0;
        for (;;) {
            pollfd q[2] = {{conn_, POLLOUT, 0}, {stop_[0], POLLIN, 0}};
            ::poll(q, 2, -1);
            if (q[1].revents) return;
            ssize_t n = ::send(conn_, toggles.data() + at, toggles.size() - at,
                               MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN && errno != EINTR) return;
            if (n > 0) at = (at + static_cast<size_t>(n)) % toggles.size();
        }
    }

    Mode mode_;
    Family family_;
    int listen_ = -1;
    int port_ = 0;
    int stop_[2] = {-1, -1};
    std::atomic<int> conn_{-1};
    std::atomic<uint32_t> answerRate_{0};
    std::thread thread_;
    std::mutex mutex_;
    std::string received_;
};

class NetDevice : public ::testing::Test {
  protected:
    void SetUp() override { platform::SetTickCountStart(kBeforeWrap); }

    // Opens `device` on `server` and applies 9600 8N1.
    void OpenOn(NetComDevice& device, FakeServer& server) {
        ASSERT_EQ(device.Open(server.Url()), 0) << device.FailureDetail();
        Dcb dcb;
        dcb.BaudRate = 9600;
        ASSERT_EQ(device.SetState(dcb), 0) << device.FailureDetail();
    }

    std::string ReadAll(NetComDevice& device, size_t want) {
        std::string got;
        const auto deadline = platform::Deadline::After(2000);
        while (got.size() < want && !deadline.Reached()) {
            bool ready = false;
            device.WaitReadable(static_cast<int>(deadline.Remaining()), ready);
            char buf[256];
            size_t n = 0;
            if (device.ReadSome(buf, sizeof buf, n) != 0) break;
            got.append(buf, n);
        }
        return got;
    }
};

TEST(NetworkPortName, SplitsHostAndPortOrSaysWhatIsWrong) {
    struct Row {
        const char* name;
        bool ok;
        const char* host;
        uint16_t port;
    } rows[] = {
        {"rfc2217://127.0.0.1:4001", true, "127.0.0.1", 4001},
        {"rfc2217://pi.local:2000/", true, "pi.local", 2000},
        {"rfc2217://[::1]:7", true, "::1", 7},
        {"rfc2217://127.0.0.1", false, "", 0},
        {"rfc2217://:4001", false, "", 0},
        {"rfc2217://h:0", false, "", 0},
        {"rfc2217://h:65536", false, "", 0},
        {"rfc2217://h:40a1", false, "", 0},
        {"rfc2217://h:", false, "", 0},
        {"rfc2217://::1:7", false, "", 0},
        {"rfc2217://[::1", false, "", 0},
        {"/dev/ttyUSB0", false, "", 0},
    };
    for (const Row& r : rows) {
        std::string host, error;
        uint16_t port = 0;
        EXPECT_EQ(ParseNetworkPortName(r.name, host, port, error), r.ok) << r.name;
        if (r.ok) {
            EXPECT_EQ(host, r.host) << r.name;
            EXPECT_EQ(port, r.port) << r.name;
        } else {
            EXPECT_FALSE(error.empty()) << r.name;
        }
    }
}

struct Collect : TelnetDecoder::Sink {
    std::string data, options;
    std::vector<std::vector<uint8_t>> subs;
    void Data(uint8_t b) override { data += static_cast<char>(b); }
    void Option(uint8_t verb, uint8_t option) override {
        options += static_cast<char>(verb);
        options += static_cast<char>(option);
    }
    void Subnegotiation(const std::vector<uint8_t>& body) override { subs.push_back(body); }
};

TEST(TelnetDecoderTest, SeparatesDataOptionsAndSubnegotiationsWhateverTheChunks) {
    const std::string stream = Bytes(
        {1, 255, 255, 2, 255, 253, 44, 255, 241, 3, 255, 250, 44, 107, 255, 255, 255, 240, 4});
    for (size_t chunk = 1; chunk <= stream.size(); ++chunk) {
        TelnetDecoder d;
        Collect c;
        for (size_t at = 0; at < stream.size(); at += chunk) {
            auto part = stream.substr(at, chunk);
            d.Feed(reinterpret_cast<const uint8_t*>(part.data()), part.size(), c);
        }
        EXPECT_EQ(c.data, Bytes({1, 255, 2, 3, 4})) << chunk;
        EXPECT_EQ(c.options, Bytes({253, 44})) << chunk;
        ASSERT_EQ(c.subs.size(), 1u) << chunk;
        EXPECT_EQ(c.subs[0], (std::vector<uint8_t>{44, 107, 255})) << chunk;
    }
}

TEST(TelnetDecoderTest, CutShortAndOverlongSubnegotiationsAreDroppedNotKept) {
    TelnetDecoder d;
    Collect c;
    // Cut short by another command, which still counts.
    std::string s = Bytes({255, 250, 44, 107, 255, 251, 3, 9});
    // Far longer than any com-port message, then data again.
    s += Bytes({255, 250, 44});
    s += std::string(100000, 'x');
    s += Bytes({255, 240, 10});
    d.Feed(reinterpret_cast<const uint8_t*>(s.data()), s.size(), c);
    EXPECT_EQ(c.options, Bytes({251, 3}));
    EXPECT_EQ(c.data, Bytes({9, 10}));
    EXPECT_TRUE(c.subs.empty());
    EXPECT_EQ(d.Dropped(), 2u);
}

TEST_F(NetDevice, OpenFailuresNameTheHostAndEndInTime) {
    testsupport::RecordingHost host;
    FakeServer refusing(FakeServer::Mode::Refuse);
    FakeServer silent(FakeServer::Mode::Silent);
    // A port nobody listens on: taken from a server that is gone.
    int closedPort;
    {
        FakeServer gone(FakeServer::Mode::Silent);
        closedPort = gone.Port();
    }
    struct Row {
        std::string name;
        int os;
        const char* says;
    } rows[] = {
        {refusing.Url(), EPROTONOSUPPORT, "refuses the com-port option"},
        {silent.Url(), ETIMEDOUT, "no answer to the com-port option"},
        {"rfc2217://127.0.0.1:" + std::to_string(closedPort), ECONNREFUSED, "cannot connect"},
        {"rfc2217://127.0.0.1", EINVAL, "no port number"},
        {"rfc2217://127.0.0.1:http", EINVAL, "bad port number"},
        {"rfc2217://no-such-host.invalid:4001", ENOENT, "cannot be resolved"},
    };
    for (const Row& r : rows) {
        TComPort port;
        port.SetPort(r.name);
        const uint32_t start = platform::GetTickCount();
        try {
            port.OpenPort();
            ADD_FAILURE() << r.name << " opened";
        } catch (const EComPort& e) {
            EXPECT_EQ(e.PortErrorCode(), 1) << r.name;
            EXPECT_EQ(e.OsErrorCode(), r.os) << r.name << ": " << e.what();
            const std::string text = e.what();
            EXPECT_NE(text.find(r.says), std::string::npos) << text;
            if (r.os != ENOENT) {
                const std::string host = r.name.substr(10, r.name.find(':', 10) - 10);
                EXPECT_NE(text.find(host), std::string::npos) << text;
            }
        }
        EXPECT_LT(platform::ElapsedSince(start), 4500u) << r.name;
        EXPECT_FALSE(port.Connected());
    }
}

TEST_F(NetDevice, ModemLinesAndLineErrorsComeFromTheNotifications) {
    FakeServer server(FakeServer::Mode::Agree);
    NetComDevice device;
    OpenOn(device, server);
    // The notifications were asked for.
    EXPECT_TRUE(server.WaitFor(Bytes({255, 250, 44, 11, 255, 255, 255, 240})));

    ASSERT_EQ(device.SetCommMask(EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_ERR | EV_BREAK), 0);
    auto wait = [&] {
        return std::async(std::launch::async, [&] {
            uint32_t mask = 0;
            EXPECT_EQ(device.WaitCommEvent(mask, -1), 0);
            return mask;
        });
    };
    struct Row {
        std::string send;
        uint32_t events;
        uint32_t modem;
        uint32_t errors;
    } rows[] = {
        {Bytes({255, 250, 44, 107, 0x31, 255, 240}), EV_CTS | EV_DSR, MS_CTS_ON | MS_DSR_ON, 0},
        {Bytes({255, 250, 44, 107, 0xB8, 255, 240}), EV_RLSD, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON,
         0},
        {Bytes({255, 250, 44, 107, 0x44, 255, 240}), EV_RING | EV_CTS | EV_DSR | EV_RLSD,
         MS_RING_ON, 0},
        {Bytes({255, 250, 44, 106, 0x0A, 255, 240}), EV_ERR, MS_RING_ON, CE_OVERRUN | CE_FRAME},
        {Bytes({255, 250, 44, 106, 0x14, 255, 240}), EV_ERR | EV_BREAK, MS_RING_ON,
         CE_RXPARITY | CE_BREAK},
    };
    for (const Row& r : rows) {
        auto got = wait();
        server.Send(r.send);
        ASSERT_EQ(got.wait_for(std::chrono::seconds(2)), std::future_status::ready);
        EXPECT_EQ(got.get(), r.events);
        uint32_t ms = 0;
        EXPECT_EQ(device.ModemStatus(ms), 0);
        EXPECT_EQ(ms, r.modem);
        ComStatus st;
        EXPECT_EQ(device.ClearError(st), 0);
        EXPECT_EQ(st.errors, r.errors);
    }
    // A change of mask ends a pending wait with nothing.
    auto got = wait();
    platform::Sleep(20);
    device.SetCommMask(EV_RXCHAR);
    ASSERT_EQ(got.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(got.get(), 0u);
}

TEST_F(NetDevice, MalformedAndFloodingServersNeitherHangNorGrowNorLoseData) {
    FakeServer server(FakeServer::Mode::Agree);
    NetComDevice device;
    OpenOn(device, server);

    // Unknown options, many times over: refused once each, never in a loop.
    std::string unknown;
    for (int i = 0; i < 500; ++i)
        unknown += Bytes({255, 253, 24, 255, 251, 1, 255, 241});
    server.Send(unknown + "a");
    EXPECT_EQ(ReadAll(device, 1), "a");
    EXPECT_TRUE(server.WaitFor(Bytes({255, 252, 24})));
    EXPECT_TRUE(server.WaitFor(Bytes({255, 254, 1})));
    platform::Sleep(20); // a repeated answer would be on its way by now
    const std::string sent = server.Received();
    for (const std::string& answer : {Bytes({255, 252, 24}), Bytes({255, 254, 1})}) {
        size_t count = 0;
        for (size_t at = sent.find(answer); at != std::string::npos; at = sent.find(answer, at + 1))
            ++count;
        EXPECT_EQ(count, 1u) << "answered once";
    }

    // A flood of notifications, then data.
    std::string flood;
    for (int i = 0; i < 20000; ++i)
        flood += Bytes({255, 250, 44, 107, i % 2 ? 0x10 : 0x00, 255, 240});
    server.Send(flood + "b");
    EXPECT_EQ(ReadAll(device, 1), "b");

    // An endless subnegotiation: data inside it is not data; what follows it is.
    server.Send(Bytes({255, 250, 44, 107}) + std::string(300000, 'z') + Bytes({255, 240}) + "c");
    EXPECT_EQ(ReadAll(device, 1), "c");

    // A subnegotiation that never ends: reads time out, the device stays usable.
    server.Send(Bytes({255, 250, 44}) + "never");
    const uint32_t start = platform::GetTickCount();
    bool ready = true;
    EXPECT_EQ(device.WaitReadable(100, ready), 0);
    EXPECT_FALSE(ready);
    EXPECT_GE(platform::ElapsedSince(start) + 1, 100u);
    EXPECT_EQ(device.EscapeFunction(Escape::SetBreak), 0);
}

TEST_F(NetDevice, EveryByteValuePassesBothWaysAndRequestsAreSent) {
    FakeServer server(FakeServer::Mode::Agree);
    NetComDevice device;
    OpenOn(device, server);
    std::string all;
    for (int v = 0; v < 256; ++v)
        all += static_cast<char>(v);
    size_t done = 0;
    ASSERT_EQ(device.WriteSome(all.data(), all.size(), done), 0);
    EXPECT_EQ(done, all.size());
    std::string doubled = all.substr(0, 255) + Bytes({255, 255});
    EXPECT_TRUE(server.WaitFor(doubled));
    server.Send(doubled);
    EXPECT_EQ(ReadAll(device, 256), all);

    struct Row {
        std::function<int()> call;
        std::string request;
    } rows[] = {
        {[&] { return device.EscapeFunction(Escape::SetDTR); },
         Bytes({255, 250, 44, 5, 8, 255, 240})},
        {[&] { return device.EscapeFunction(Escape::ClrRTS); },
         Bytes({255, 250, 44, 5, 12, 255, 240})},
        {[&] { return device.EscapeFunction(Escape::SetBreak); },
         Bytes({255, 250, 44, 5, 5, 255, 240})},
        {[&] { return device.Purge(PURGE_TXCLEAR | PURGE_RXCLEAR); },
         Bytes({255, 250, 44, 12, 2, 255, 240})},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(r.call(), 0);
        EXPECT_TRUE(server.WaitFor(r.request));
    }

    // A receive purge empties our queue and asks nothing of the server.
    server.Send("stale");
    ComStatus st;
    const auto deadline = platform::Deadline::After(2000);
    while (device.ClearError(st) == 0 && st.inQueue < 5 && !deadline.Reached())
        platform::Sleep(1);
    ASSERT_EQ(st.inQueue, 5u);
    const size_t before = server.Received().size();
    EXPECT_EQ(device.Purge(PURGE_RXCLEAR | PURGE_RXABORT | PURGE_TXABORT), 0);
    EXPECT_EQ(device.ClearError(st), 0);
    EXPECT_EQ(st.inQueue, 0u);
    platform::Sleep(20);
    EXPECT_EQ(server.Received().size(), before);
}

// A host written as an IPv6 address in brackets is reached over IPv6, with
// the same negotiation and data as over IPv4.
TEST_F(NetDevice, AnIpv6HostInBracketsCarriesTheLine) {
    FakeServer server(FakeServer::Mode::Agree, FakeServer::Family::V6);
    NetComDevice device;
    OpenOn(device, server);
    EXPECT_TRUE(server.WaitFor(Bytes({255, 250, 44, 1, 0, 0, 0x25, 0x80, 255, 240})))
        << "the 9600 request";
    size_t done = 0;
    ASSERT_EQ(device.WriteSome("ping", 4, done), 0);
    EXPECT_TRUE(server.WaitFor("ping"));
    server.Send("pong");
    EXPECT_EQ(ReadAll(device, 4), "pong");
}

TEST_F(NetDevice, ADroppedConnectionFailsReadsNamingTheHostAndTheCloseStillWorks) {
    testsupport::RecordingHost host;
    auto server = std::make_unique<FakeServer>(FakeServer::Mode::Agree);
    TComPort port;
    port.SetPort(server->Url());
    port.OpenPort();
    server->Hangup();
    char buf[4];
    try {
        port.ReadBytes(buf, 4);
        ADD_FAILURE() << "read after the hang-up";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode(), 3);
        EXPECT_NE(std::string(e.what()).find("127.0.0.1:" + std::to_string(server->Port())),
                  std::string::npos)
            << e.what();
    }
    port.ClosePort();
    EXPECT_FALSE(port.Connected());
    server = std::make_unique<FakeServer>(FakeServer::Mode::Agree);
    port.SetPort(server->Url());
    port.OpenPort();
    EXPECT_TRUE(port.Connected());
}

} // namespace

// A server that agrees and then only toggles an option, never reading what
// we answer: the answers wait for it in a queue of bounded size, and the
// close does not wait for the server to take them.
TEST_F(NetDevice, AServerThatTogglesOptionsAndNeverReadsCostsNoMemoryAndTheCloseStaysQuick) {
    FakeServer server(FakeServer::Mode::FloodOptions);
    NetComDevice device;
    OpenOn(device, server);
    // A program waiting for an answer reads on and on meanwhile: until the
    // answers have waited for the server a while (or 5 s passed).
    const auto deadline = platform::Deadline::After(5000);
    uint32_t most = 0, since = 0;
    while (!deadline.Reached() && (most == 0 || platform::ElapsedSince(since) < 300)) {
        bool ready = false;
        EXPECT_EQ(device.WaitReadable(20, ready), 0);
        char buf[64];
        size_t n = 0;
        EXPECT_EQ(device.ReadSome(buf, sizeof buf, n), 0);
        ComStatus st;
        EXPECT_EQ(device.ClearError(st), 0);
        if (most == 0) since = platform::GetTickCount();
        most = std::max(most, st.outQueue);
    }
    EXPECT_GT(most, 0u) << "the answers reached the queue";
    EXPECT_LE(most, 128u * 1024) << "unsent answers";
    const uint32_t start = platform::GetTickCount();
    device.Close();
    EXPECT_LT(platform::ElapsedSince(start), 1000u);
}

// A failed line setting says what the device knows: the host, and the rate
// that was not taken or why the link is gone.
TEST_F(NetDevice, AFailedSettingNamesTheHostAndWhatWentWrong) {
    testsupport::RecordingHost host;
    struct Row {
        const char* what;
        bool hangUp;     // the server hangs up after the open
        uint32_t answer; // the rate the server says it runs at (0: the one asked for)
        int os;
        const char* says;
    } rows[] = {
        {"a rate the server does not take", false, 1200, EINVAL,
         "did not take 19200 bit/s (it runs at 1200)"},
        {"a server that hung up", true, 0, EIO, "connection closed by the server"},
    };
    for (const Row& r : rows) {
        FakeServer server(FakeServer::Mode::Agree);
        TComPort port;
        port.SetPort(server.Url());
        port.OpenPort();
        server.AnswerRate(r.answer);
        if (r.hangUp) server.Hangup();
        try {
            port.SetBaudRate(br19200);
            ADD_FAILURE() << r.what << ": the setting went through";
        } catch (const EComPort& e) {
            EXPECT_EQ(e.PortErrorCode(), 7) << r.what;
            EXPECT_EQ(e.OsErrorCode(), r.os) << r.what;
            const std::string text = e.what();
            EXPECT_EQ(text.rfind(ComErrorText(7), 0), 0u) << text;
            EXPECT_NE(text.find("127.0.0.1:" + std::to_string(server.Port())), std::string::npos)
                << text;
            EXPECT_NE(text.find(r.says), std::string::npos) << text;
        }
        port.ClosePort();
    }
}

// ---------------------------------------------------------------- name look-up

// A UDP socket on the loopback address that takes name queries and never
// answers them.
sockaddr_in silentNameServer{};

// Looks the name up asking only the silent name server, once, waiting 3 s.
// The resolver's settings are per thread: they are made where the look-up runs.
int AskTheSilentServer(const char* host, const char* service, const addrinfo* hints,
                       addrinfo** found) {
    res_init();
    _res.nscount = 1;
    _res.nsaddr_list[0] = silentNameServer;
    _res.retrans = 3;
    _res.retry = 1;
    return ::getaddrinfo(host, service, hints, found);
}

// Finds the address, but only after the device has given up waiting.
int AnswerLate(const char*, const char* service, const addrinfo* hints, addrinfo** found) {
    platform::Sleep(1000);
    return ::getaddrinfo("127.0.0.1", service, hints, found);
}

// Threads of this process busy with a name look-up.
size_t LookUpThreads() {
    size_t n = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        if (std::getline(comm, name) && name == NetComDevice::kLookUpThreadName) ++n;
    }
    return n;
}

TEST_F(NetDevice, ANameLookUpThatTakesTooLongFailsTheOpenInTimeNamingTheHost) {
    testsupport::RecordingHost host;
    const int udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    silentNameServer.sin_family = AF_INET;
    silentNameServer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof silentNameServer;
    ASSERT_EQ(::bind(udp, reinterpret_cast<sockaddr*>(&silentNameServer), len), 0);
    ASSERT_EQ(::getsockname(udp, reinterpret_cast<sockaddr*>(&silentNameServer), &len), 0);

    NetLimits limits;
    limits.connectMs = 400;
    struct Row {
        const char* what;
        NetComDevice::LookUp lookUp;
    } rows[] = {
        {"a name server that does not answer", AskTheSilentServer},
        {"an answer after the limit", AnswerLate},
    };
    for (const Row& r : rows) {
        TComPort port;
        port.SetDeviceFactory([&] { return std::make_unique<NetComDevice>(limits, r.lookUp); });
        port.SetPort("rfc2217://station.quorrin.test:2217");
        const uint32_t start = platform::GetTickCount();
        try {
            port.OpenPort();
            ADD_FAILURE() << r.what << ": opened";
        } catch (const EComPort& e) {
            EXPECT_EQ(e.PortErrorCode(), 1) << r.what;
            EXPECT_EQ(e.OsErrorCode(), ETIMEDOUT) << r.what;
            const std::string text = e.what();
            EXPECT_NE(text.find("station.quorrin.test:2217"), std::string::npos) << text;
            EXPECT_NE(text.find("400 ms"), std::string::npos) << text;
        }
        EXPECT_LT(platform::ElapsedSince(start), 700u) << r.what;
        EXPECT_FALSE(port.Connected());
    }
    EXPECT_GT(LookUpThreads(), 0u) << "the look-ups were given up, not waited for";
    // The silent server was asked: the look-up went the way of any other.
    pollfd p{udp, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 1);
    ::close(udp);
    // The look-ups given up finish on their own and leave nothing behind.
    const auto deadline = platform::Deadline::After(5000);
    while (LookUpThreads() > 0 && !deadline.Reached())
        platform::Sleep(10);
    EXPECT_EQ(LookUpThreads(), 0u);
}
