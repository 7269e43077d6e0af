#include "data/FbClient.h"

#include <array>

namespace qit::fb {

namespace {

// Error codes after which the attachment is beyond use: the next statement must attach anew.
bool IsConnectionLost(const intptr_t* errors) {
  for (const intptr_t* item = errors; *item != isc_arg_end;) {
    const intptr_t kind = item[0];
    if (kind == isc_arg_gds) {
      switch (item[1]) {
        case isc_network_error:
        case isc_net_read_err:
        case isc_net_write_err:
        case isc_lost_db_connection:
        case isc_conn_lost:
        case isc_att_shutdown:
        case isc_shutdown:
          return true;
        default:
          break;
      }
    }
    // Every entry is a kind and one value, except the counted strings (kind, length, text).
    item += kind == isc_arg_cstring ? 3 : 2;
  }
  return false;
}

}  // namespace

Firebird::IMaster* Master() { return Firebird::fb_get_master_interface(); }

Firebird::IUtil* Util() { return Master()->getUtilInterface(); }

void Status::checkException(Status* status) {
  if (!status->dirty || !(status->getState() & Firebird::IStatus::STATE_ERRORS)) return;
  std::array<char, 2048> text{};
  Util()->formatStatus(text.data(), static_cast<unsigned>(text.size() - 1), status);
  const bool lost = IsConnectionLost(status->getErrors());
  status->clearException();
  throw EFirebirdError(text.data(), lost);
}

}  // namespace qit::fb
