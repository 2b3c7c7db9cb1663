#include "picture_worker.hpp"

#include <utility>

namespace vq6120::gateway {

PictureWorker::PictureWorker(std::size_t capacity) : capacity_(capacity), thread_([this] { run(); }) {}

PictureWorker::~PictureWorker() { stop(); }

bool PictureWorker::submit(std::function<void()> job) {
    {
        const std::lock_guard lock(mutex_);
        if (stopping_ || jobs_.size() >= capacity_) return false;
        jobs_.push_back(std::move(job));
    }
    ready_.notify_one();
    return true;
}

std::size_t PictureWorker::waiting() const {
    const std::lock_guard lock(mutex_);
    return jobs_.size();
}

std::size_t PictureWorker::capacity() const {
    const std::lock_guard lock(mutex_);
    return capacity_;
}

void PictureWorker::set_capacity(std::size_t capacity) {
    const std::lock_guard lock(mutex_);
    capacity_ = capacity;  // jobs beyond a lowered bound still run
}

void PictureWorker::stop() {
    std::deque<std::function<void()>> dropped;
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        dropped.swap(jobs_);
    }
    ready_.notify_one();
    if (thread_.joinable()) thread_.join();
}

void PictureWorker::run() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(mutex_);
            ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (stopping_) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job();
    }
}

}  // namespace vq6120::gateway
