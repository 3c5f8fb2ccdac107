// "atomic_upload" (the upload extension point, opted_transfers.cpp) and
// what the transfers that take "progress" share.
#pragma once

#include "sftp_main/ref.hpp"

namespace sftp::transfers {

// ("callback",): the keyword paramiko's transfers take the progress
// callable under.
OwnedRef callback_keyword();

}  // namespace sftp::transfers
