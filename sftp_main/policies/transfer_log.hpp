// Why a transfer returned False: one record on the logger "sftp_main", at
// INFO, naming the method, its arguments and the server as the failure
// notes do, with the exception as exc_info. The only place a method writes
// a log record; nothing here runs on the success path.
#pragma once

#include "sftp_main/method.hpp"

namespace sftp::transfer_log {

// Gives the logger "sftp_main" a NullHandler, so that nothing is printed
// unless the application configures logging. Raises on failure.
void install_null_handler();

// Logs that `call` returned False because of `failure`, when the logger
// takes INFO records. Raises (PyErrorRaised) only what is not an ordinary
// Exception; an ordinary one from logging is dropped.
void log_returned_false(const Invocation& call, PyObject* failure, int attempts = 0);

}  // namespace sftp::transfer_log
