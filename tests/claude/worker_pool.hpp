#pragma once

// The application's worker pool in miniature: an io_context run by two
// threads, as the components under test run in production.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <thread>
#include <vector>

namespace parley::test {

class WorkerPool {
 public:
  explicit WorkerPool(int threads = 2) : guard_(boost::asio::make_work_guard(io_)) {
    for (int i = 0; i < threads; ++i)
      threads_.emplace_back([this] { io_.run(); });
  }
  ~WorkerPool() {
    guard_.reset();
    io_.stop();
    for (std::thread& t : threads_)
      t.join();
  }
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  boost::asio::any_io_executor executor() { return io_.get_executor(); }

 private:
  boost::asio::io_context io_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard_;
  std::vector<std::thread> threads_;
};

}  // namespace parley::test
