#include "line_outbox.h"

#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace alg::ctl {

namespace {
constexpr int kSliceMs = 100;
}

LineOutbox::LineOutbox(int fd, std::size_t maxBytes)
    : fd_(fd), maxBytes_(maxBytes), thread_([this] { Run(); }) {}

LineOutbox::~LineOutbox() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void LineOutbox::Post(std::string line) {
    line += '\n';
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (queuedBytes_ + line.size() > maxBytes_) {
            ++dropped_;
            return;
        }
        queuedBytes_ += line.size();
        queue_.push_back(std::move(line));
    }
    wake_.notify_one();
}

void LineOutbox::Run() {
    for (;;) {
        std::string text;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
            if (stop_) return;
            text = std::move(queue_.front());
            queue_.pop_front();
            queuedBytes_ -= text.size();
            // Room was made: the lines lost before it are told before the next one.
            if (dropped_ > 0) {
                text = "(" + std::to_string(dropped_) + " lines dropped: output stalled)\n" + text;
                dropped_ = 0;
            }
        }
        if (!WriteOut(text)) return;
    }
}

bool LineOutbox::WriteOut(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            if (stop_) return false;
        }
        // Written only once the output takes bytes, and never more than PIPE_BUF at once, so
        // the write itself does not wait on a pipe and the stop flag is seen every slice.
        pollfd p{fd_, POLLOUT, 0};
        const int r = poll(&p, 1, kSliceMs);
        if (r < 0 && errno != EINTR) return false;
        if (r <= 0) continue;
        if (p.revents & (POLLERR | POLLNVAL)) return false;
        const std::size_t part = std::min<std::size_t>(text.size() - done, PIPE_BUF);
        const ssize_t n = ::write(fd_, text.data() + done, part);
        if (n < 0 && errno != EINTR && errno != EAGAIN) return false;
        if (n > 0) done += std::size_t(n);
    }
    return true;
}

}  // namespace alg::ctl
