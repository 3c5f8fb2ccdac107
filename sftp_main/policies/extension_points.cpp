// What each extension point does: the policies it hands to, in the order
// they apply.
#include "sftp_main/contract/extension_points.hpp"

#include "sftp_main/calls.hpp"
#include "sftp_main/names.hpp"
#include "sftp_main/options/options.hpp"
#include "sftp_main/policies/failure_notes.hpp"
#include "sftp_main/policies/keepalive.hpp"
#include "sftp_main/policies/reconnect.hpp"
#include "sftp_main/policies/resumable_transfers.hpp"
#include "sftp_main/policies/staged_download.hpp"
#include "sftp_main/policies/tcp_no_delay.hpp"
#include "sftp_main/policies/transfer_log.hpp"

namespace sftp::points {

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

std::shared_ptr<Options> read_options(PyObject* module_globals, PyObject* self) {
    return std::make_shared<Options>(sftp::read_options(module_globals, self));
}

void transport_made(PyObject* transport, PyObject* endpoint, const Options& options) {
    disable_nagle(transport, endpoint);
    set_keepalive(transport, options);
}

// The progress callable is held through a weak reference where it takes
// one: the configuration holds it strongly, and a strong hold from the
// registry could keep a cycle through the instance alive for good.
void after_connecting(PyObject* sftp, PyObject* server_label, std::shared_ptr<Options> options) {
    clients::remember_server(sftp, server_label);
    if (options->survives_drops()) {
        reconnect::remember_server_key(sftp, *options);
    }
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

void SshStep::failed(const Invocation& call) const noexcept {
    if (checked_) {
        notes::describe_jump_host_failure(call);
    }
}

OwnedRef server_label(PyObject* user, PyObject* host_text, PyObject* port_text) noexcept {
    return notes::server_label(user, host_text, port_text);
}

void download(PyObject* client, PyObject* source, PyObject* destination, const Options* options,
              const std::function<void()>& contract_get) {
    OwnedRef callback = progress(options);
    download_staged(client, source, destination, callback.get(), contract_get,
                    options != nullptr ? options->read_request : 0);
}

bool survives_drops(PyObject* client, std::shared_ptr<const Options>& options) {
    std::shared_ptr<const Options> found = clients::options_of(client);
    if (!found || !found->survives_drops()) {
        return false;
    }
    options = std::move(found);
    return true;
}

void upload_surviving_drops(PyObject* self, PyObject* source, PyObject* destination, const Options& options,
                            int& attempts) {
    OwnedRef callback = progress(&options);
    resumable::upload(self, source, destination, options, callback.get(), attempts);
}

void download_surviving_drops(PyObject* self, PyObject* source, PyObject* destination, const Options& options,
                              int& attempts, const ContractTransfer& contract_get) {
    OwnedRef callback = progress(&options);
    resumable::download(self, source, destination, options, callback.get(), attempts,
                        [&](PyObject* client, PyObject* watched_progress) {
                            download_staged(client, source, destination, watched_progress,
                                            [&] { contract_get(client, watched_progress); }, options.read_request);
                        });
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

void method_failed(const Invocation& call, std::optional<PyObject*> server) noexcept {
    notes::describe_failure(call, server);
}

bool leave_to_parent(PyObject* client) noexcept { return clients::leave_to_parent(client); }

}  // namespace sftp::points
