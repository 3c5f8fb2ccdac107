#include "sftp_main/names.hpp"


namespace sftp {

Names names;

OwnedRef intern(const char* text) { return check(PyUnicode_InternFromString(text)); }

void intern_names() {
    if (names.TavrelSFTPMain != nullptr) {
        return;
    }
    // The references are kept for the life of the process, like the module.
    Names fresh;
#define SFTP_MAIN_INTERN_NAME(member, text) fresh.member = intern(text).release();
    SFTP_MAIN_NAMES(SFTP_MAIN_INTERN_NAME)
#undef SFTP_MAIN_INTERN_NAME
#define SFTP_OPTION(member, ...) fresh.member = intern(#member).release();
#include "sftp_main/options/option_table.def"
#undef SFTP_OPTION
    names = fresh;
}

void forget_names() {
    if (names.TavrelSFTPMain == nullptr) {
        return;
    }
    Names made = names;
    names = Names{};
#define SFTP_MAIN_FORGET_NAME(member, text) Py_XDECREF(made.member);
    SFTP_MAIN_NAMES(SFTP_MAIN_FORGET_NAME)
#undef SFTP_MAIN_FORGET_NAME
#define SFTP_OPTION(member, ...) Py_XDECREF(made.member);
#include "sftp_main/options/option_table.def"
#undef SFTP_OPTION
}

}  // namespace sftp
