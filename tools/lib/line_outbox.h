// Lines for an output that may stall: a terminal or pipe nobody reads must never hold up the
// caller. Post only queues (or drops) a line; a thread of its own writes the queue out.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace alg::ctl {

class LineOutbox {
  public:
    // Writes to the descriptor `fd` (not owned), holding at most `maxBytes` of lines not yet
    // written. Starts the writing thread; throws std::system_error when it cannot.
    explicit LineOutbox(int fd, std::size_t maxBytes = 256 << 10);
    LineOutbox(const LineOutbox&) = delete;
    LineOutbox& operator=(const LineOutbox&) = delete;
    // Ends the thread within one 100 ms slice; lines still queued are dropped.
    ~LineOutbox();

    // Queues `line` (a newline is added) and returns at once, from any thread. When the queue
    // is full the line is dropped and counted; the count is written as a line of its own
    // once the output takes lines again.
    void Post(std::string line);

  private:
    void Run();
    // Writes all of `text` unless the thread is told to stop first.
    bool WriteOut(const std::string& text);

    const int fd_;
    const std::size_t maxBytes_;
    std::mutex mutex_;  // guards the fields below; never held while writing
    std::condition_variable wake_;
    std::deque<std::string> queue_;
    std::size_t queuedBytes_ = 0;
    std::size_t dropped_ = 0;
    bool stop_ = false;
    std::thread thread_;  // started last: the thread reads every field above
};

}  // namespace alg::ctl
