// A front end's view of the line: each message the port wrote or read, cut
// and named by the system's decoder, with its time and the gap since the one
// before; the port's line events; a summary at the end.
//
// Printing (quorrin-cli's --trace) gives one line per message on standard
// error, or in its JSON form one {"event":"trace",...} object per line on
// standard output instead; a trace file (--trace-file of quorrin-cli and of
// the tester) gets the same objects appended, one per line. A failing trace
// file (a full disk) stops the file with one message; the exchange goes on.
#pragma once

#include "serial/TraceObserver.h"
#include "trace/LineDecoder.h"

#include <nlohmann/json.hpp>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace frontend {

// Opens `path` for appending trace lines: a new file gets mode 0600, a link is
// not followed, a FIFO does not block the open and is refused, like a
// terminal, a folder or a socket (a regular file or a device such as
// /dev/null is taken). Returns the descriptor, or -1 with `error` set.
int OpenTraceFile(const std::string& path, std::string& error);

class LineTrace : public serial::TraceObserver {
  public:
    // `system` as trace::SystemNames() names it. `fileFd` (-1 for none) is
    // owned from here on; `print` prints the trace, `json` in its JSON form.
    LineTrace(const std::string& system, bool print, bool json, int fileFd, std::string filePath);
    ~LineTrace() override;
    LineTrace(const LineTrace&) = delete;
    LineTrace& operator=(const LineTrace&) = delete;

    void OnTraffic(uint64_t micros, serial::TraceDirection direction, const uint8_t* bytes,
                   size_t count) override;
    void OnLineEvent(uint64_t micros, serial::TraceLineEvent event, uint32_t value,
                     std::string_view detail) override;

    // Called with the text instead of a line on standard error when the file
    // fails (set before the port opens).
    std::function<void(const std::string&)> onFileFailure;
    // Takes each printed JSON line instead of standard output (set before the
    // port opens).
    std::function<void(const std::string&)> printLine;

    // What the decoder still holds goes out; with --trace the summary follows
    // (messages per kind, the slowest answer, bad checksums).
    void Finish();

  private:
    struct Chunk {
        uint64_t offset; // of its first byte in its direction's stream
        uint64_t micros;
    };
    void Emit(const trace::Message& m);
    // `line` (JSON) to the file and, with --trace --json, to standard output;
    // `text` (may be null) to standard error for --trace.
    void Out(const std::string& line, const std::string* text);
    bool WantLine() const { return fileFd_ >= 0 || (print_ && json_); }
    bool WantText() const { return print_ && !json_; }
    // The file is written by a thread of its own, in batches, so the
    // exchange only appends to a buffer.
    void Writer();
    void StopWriter();
    void Summary();
    double Ms(uint64_t micros) const;
    // The time of the chunk that held byte `offset` of direction `d`.
    uint64_t TimeOf(int d, uint64_t offset) const;

    std::mutex mutex_;
    std::unique_ptr<trace::Decoder> decoder_;
    bool print_;
    bool json_;
    int fileFd_;
    std::string filePath_;
    bool finished_ = false;
    std::string pending_; // for the file, not yet written
    bool stopWriter_ = false;
    std::condition_variable wake_;
    std::thread writer_;
    const uint64_t start_;
    uint64_t previous_ = 0; // time of the line before, for the gap
    bool anyLine_ = false;
    std::deque<Chunk> chunks_[2];
    uint64_t fed_[2] = {0, 0};
    uint64_t emitted_[2] = {0, 0};
    // The summary.
    std::map<std::string, long> kinds_;
    long bad_ = 0;
    bool awaiting_ = false; // a request went out and nothing came back yet
    uint64_t requestEnd_ = 0;
    std::string requestKind_;
    double slowestMs_ = -1;
    std::string slowestRequest_, slowestAnswer_;
};

} // namespace frontend
