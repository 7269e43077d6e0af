#pragma once

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <cstddef>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "common/Gate.h"
#include "transport/TransportErrorReporter.h"

namespace qit {

// Hands `function` to the loop of `executor` from a thread that is not the loop's own (the
// host's, or whichever thread completes a request), through the gate of the loop's pool:
// once the pool has stopped nothing more is queued, false is returned and the function is
// dropped on the caller's thread. The pass is held while the function is queued, so that
// the pool's stop, which closes the gate, drops the loops' work only once no post is under
// way.
template <class Executor, class Function>
bool PostThrough(Gate& gate, const Executor& executor, Function&& function) {
  const Gate::Pass pass = gate.Enter();
  if (!pass) return false;
  boost::asio::post(executor, std::forward<Function>(function));
  return true;
}

// The threads that run every listener: one that only accepts connections, so that they are
// taken while the others are busy, and a few that read, process and write them
// (asynchronous operations, never a thread per connection).
//
// Each serving thread runs an event loop of its own, and a connection stays on the loop it
// was given for its whole life: its handlers never run at the same time without needing a
// strand, and they never move between threads, so nothing wakes another thread between
// reading a request and writing its answer.
//
// An error that escapes a handler is reported (location "HttpIoPool.Run") and the loop goes
// on. The owner stops the pool after its listeners and keeps it alive longer than the
// listener objects (TROHTTPServer) that use it.
class HttpIoPool {
 public:
  // thread_count: the threads that serve connections, besides the accepting one.
  explicit HttpIoPool(unsigned thread_count = 2);
  // Stops first.
  ~HttpIoPool();
  HttpIoPool(const HttpIoPool&) = delete;
  HttpIoPool& operator=(const HttpIoPool&) = delete;

  boost::asio::io_context& AcceptContext() { return accept_loop_->io; }
  // The loop the next connection is served on: the serving loops take them in turn.
  boost::asio::io_context& NextContext();

  // Stops the loops and joins their threads, then drops the work still queued; connections
  // and listeners that only that work held are destroyed with it, whatever loop they live
  // on. Closes the gate first, so that nothing is queued afterwards. Idempotent; called by
  // the destructor; never from one of the pool's own threads.
  void Stop();

  // What work from other threads goes through (PostThrough). Shared: whoever may still post
  // once the pool is gone (a request's completion, say) holds it, and finds it closed.
  const std::shared_ptr<Gate>& LoopGate() const { return gate_; }

  // The sink for the errors of the pool and of the listeners that have none of their own.
  void SetErrorSink(TransportErrorSink sink) { errors_.SetSink(std::move(sink)); }
  // Rate-limited reports, shared by the pool and every listener on it.
  TransportErrorReporter& Errors() { return errors_; }

 private:
  // An event loop whose handlers can be dropped before it is destroyed: the pool drops the
  // work of every loop first and destroys the loops afterwards, since work queued on one
  // loop may hold objects (sockets, acceptors) that live on another.
  class Context : public boost::asio::io_context {
   public:
    using io_context::io_context;
    void DropWork() { shutdown(); }
  };

  struct Loop {
    Loop();
    Context io{1};  // run by one thread only
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{io.get_executor()};
  };

  void Run(Loop& loop);

  TransportErrorReporter errors_;
  std::shared_ptr<Gate> gate_ = std::make_shared<Gate>();
  std::unique_ptr<Loop> accept_loop_;
  std::vector<std::unique_ptr<Loop>> serving_loops_;
  std::atomic<std::size_t> next_ = 0;
  std::atomic<bool> stopped_ = false;
  std::vector<std::jthread> threads_;
};

}  // namespace qit
