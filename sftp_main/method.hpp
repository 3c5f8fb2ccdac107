// The method object: what the class namespace holds for each method.
//
// It behaves like a Python function defined in a class body: read from an
// instance it gives a bound method, read from the class it gives itself, and
// it binds its arguments by Python's rules and with the interpreter's own
// wording. It carries the method-descriptor flag and a vectorcall entry, so
// `obj.method(x)` calls straight through without making a bound method.
#pragma once

#include "sftp_main/ref.hpp"

#include <array>
#include <cstddef>
#include <initializer_list>

namespace sftp {

// `self` and at most two more.
inline constexpr std::size_t kMaxParameters = 3;

struct Parameters {
    std::array<const char*, kMaxParameters> names{};
    std::size_t count = 0;

    constexpr Parameters(std::initializer_list<const char*> list) {
        for (const char* name : list) {
            names[count++] = name;
        }
    }
};

class Invocation;
using MethodBody = OwnedRef (*)(const Invocation&);

// What a method is, as data: the class's method table is a list of these.
struct MethodSpec {
    const char* name;
    Parameters parameters;  // "self" first; every one positional-or-keyword
    MethodBody body;
    // For the methods that forward to the SFTP client: the client's method.
    const char* client_method = nullptr;
};

struct MethodState;

// One call of a method, its arguments bound: argument(0) is the instance.
class Invocation {
public:
    Invocation(const MethodState& state, PyObject* const* arguments) noexcept
        : state_(state), arguments_(arguments) {}

    PyObject* self() const noexcept { return arguments_[0]; }
    PyObject* argument(std::size_t index) const noexcept { return arguments_[index]; }
    PyObject* const* arguments() const noexcept { return arguments_; }
    std::size_t argument_count() const noexcept;
    // The namespace of the module that defined the method (borrowed).
    PyObject* globals() const noexcept;
    // The interned name of the client method, for forwarding methods.
    PyObject* client_method() const noexcept;
    // The method's name, and the name of parameter `index` (0 is "self").
    PyObject* method_name() const noexcept;
    PyObject* parameter_name(std::size_t index) const noexcept;

private:
    const MethodState& state_;
    PyObject* const* arguments_;
};

// Creates the type of method objects; called once per module execution.
void ready_method_type();
// Drops it again after an exec step failed.
void forget_method_type();

// A new method object for `spec`, defined in the module whose namespace is
// `globals`, on the class called `class_name`.
OwnedRef new_method(const MethodSpec& spec, PyObject* globals, PyObject* module_name,
                    const char* class_name);

}  // namespace sftp
