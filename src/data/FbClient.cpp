#include "data/FbClient.h"

#include <algorithm>
#include <array>
#include <initializer_list>

namespace qit::fb {

namespace {

// Whether any error code of the status vector is one of `codes`.
bool HasErrorCode(const intptr_t* errors, std::initializer_list<intptr_t> codes) {
  for (const intptr_t* item = errors; *item != isc_arg_end;) {
    const intptr_t kind = item[0];
    if (kind == isc_arg_gds && std::find(codes.begin(), codes.end(), item[1]) != codes.end()) return true;
    // Every entry is a kind and one value, except the counted strings (kind, length, text).
    item += kind == isc_arg_cstring ? 3 : 2;
  }
  return false;
}

// Error codes after which the attachment is beyond use: the next statement must attach anew.
bool IsConnectionLost(const intptr_t* errors) {
  return HasErrorCode(errors, {isc_network_error, isc_net_read_err, isc_net_write_err, isc_lost_db_connection,
                               isc_conn_lost, isc_att_shutdown, isc_shutdown});
}

// Error codes of work that met another transaction's locks.
bool IsConflict(const intptr_t* errors) {
  return HasErrorCode(errors, {isc_lock_conflict, isc_deadlock, isc_update_conflict, isc_lock_timeout});
}

// Errors of the work's own data: the SQLSTATE classes 22 (data exception) and 23 (integrity
// constraint violation), and the exceptions PSQL code raises (their SQLSTATE is the generic
// HY000, so they are told by their codes). A lock conflict or a lost connection is never the
// data's, whatever else the status says.
bool IsDataFault(const intptr_t* errors) {
  if (HasErrorCode(errors, {isc_except, isc_except2})) return true;
  std::array<char, 6> sqlstate{};
  fb_sqlstate(sqlstate.data(), errors);
  return sqlstate[0] == '2' && (sqlstate[1] == '2' || sqlstate[1] == '3');
}

}  // namespace

Firebird::IMaster* Master() { return Firebird::fb_get_master_interface(); }

Firebird::IUtil* Util() { return Master()->getUtilInterface(); }

void Status::checkException(Status* status) {
  if (!status->dirty || !(status->getState() & Firebird::IStatus::STATE_ERRORS)) return;
  std::array<char, 2048> text{};
  Util()->formatStatus(text.data(), static_cast<unsigned>(text.size() - 1), status);
  const bool lost = IsConnectionLost(status->getErrors());
  const bool conflict = IsConflict(status->getErrors());
  const bool data_fault = !lost && !conflict && IsDataFault(status->getErrors());
  status->clearException();
  throw EFirebirdError(text.data(), lost, conflict, data_fault);
}

}  // namespace qit::fb
