#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/Errors.h"
#include "contract/IntegracaoTelemetria_Intf.h"

namespace qit {

// The send queue `ListaDeEnvio` between Enviar and the insert worker. Enviar sees only the
// producer side; the worker only the consumer side. The queue holds single records, each
// tagged with the company code of the call that brought it, in arrival order.

// One record waiting in the send queue or in the worker's hands.
struct QueuedRecord {
  std::uint64_t sequence = 0;  // arrival order, from 1; unique in the queue
  std::uint64_t list = 0;      // arrival number of the list it came in, from 1
  int company_code = 0;
  TIntegraTelemetria record;   // the queue's own copy of the client's record
  int failures = 0;            // passes that failed on this record; the worker counts them
  // Kept by the worker while the record is in memory: its list line was written (it is
  // written once, however often the record comes back), and it is to be written in a
  // transaction of its own (a transaction of several it was in was refused as a whole).
  bool listed = false;
  bool write_alone = false;
  std::size_t bytes = 0;       // what the queue charged for the record against its byte limit
};

// A list was not queued; the caller must send it again. Raised as it is when the copy of
// the list fails (memory, for one).
class EListaDeEnvio : public Exception {
 public:
  explicit EListaDeEnvio(std::string message) : Exception(std::move(message), "EListaDeEnvio") {}

 protected:
  EListaDeEnvio(std::string message, std::string class_name) : Exception(std::move(message), std::move(class_name)) {}
};

// The queue holds as many records, or as many bytes, as it may: the list was not taken.
class EListaDeEnvioCheia : public EListaDeEnvio {
 public:
  explicit EListaDeEnvioCheia(std::string message) : EListaDeEnvio(std::move(message), "EListaDeEnvioCheia") {}
};

// Where Enviar hands the lists it receives.
class ISendQueueProducer {
 public:
  virtual ~ISendQueueProducer() = default;
  // Queues a copy of every record of the list under the company code; the caller keeps its
  // list. Either the whole list is queued or none of it: when a limit would be passed the
  // call raises EListaDeEnvioCheia, when the copy fails EListaDeEnvio. An empty list is
  // accepted and queues nothing.
  virtual void AdicionarListaDeEnvio(const TListaIntegraTelemetria* ListaTelemetria, int CodigoEmpresa) = 0;

  // How QueueList tells its outcome: nullptr when the list is queued, else the error that
  // kept it out (nothing of it queued). It must not raise.
  using ListQueued = std::function<void(std::exception_ptr error)>;
  // AdicionarListaDeEnvio for a caller that need not wait: what fails at once is raised from
  // here and `queued` is not called; otherwise `queued` is called once, from any thread,
  // before or after this returns, when the list is queued or has failed. A queue that has
  // nothing to wait for queues the list before it returns.
  virtual void QueueList(const TListaIntegraTelemetria* ListaTelemetria, int CodigoEmpresa, ListQueued queued) {
    AdicionarListaDeEnvio(ListaTelemetria, CodigoEmpresa);
    queued(nullptr);
  }
};

// What the insert worker does with the queue. A record it takes stays counted against the
// queue's limits until it is acknowledged or given back, so the memory it holds is never
// outside the bound.
class ISendQueueConsumer {
 public:
  virtual ~ISendQueueConsumer() = default;
  // Up to max_records waiting records, oldest first; they leave the waiting line and are in
  // the caller's hands.
  virtual std::vector<QueuedRecord> TakeBatch(std::size_t max_records) = 0;
  // Records taken and not written go back to the head of the line, in the order given and
  // before anything that arrived meanwhile, so the next TakeBatch returns them first. Records
  // that are not in the caller's hands (never taken, or already acknowledged) are ignored, so
  // that no record is ever queued twice.
  virtual void GiveBack(std::vector<QueuedRecord> records) = 0;
  // Taken records that are done with: written, or dropped for good. Their room is freed.
  // Sequences not in the caller's hands are ignored.
  virtual void Acknowledge(std::span<const std::uint64_t> sequences) = 0;
  // Records waiting, plus those in the worker's hands.
  virtual std::size_t WaitingRecords() const = 0;
  // Bytes charged for the records WaitingRecords counts.
  virtual std::size_t WaitingBytes() const = 0;
};

}  // namespace qit
