#pragma once
// The two documents the Setup reports through: the setup info and the job reply.
#include "product.h"

// Product, installed version, detection and install folder; runs detection each time.
json build_setup_info();
// {"error", "notes", "ok"} of an operation's outcome; the install record is never part of it.
json result_to_json(const op_result& result);
