// The methods of TavrelSFTPMain, as data. Each concern's file defines its
// own; module.cpp lists them in the order of the class namespace.
#pragma once

#include "sftp_main/method.hpp"

#include <span>

namespace sftp {

// config.cpp
extern const MethodSpec cleanse_params_method;
extern const MethodSpec set_params_dict_method;
extern const MethodSpec set_default_params_method;

// lifecycle.cpp
extern const MethodSpec init_method;
extern const MethodSpec connect_method;
extern const MethodSpec close_method;
extern const MethodSpec del_method;

// operations.cpp: the remote operations, in class order.
std::span<const MethodSpec> operation_methods();

}  // namespace sftp
