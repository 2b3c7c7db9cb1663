// One thread that does the costly part of cmd/image and cmd/font-text (JSON,
// base64, decoding, fitting, dithering, font rendering, encoding) so that the
// loop never does: jobs wait in a bounded FIFO and run one at a time, in the
// order they came. A job hands its result back to the loop itself (the
// Poller's post()).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace vq6120::gateway {

class PictureWorker {
public:
    explicit PictureWorker(std::size_t capacity);
    // stop().
    ~PictureWorker();
    PictureWorker(const PictureWorker &) = delete;
    PictureWorker &operator=(const PictureWorker &) = delete;

    // Queues `job`; false, with nothing queued, when `capacity` jobs wait
    // already or the worker has stopped.
    bool submit(std::function<void()> job);
    // Jobs waiting, not counting the one running.
    std::size_t waiting() const;
    std::size_t capacity() const;
    void set_capacity(std::size_t capacity);
    // Drops the waiting jobs unrun and waits for the running one to end.
    void stop();

private:
    void run();
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> jobs_;
    std::size_t capacity_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace vq6120::gateway
