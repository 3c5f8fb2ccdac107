// Interned names used by the module: attribute, method, keyword and global
// names. Interned once when the module is first executed and kept for the
// life of the process, so hot paths compare and hash them for free.
#pragma once

#include "sftp_main/ref.hpp"

#define SFTP_MAIN_NAMES(X)                                                                  \
    /* instance attributes */                                                               \
    X(_log, "_log")                                                                         \
    X(_config, "_config")                                                                   \
    X(_params_dict, "_params_dict")                                                         \
    X(_default_params, "_default_params")                                                   \
    X(_ssh, "_ssh")                                                                         \
    X(_sftp, "_sftp")                                                                       \
    /* methods called on the instance, the tables, the caller's mapping and the clients */  \
    X(_cleanse_params, "_cleanse_params")                                                   \
    X(_set_params_dict, "_set_params_dict")                                                 \
    X(_set_default_params, "_set_default_params")                                           \
    X(_close, "_close")                                                                     \
    X(items, "items")                                                                       \
    X(get, "get")                                                                           \
    X(set, "set")                                                                           \
    X(keys, "keys")                                                                         \
    X(update, "update")                                                                     \
    X(todict, "todict")                                                                     \
    X(connect, "connect")                                                                   \
    X(close, "close")                                                                       \
    X(get_channel, "get_channel")                                                           \
    X(get_transport, "get_transport")                                                       \
    X(set_missing_host_key_policy, "set_missing_host_key_policy")                           \
    X(from_transport, "from_transport")                                                     \
    /* keywords and the keys of the parameter tables */                                     \
    X(username, "username")                                                                 \
    X(file, "file")                                                                         \
    X(key_type, "type")                                                                     \
    X(key_default, "default")                                                               \
    X(key_optional, "optional")                                                             \
    /* what checking the opt-in connection options calls */                                 \
    X(banner_timeout, "banner_timeout")                                                     \
    X(handshake_timeout, "handshake_timeout")                                               \
    X(auth_timeout, "auth_timeout")                                                         \
    X(channel_timeout, "channel_timeout")                                                   \
    X(initial_kex_done, "initial_kex_done")                                                 \
    X(start_client, "start_client")                                                         \
    X(get_remote_server_key, "get_remote_server_key")                                       \
    X(get_security_options, "get_security_options")                                         \
    X(key_types, "key_types")                                                               \
    X(getpeername, "getpeername")                                                           \
    X(asbytes, "asbytes")                                                                   \
    X(get_name, "get_name")                                                                 \
    X(auth_password, "auth_password")                                                       \
    X(open_session, "open_session")                                                         \
    X(settimeout, "settimeout")                                                             \
    X(set_keepalive, "set_keepalive")                                                       \
    X(invoke_subsystem, "invoke_subsystem")                                                 \
    X(create_connection, "create_connection")                                               \
    X(sha256, "sha256")                                                                     \
    X(digest, "digest")                                                                     \
    X(a2b_base64, "a2b_base64")                                                             \
    X(b2a_base64, "b2a_base64")                                                             \
    X(strict_mode, "strict_mode")                                                           \
    X(newline, "newline")                                                                   \
    X(args, "args")                                                                         \
    X(BadHostKeyException, "BadHostKeyException")                                           \
    /* key login and known_hosts */                                                         \
    X(PKey, "PKey")                                                                         \
    X(from_path, "from_path")                                                               \
    X(auth_publickey, "auth_publickey")                                                     \
    X(AuthenticationException, "AuthenticationException")                                   \
    X(PasswordRequiredException, "PasswordRequiredException")                               \
    X(SSHException, "SSHException")                                                         \
    X(HostKeys, "HostKeys")                                                                 \
    X(hostkeys, "hostkeys")                                                                 \
    X(HostKeyEntry, "HostKeyEntry")                                                         \
    X(from_line, "from_line")                                                               \
    X(lookup, "lookup")                                                                     \
    X(quote, "quote")                                                                       \
    X(open, "open")                                                                         \
    X(read, "read")                                                                         \
    X(key, "key")                                                                           \
    X(InvalidHostKey, "InvalidHostKey")                                                     \
    X(hostnames, "hostnames")                                                               \
    X(add, "add")                                                                           \
    /* what the opted transfers and the staged download call on the client */              \
    X(put, "put")                                                                           \
    X(getfo, "getfo")                                                                       \
    X(remove, "remove")                                                                     \
    X(posix_rename, "posix_rename")                                                         \
    X(lstat, "lstat")                                                                       \
    X(chmod, "chmod")                                                                       \
    X(st_mode, "st_mode")                                                                   \
    X(st_size, "st_size")                                                                   \
    X(mkdir, "mkdir")                                                                       \
    X(rmdir, "rmdir")                                                                       \
    X(callback, "callback")                                                                 \
    /* module globals and what is read from paramiko */                                     \
    X(paramiko, "paramiko")                                                                 \
    X(TavrelLog, "TavrelLog")                                                               \
    X(TavrelSSH, "TavrelSSH")                                                               \
    X(TavrelVar, "TavrelVar")                                                               \
    X(TavrelSFTPMain, "TavrelSFTPMain")                                                     \
    X(SSHClient, "SSHClient")                                                               \
    X(AutoAddPolicy, "AutoAddPolicy")                                                       \
    X(Transport, "Transport")                                                               \
    X(SFTPClient, "SFTPClient")                                                             \
    X(__module__, "__module__")                                                             \
    X(__qualname__, "__qualname__")                                                         \
    /* what failure notes read and call on an exception */                                  \
    X(__notes__, "__notes__")                                                               \
    X(add_note, "add_note")

namespace sftp {

// The names above, and every configuration name of the option table.
struct Names {
#define SFTP_MAIN_DECLARE_NAME(member, text) PyObject* member = nullptr;
    SFTP_MAIN_NAMES(SFTP_MAIN_DECLARE_NAME)
#undef SFTP_MAIN_DECLARE_NAME
#define SFTP_OPTION(member, ...) PyObject* member = nullptr;
#include "sftp_main/options/option_table.def"
#undef SFTP_OPTION
};

// Valid once intern_names() has succeeded.
extern Names names;

// Interns every name; raises (PyErrorRaised) on failure. Idempotent.
void intern_names();

// Drops the names interned by an exec step that then failed, so that
// none of them outlives the interpreter that made them.
void forget_names();

// Interns one text, throwing on failure.
OwnedRef intern(const char* text);

}  // namespace sftp
