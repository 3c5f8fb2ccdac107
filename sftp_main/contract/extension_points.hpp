// The points where what goes beyond the contract attaches to it. When no
// option is set, each does nothing, or hands the step back to the
// contract's own call. The contract's files include this header and
// nothing else of the options or the policies.
#pragma once

#include "sftp_main/method.hpp"
#include "sftp_main/policies/client_registry.hpp"  // the per-client lock, inline on every call
#include "sftp_main/policies/failure_notes.hpp"    // the scope without notes, inline
#include "sftp_main/ref.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace sftp {

struct Options;
struct OptionRow;

namespace points {

// --- module set-up, once the class is made ---
void set_up_module();

// --- the cleansing of the caller's mapping (`entries`, a dict copy) ---
// The names whose default the cleansing adds for the "ssh" step, in order.
std::vector<PyObject*> ssh_step_defaults();
bool password_optional(PyObject* entries);
// Raises ValueError for a misspelt opt-in name.
void check_names(PyObject* entries);
// Adds the English note to the configuration Exception being raised.
void configuration_rejected(PyObject* missing, PyObject* rejected, PyObject* rejected_values,
                            PyObject* allowed_texts) noexcept;

// --- the "ssh" step of __init__: the guarded options the caller set are
// checked before the step opens anything, and required, unchanged, in what
// it returns (options.cpp) ---
class SshStep {
public:
    // Reads the guarded names from the mapping handed to the step when it is
    // a dict (without any call on it), else from the caller's own, and checks
    // each value set there: a malformed one raises its ValueError.
    void before(PyObject* handed, PyObject* callers_mapping);
    // Raises ValueError naming the first guarded option that the
    // configuration returned by the step lacks or carries changed, then
    // requires the target's known_hosts listing (known_hosts.hpp).
    void after(PyObject* cleansed, PyObject* replacement) const;
    // The step itself failed. Past the checks of the caller's options, what
    // failed is the step's own connection: the note names the jump host,
    // not the target it never reached.
    void failed(const Invocation& call) const noexcept;

private:
    struct Expected {
        const OptionRow* row;
        OwnedRef value;  // its checked form
    };
    std::vector<Expected> expected_;
    OwnedRef settings_;  // what the caller set, as read before the step
    bool checked_ = false;  // before() got through the caller's options
};

// --- _connect ---
// The options, read and checked before anything is made.
std::shared_ptr<Options> read_options(PyObject* module_globals, PyObject* self);
// The endpoint: what Transport is opened on, or empty for "host:port".
OwnedRef endpoint(const Options& options, PyObject* host_text, PyObject* port_text);
// The transport is made, nothing sent yet.
void transport_made(PyObject* transport, PyObject* endpoint, const Options& options);
// Authentication: the session started apart, before the credentials are read...
void before_credentials(PyObject* module_globals, PyObject* transport, const Options& options);
// ...and the login; false leaves it to connect(username=, password=).
bool authenticate(PyObject* module_globals, PyObject* transport, PyObject* user, PyObject* password,
                  const Options& options);
// Opening the SFTP client; empty leaves it to SFTPClient.from_transport.
// It may note in `options` what it learnt of the server's limits.
OwnedRef open_sftp(PyObject* sftp_client_class, PyObject* transport, Options& options);
// After connecting: the client is kept with its server and its options.
void after_connecting(PyObject* sftp, PyObject* server_label, std::shared_ptr<Options> options);
// "user@host:port" for notes; empty without a host. Raises nothing.
OwnedRef server_label(PyObject* user, PyObject* host_text, PyObject* port_text) noexcept;

// --- around each transfer ---
// true when a policy made the upload; false leaves it to put(src, dst).
bool upload(PyObject* client, PyObject* source, PyObject* destination, const Options* options);
// The download: a policy's, or `contract_get`, which makes get(src, dst),
// inside the checks that come before any data moves.
void download(PyObject* client, PyObject* source, PyObject* destination, const Options* options,
              const std::function<void()>& contract_get);
// The progress callable a contract call is given, or empty.
OwnedRef progress(const Options* options);
// Whether the client's transfers reconnect or keep their partial data
// ("retries", "resume"); `options` then receives the client's options.
bool survives_drops(PyObject* client, std::shared_ptr<const Options>& options);
// Such a transfer, whole: it may reconnect the instance, and counts its
// attempts. `contract_transfer(client, progress)` makes the contract's call
// on the client of the attempt, where the download cannot be staged.
using ContractTransfer = std::function<void(PyObject* client, PyObject* progress)>;
void upload_surviving_drops(PyObject* self, PyObject* source, PyObject* destination, const Options& options,
                            int& attempts);
void download_surviving_drops(PyObject* self, PyObject* source, PyObject* destination, const Options& options,
                              int& attempts, const ContractTransfer& contract_get);
// When a transfer fails: logs why (it then returns False), or raises.
// `attempts` is how many were made, 0 where only one could be.
void transfer_failed(const Invocation& call, PyObject* failure, const Options* options, int attempts = 0);

// --- when any method fails: the note on the exception being raised ---
void method_failed(const Invocation& call, std::optional<PyObject*> server = std::nullopt) noexcept;
// While one lives on a thread, failures get no notes there.
using QuietFailures = notes::QuietScope;

// --- _close: a forked child leaves the parent's client alone ---
bool leave_to_parent(PyObject* client) noexcept;

}  // namespace points
}  // namespace sftp
