#include "sftp_main/options/options.hpp"

#include "sftp_main/calls.hpp"
#include "sftp_main/contract/extension_points.hpp"

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>

namespace sftp {

namespace {

constexpr PolicyReader Kept = nullptr;
constexpr PolicyReader None = nullptr;

constexpr OptionRow kTable[] = {
#define SFTP_OPTION(name, type, guarded, secret, password_optional, read, policy) \
    {&Names::name, #name, ValueType::type, guarded != 0, secret != 0, password_optional != 0, Read::read, policy},
#include "sftp_main/options/option_table.def"
#undef SFTP_OPTION
};
static_assert(std::size(kTable) == kOptionCount);

// A name that no row of the table has: what marks it as a secret's.
constexpr std::string_view kSecretMarkers[] = {"pass", "pwd", "secret", "token", "key", "credential", "rsa", "private"};

std::string lowered_utf8(PyObject* text, bool& readable) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    readable = utf8 != nullptr;
    if (!readable) {
        PyErr_Clear();
        return {};
    }
    std::string lowered(utf8, static_cast<std::size_t>(size));
    for (char& c : lowered) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lowered;
}

const OptionRow* row_named(PyObject* name) {
    for (const OptionRow& row : kTable) {
        if (row.interned() == name) {
            return &row;
        }
    }
    for (const OptionRow& row : kTable) {
        const int equal = PyUnicode_Compare(name, row.interned());
        if (equal == -1 && PyErr_Occurred()) {
            PyErr_Clear();
        } else if (equal == 0) {
            return &row;
        }
    }
    return nullptr;
}

// The edit distance of the optimal string alignment: a letter dropped,
// added or changed, or two neighbours swapped, each count one.
std::size_t edit_distance(std::string_view a, std::string_view b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) {
        d[i][0] = i;
    }
    for (std::size_t j = 0; j <= b.size(); ++j) {
        d[0][j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

// The name without its case, its separators and a closing "s".
std::string folded(std::string_view name) {
    std::string kept;
    for (char c : name) {
        if (c != '_' && c != '-' && c != ' ') {
            kept.push_back(c);
        }
    }
    if (kept.size() > 1 && kept.back() == 's') {
        kept.pop_back();
    }
    return kept;
}

// A slip of the keyboard away from `name`: one edit, or the same letters
// but for case, separators and a plural "s".
bool near_miss(std::string_view key, std::string_view name) {
    // Lengths further apart than one edit need no table, however long the key.
    const std::size_t apart = key.size() > name.size() ? key.size() - name.size() : name.size() - key.size();
    return (apart <= 1 && edit_distance(key, name) <= 1) || folded(key) == folded(name);
}

[[noreturn]] void reject_step(PyObject* name, const char* what) {
    PyErr_Format(PyExc_ValueError,
                 "%U is set, but the configuration that the \"ssh\" step (TavrelSSH(...).connect()) returned %s; "
                 "refusing to connect without it",
                 name, what);
    throw PyErrorRaised{};
}

}  // namespace

std::span<const OptionRow> option_table() noexcept { return kTable; }

bool Options::any() const noexcept {
    return !pins.empty() || static_cast<bool>(key_login) || static_cast<bool>(known_hosts) ||
           std::any_of(kept.begin(), kept.end(), [](const OwnedRef& value) { return static_cast<bool>(value); });
}

bool Options::needed_by_transfers() const noexcept {
    for (std::size_t index = 0; index < kOptionCount; ++index) {
        if (kept[index] && index != static_cast<std::size_t>(Option::timeout) &&
            index != static_cast<std::size_t>(Option::keepalive)) {
            return true;
        }
    }
    return false;
}

// An instance without `_config` has no options either: the plain connection
// then fails where it always did, after making the SSH client.
OwnedRef optional_setting(PyObject* configuration_owner, PyObject* name) {
    PyObject* found = nullptr;
    if (check_status(PyObject_GetOptionalAttr(configuration_owner, names._config, &found)) == 0) {
        return {};
    }
    OwnedRef configuration = OwnedRef::steal(found);
    check_status(PyObject_GetOptionalAttr(configuration.get(), name, &found));
    return OwnedRef::steal(found);
}

OwnedRef setting_in(PyObject* mapping, PyObject* name) {
    PyObject* found = nullptr;
    if (PyDict_Check(mapping)) {
        check_status(PyDict_GetItemRef(mapping, name, &found));
    } else {
        check_status(PyMapping_GetOptionalItem(mapping, name, &found));
    }
    return OwnedRef::steal(found);
}

Options read_options(PyObject* module_globals, PyObject* configuration_owner) {
    Options options;
    const ReadContext context{module_globals, configuration_owner};
    std::size_t at = 0;
    while (at < kOptionCount) {
        const OptionRow& row = kTable[at];
        if (row.read != Read::Connect) {
            ++at;
            continue;
        }
        if (row.reader == Kept) {
            if (OwnedRef value = optional_setting(configuration_owner, row.interned())) {
                options.kept[at] = parse::checked(row.type, value.get(), row.text);
            }
            ++at;
            continue;
        }
        std::array<OwnedRef, kOptionCount> values;
        std::size_t count = 0;
        for (; at < kOptionCount && kTable[at].reader == row.reader; ++at) {
            values[count++] = optional_setting(configuration_owner, kTable[at].interned());
        }
        row.reader(options, std::span<const OwnedRef>(values.data(), count), context);
    }
    return options;
}

void read_pins(Options& options, std::span<const OwnedRef> values, const ReadContext& /*context*/) {
    if (values[0]) {
        options.pins = parse::pins(values[0].get());
    }
}

bool points::password_optional(PyObject* entries) {
    for (const OptionRow& row : kTable) {
        if (!row.makes_password_optional) {
            continue;
        }
        PyObject* value = nullptr;
        if (check_status(PyDict_GetItemRef(entries, row.interned(), &value)) == 1) {
            OwnedRef held = OwnedRef::steal(value);
            if (is_true(held.get())) {
                return true;
            }
        }
    }
    return false;
}

// The first key that is no name of the table but a near miss of an opt-in one.
void points::check_names(PyObject* entries) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(entries, &position, &key, &value)) {
        if (!PyUnicode_Check(key) || row_named(key) != nullptr) {
            continue;
        }
        bool readable = false;
        const std::string given = lowered_utf8(key, readable);
        // The "ssh_" names are the ssh step's, which may read names of its own.
        if (!readable || given.starts_with("ssh_")) {
            continue;
        }
        const OptionRow* meant = nullptr;
        bool near_contract = false;
        for (const OptionRow& row : kTable) {
            if (near_miss(given, row.text)) {
                near_contract = near_contract || !row.opt_in();
                meant = meant != nullptr || !row.opt_in() ? meant : &row;
            }
        }
        if (meant != nullptr && !near_contract) {
            // The key as a plain str: a subclass's own __repr__ is not run.
            OwnedRef plain = check(PyUnicode_FromObject(key));
            PyErr_Format(PyExc_ValueError, "unknown configuration name %R; did you mean %R?", plain.get(),
                         meant->interned());
            throw PyErrorRaised{};
        }
    }
}

bool is_secret(PyObject* name) {
    if (!PyUnicode_Check(name)) {
        return false;
    }
    if (const OptionRow* row = row_named(name)) {
        return row->secret;
    }
    bool readable = false;
    const std::string lowered = lowered_utf8(name, readable);
    if (!readable) {
        return true;  // unreadable: safer masked
    }
    return std::any_of(std::begin(kSecretMarkers), std::end(kSecretMarkers),
                       [&](std::string_view marker) { return lowered.find(marker) != std::string::npos; });
}

// What todict() gave is what was cleansed. A framework whose todict() gives
// no dict hands the step something that is its own business to read; the
// caller's mapping says what the caller set. The dict is copied before the
// step could change it.
void points::SshStep::before(PyObject* handed_mapping, PyObject* callers_mapping) {
    PyObject* source = PyDict_Check(handed_mapping) ? handed_mapping : callers_mapping;
    settings_ = source == handed_mapping ? check(PyDict_Copy(handed_mapping)) : OwnedRef::take(source);
    expected_.clear();
    for (const OptionRow& row : kTable) {
        if (!row.guarded) {
            continue;
        }
        OwnedRef given = setting_in(source, row.interned());
        if (!given) {
            continue;
        }
        if (OwnedRef checked = parse::checked(row.type, given.get(), row.text)) {
            expected_.push_back({&row, std::move(checked)});
        }
    }
    checked_ = true;
}

void points::SshStep::after(PyObject* cleansed, PyObject* replacement) const {
    for (const Expected& expected : expected_) {
        PyObject* name = expected.row->interned();
        PyObject* found = nullptr;
        check_status(PyObject_GetOptionalAttr(replacement, name, &found));
        OwnedRef carried = OwnedRef::steal(found);
        OwnedRef checked = carried ? parse::checked(expected.row->type, carried.get(), expected.row->text) : OwnedRef{};
        if (!checked) {
            reject_step(name, "does not carry it");
        }
        if (!check_status(PyObject_RichCompareBool(checked.get(), expected.value.get(), Py_EQ))) {
            reject_step(name, "carries another value");
        }
    }
    require_target_listing(settings_.get(), cleansed, replacement);
}

}  // namespace sftp
