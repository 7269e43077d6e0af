#pragma once

#include <filesystem>
#include <string_view>

#include "common/DateTime.h"
#include "common/FileLayer.h"
#include "common/PosixFileLayer.h"
#include "queue/SendQueue.h"

namespace qit {

// A record the insert worker gives up on, written to a file of its own so that nothing is
// lost: a complete SOAP request of Enviar holding that one record, the company code and the
// error in an XML comment at its head. An operator posts it again, once the cause is fixed,
// with `curl --data-binary @FILE` to the company's port.
//
// The file is `rejeitados_YYMMDD_hhnnss_N.xml` in `folder` (made when missing), N the first
// number from 1 that names no file yet. Its bytes and its name are on disk when this returns;
// a failure raises and leaves no file, and then the record must stay in the queue. The file
// is written through `files` (the real files unless a test gives others).
std::filesystem::path WriteDeadLetterFile(const std::filesystem::path& folder, const QueuedRecord& queued,
                                          std::string_view error, TDateTime now, FileLayer& files = PosixFiles());

}  // namespace qit
