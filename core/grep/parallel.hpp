// Running one task per index over a few threads.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace vorpaline_core::grep {

// Calls `task(i)` for every i below `count`, on up to `threads` threads (0:
// one per core), the calling thread among them, each given at least
// `per_thread` tasks. The first exception a task throws stops the others from
// taking more and is thrown again here.
template <class Task>
void for_each_index(std::size_t count, unsigned threads, const Task& task, std::size_t per_thread = 16) {
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  const std::size_t wanted = std::min<std::size_t>(threads, std::max<std::size_t>(1, count / per_thread));
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr failure;
  std::mutex mutex;
  const auto work = [&] {
    try {
      for (std::size_t i; !failed.load() && (i = next.fetch_add(1)) < count;) task(i);
    } catch (...) {
      std::lock_guard lock(mutex);
      if (!failure) failure = std::current_exception();
      failed.store(true);
    }
  };
  std::vector<std::thread> helpers;
  for (std::size_t t = 1; t < wanted; ++t) {
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // fewer threads, the same work
    }
  }
  work();
  for (std::thread& helper : helpers) helper.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace vorpaline_core::grep
