// The option table (option_table.def) as data, and the options value that
// _connect reads from it: once per connection, in the table's order, kept
// unchanged with the SFTP client in its registry entry. The ssh step's
// guard, the masking of secrets, the rule that makes "password" optional
// and the check for misspelt names are all read off the table.
#pragma once

#include "sftp_main/names.hpp"
#include "sftp_main/options/value_parsers.hpp"
#include "sftp_main/policies/key_login.hpp"
#include "sftp_main/policies/known_hosts.hpp"
#include "sftp_main/ref.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace sftp {

enum class Option : std::size_t {
#define SFTP_OPTION(name, ...) name,
#include "sftp_main/options/option_table.def"
#undef SFTP_OPTION
};

inline constexpr std::size_t kOptionCount = 0
#define SFTP_OPTION(name, ...) +1
#include "sftp_main/options/option_table.def"
#undef SFTP_OPTION
    ;

enum class Read { Cleansing, SshStep, Connect, WithKnownHosts };

struct Options;

// What reads the rows of one policy into the options value: `values` holds
// what the configuration gave for each of them (empty when it has no such
// name), in table order.
struct ReadContext {
    PyObject* module_globals;
    PyObject* configuration_owner;
};
using PolicyReader = void (*)(Options& options, std::span<const OwnedRef> values, const ReadContext& context);

struct OptionRow {
    PyObject* Names::*name;
    const char* text;
    ValueType type;
    bool guarded;
    bool secret;
    bool makes_password_optional;
    Read read;
    PolicyReader reader;  // null for the kept value of a Connect row, and for other rows

    PyObject* interned() const noexcept { return names.*name; }
    bool opt_in() const noexcept { return read == Read::Connect || read == Read::WithKnownHosts; }
};

std::span<const OptionRow> option_table() noexcept;

// The policies' readers the table names.
void read_pins(Options& options, std::span<const OwnedRef> values, const ReadContext& context);
void read_key_login(Options& options, std::span<const OwnedRef> values, const ReadContext& context);
void read_known_hosts(Options& options, std::span<const OwnedRef> values, const ReadContext& context);

struct Options {
    std::array<OwnedRef, kOptionCount> kept;  // the parsed value of each kept row, or empty
    std::vector<HostKeyPin> pins;              // empty: any host key
    KeyLogin key_login;                        // empty: password login
    KnownHosts known_hosts;                    // empty: no known_hosts file
    bool progress_is_weak = false;             // `kept[progress]` is a weak reference to it
    // With block_size, the request sizes the server takes (block_size.hpp),
    // set once the SFTP client is open; 0 without block_size.
    std::uint32_t read_request = 0;
    std::uint32_t write_request = 0;
    // With "retries" or "resume", the server's host key blob as the
    // connection found it: a reconnect must find the same (reconnect.hpp).
    OwnedRef server_key;

    const OwnedRef& operator[](Option option) const noexcept { return kept[static_cast<std::size_t>(option)]; }
    bool any() const noexcept;
    // Whether transfers need these options kept for the client: any kept
    // value but the time limit, which only words the notes on a timeout,
    // and the keepalive interval, set on the transport once.
    bool needed_by_transfers() const noexcept;
    // Whether a transfer reconnects or keeps its partial data (reconnect.hpp).
    bool survives_drops() const noexcept {
        return static_cast<bool>((*this)[Option::retries]) || static_cast<bool>((*this)[Option::resume]);
    }
};

// The options of the instance's configuration, read and checked in table
// order. A missing attribute, or an instance without `_config`, leaves an
// option unset; a malformed value raises ValueError naming it.
Options read_options(PyObject* module_globals, PyObject* configuration_owner);

// configuration.<name> of the instance's `_config`, or empty when the
// instance has no `_config` or the configuration no such name.
OwnedRef optional_setting(PyObject* configuration_owner, PyObject* name);

// mapping[name], or empty when the mapping has no such name. A dict is read
// as it stands, with no call that anyone could see.
OwnedRef setting_in(PyObject* mapping, PyObject* name);

// Whether a configuration name holds a secret: the table's word for its
// own names, and for any other a name that looks like a secret's.
bool is_secret(PyObject* name);

}  // namespace sftp
