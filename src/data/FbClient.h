#pragma once

#include <string>
#include <utility>

#include <firebird/Interface.h>

#include "common/Errors.h"

namespace qit {

// An error reported by the database server or by its client library, with the text the
// client library formats for it.
class EFirebirdError : public Exception {
 public:
  EFirebirdError(std::string message, bool connection_lost, bool conflict = false, bool data_fault = false)
      : Exception(std::move(message), "EFirebirdError"),
        connection_lost_(connection_lost),
        conflict_(conflict),
        data_fault_(data_fault) {}

  // The attachment it happened on can no longer be used: the network link broke or the
  // database or the attachment was shut down.
  bool ConnectionLost() const { return connection_lost_; }
  // Another transaction held what this one needed: a lock conflict, an update conflict, a
  // deadlock or a lock time-out. The same work may succeed when tried again later.
  bool Conflict() const { return conflict_; }
  // The work's own data was refused: a data exception (a value that does not fit or convert,
  // a division by zero), a constraint violation, or an exception raised by a trigger or a
  // procedure. Sending the same work again fails the same way; anything else (input/output,
  // shutdown, network, locks, resources, server limits) is the database's condition.
  bool DataFault() const { return data_fault_; }

 private:
  bool connection_lost_;
  bool conflict_;
  bool data_fault_;
};

namespace fb {

// The client library's entry points; process-wide objects owned by the library itself.
Firebird::IMaster* Master();
Firebird::IUtil* Util();

// The status every client call reports into. A call that fails raises EFirebirdError right
// after it returns, like the library's own throwing wrapper, but with our error type.
class Status : public Firebird::BaseStatusWrapper<Status> {
 public:
  Status() : BaseStatusWrapper(Master()->getStatus()) {}
  ~Status() { dispose(); }
  Status(const Status&) = delete;
  Status& operator=(const Status&) = delete;

  static void checkException(Status* status);
};

// Owns one reference to a client interface and lets go of it when dropped. The calls that
// finish an object (commit, rollback, detach, free, close) release it themselves when they
// succeed; Forget tells the owner so.
template <class T>
class Ref {
 public:
  Ref() = default;
  explicit Ref(T* pointer) : pointer_(pointer) {}
  Ref(Ref&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.pointer_, nullptr));
    return *this;
  }
  ~Ref() { Reset(); }

  T* get() const { return pointer_; }
  T* operator->() const { return pointer_; }
  explicit operator bool() const { return pointer_ != nullptr; }

  void Reset(T* pointer = nullptr) {
    if (pointer_) {
      // Reference-counted interfaces are released, disposable ones (builders) disposed.
      if constexpr (requires { pointer_->release(); }) pointer_->release();
      else pointer_->dispose();
    }
    pointer_ = pointer;
  }
  void Forget() { pointer_ = nullptr; }

 private:
  T* pointer_ = nullptr;
};

// SQL type codes without the nullable bit.
inline unsigned BaseType(unsigned type) { return type & ~1u; }

}  // namespace fb
}  // namespace qit
