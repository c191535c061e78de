#pragma once
// The four exported classes, in registration order.

#include "python/binding.hpp"

namespace kestrelite::python {

extern ClassDef g_state_tracker_class;
extern ClassDef g_query_compiler_class;
extern ClassDef g_batch_aggregator_class;
extern ClassDef g_schema_diff_engine_class;

}  // namespace kestrelite::python
