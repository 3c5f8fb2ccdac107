// What each extension point does: the policies it hands to, in the order
// they apply.
#include "sftp_main/contract/extension_points.hpp"

#include "sftp_main/calls.hpp"
#include "sftp_main/names.hpp"
#include "sftp_main/options/options.hpp"
#include "sftp_main/policies/configuration_note.hpp"
#include "sftp_main/policies/failure_notes.hpp"
#include "sftp_main/policies/opted_transfers.hpp"
#include "sftp_main/policies/raise_on_failure.hpp"
#include "sftp_main/policies/host_verification.hpp"
#include "sftp_main/policies/staged_download.hpp"
#include "sftp_main/policies/tcp_no_delay.hpp"
#include "sftp_main/policies/transfer_log.hpp"

namespace sftp::points {

namespace {

// The session is started apart from connect() when the server's key is to
// be checked, the time bounded, or a key sent.
bool session_apart(const Options& options) {
    return !options.pins.empty() || static_cast<bool>(options[Option::timeout]) ||
           static_cast<bool>(options.key_login) || static_cast<bool>(options.known_hosts);
}

}  // namespace

void set_up_module() {
    transfer_log::install_null_handler();
    clients::free_locks_in_forked_children();
}

std::vector<PyObject*> ssh_step_defaults() {
    std::vector<PyObject*> defaults;
    for (const OptionRow& row : option_table()) {
        if (row.read == Read::SshStep) {
            defaults.push_back(row.interned());
        }
    }
    return defaults;
}

void configuration_rejected(PyObject* missing, PyObject* rejected, PyObject* rejected_values,
                            PyObject* allowed_texts) noexcept {
    PendingError raised;
    OwnedRef summary;
    if (!run_guarded([&] { summary = notes::english_summary(missing, rejected, rejected_values, allowed_texts); })) {
        PyErr_Clear();  // the note is a courtesy; the error itself stands
    }
    raised.restore();
    if (summary) {
        notes::add_note(summary.get());
    }
}

SshStep::SshStep() : guard_(std::make_unique<SshStepGuard>()) {}
SshStep::~SshStep() = default;
void SshStep::before(PyObject* handed, PyObject* callers_mapping) { guard_->before_step(handed, callers_mapping); }
void SshStep::after(PyObject* cleansed, PyObject* replacement) const { guard_->after_step(cleansed, replacement); }

std::shared_ptr<Options> read_options(PyObject* module_globals, PyObject* self) {
    return std::make_shared<Options>(sftp::read_options(module_globals, self));
}

OwnedRef endpoint(const Options& options, PyObject* host_text, PyObject* port_text) {
    return options[Option::timeout] ? open_bounded_socket(host_text, port_text, options) : OwnedRef();
}

void transport_made(PyObject* transport, PyObject* endpoint) { disable_nagle(transport, endpoint); }

void before_credentials(PyObject* module_globals, PyObject* transport, const Options& options) {
    if (session_apart(options)) {
        start_verified_session(module_globals, transport, options);
    }
}

// The key, or the password with auth_password as connect would send it.
bool authenticate(PyObject* module_globals, PyObject* transport, PyObject* user, PyObject* password,
                  const Options& options) {
    if (!session_apart(options)) {
        return false;
    }
    if (options.key_login) {
        log_in_with_key(module_globals, transport, user, password, options.key_login);
    } else if (password != Py_None) {  // connect() too logs in only with a password
        OwnedRef keywords = check(PyTuple_Pack(2, names.username, names.password));
        PyObject* arguments[] = {transport, user, password};
        check(PyObject_VectorcallMethod(names.auth_password, arguments, 1, keywords.get()));
    }
    return true;
}

OwnedRef open_sftp(PyObject* sftp_client_class, PyObject* transport, const Options& options) {
    return options[Option::timeout] ? open_bounded_sftp(sftp_client_class, transport, options) : OwnedRef();
}

// The progress callable is held through a weak reference where it takes
// one: the configuration holds it strongly, and a strong hold from the
// registry could keep a cycle through the instance alive for good.
void after_connecting(PyObject* sftp, PyObject* server_label, std::shared_ptr<Options> options) {
    clients::remember_server(sftp, server_label);
    const bool required = options->needed_by_transfers();
    if (OwnedRef& progress = options->kept[static_cast<std::size_t>(Option::progress)]) {
        if (OwnedRef weak = OwnedRef::steal(PyWeakref_NewRef(progress.get(), nullptr))) {
            progress = std::move(weak);
            options->progress_is_weak = true;
        } else {
            PyErr_Clear();
        }
    }
    const bool any = options->any();
    clients::keep_options(sftp, any ? std::shared_ptr<const Options>(std::move(options)) : nullptr, required);
}

OwnedRef server_label(PyObject* user, PyObject* host_text, PyObject* port_text) noexcept {
    return notes::server_label(user, host_text, port_text);
}

bool upload(PyObject* client, PyObject* source, PyObject* destination, const Options* options) {
    if (options == nullptr || !(*options)[Option::atomic_upload]) {
        return false;
    }
    OwnedRef callback = progress(options);
    transfers::put_atomically(client, source, destination, callback.get());
    return true;
}

bool download(PyObject* client, PyObject* source, PyObject* destination, const Options* options) {
    OwnedRef callback = progress(options);
    return download_staged(client, source, destination, callback.get());
}

OwnedRef progress(const Options* options) {
    if (options == nullptr) {
        return {};
    }
    const OwnedRef& kept = (*options)[Option::progress];
    if (!kept || !options->progress_is_weak) {
        return kept;
    }
    PyObject* found = nullptr;
    check_status(PyWeakref_GetRef(kept.get(), &found));
    return OwnedRef::steal(found);
}

void transfer_failed(const Invocation& call, PyObject* failure, const Options* options) {
    raise_when_asked(options, failure);
    transfer_log::log_returned_false(call, failure);
}

void method_failed(const Invocation& call, std::optional<PyObject*> server) noexcept {
    notes::describe_failure(call, server);
}

bool leave_to_parent(PyObject* client) noexcept { return clients::leave_to_parent(client); }

}  // namespace sftp::points
