#pragma once
// The module state: everything the module keeps between calls, for one lifetime of the
// interpreter that owns it.
#include <array>
#include <cstdint>
#include <string>

#include "core/migration_diff.hpp"
#include "python/arguments.hpp"

namespace kestrelite::python {

// ---- interpreter facts read at module initialisation --------------------------------

struct Runtime {
  int minor = 9;  // CPython 3.<minor>
  using AsUtf8AndSize = const char* (*)(PyObject*, Py_ssize_t*);
  AsUtf8AndSize as_utf8_and_size = nullptr;  // available in the stable ABI from 3.10
  bool fastcall() const noexcept { return minor >= 10; }
};

/// Reads the running interpreter's version and the functions newer versions offer into the
/// module state.
Status init_runtime();

// ---- the module state ------------------------------------------------------------------

/// Everything the module keeps between calls, for one lifetime of the interpreter that owns
/// it: made at module initialisation and as first needed, dropped when that interpreter
/// frees the module (at finalisation), so that a later Py_Initialize and import start anew.
/// Only read and written with the GIL held.
struct ModuleState {
  Runtime runtime;
  /// The module object, borrowed: the interpreter owns it, and its freeing resets this state.
  PyObject* module = nullptr;
  /// The interpreter that owns the module (-1: none yet). Kept when the state is reset: the
  /// first interpreter to import owns the module for the whole process. Subinterpreter ids
  /// are never reused, and the main interpreter has the same id in every initialisation.
  std::int64_t owner_interpreter = -1;
  // Owned references, made on first need.
  std::array<PyObject*, kClassCount> types{};
  PyObject* panic_type = nullptr;
  PyObject* sequence_abc = nullptr;  // collections.abc.Sequence
  std::array<PyObject*, 3> diff_attribute_names{};  // "data_type", "nullable", "primary_key"
  std::array<KeywordNames, kKeywordMethodCount> keyword_names{};
  /// The query compiler's statement text. Each use fills it and makes its str with no
  /// Python code run in between (making a str runs none), so no call can meet it in use.
  std::string statement;
  /// The schema diff's statements. Making the result lists may run the collector and so a
  /// finaliser that calls diff_table again: a call takes it only while it is not leased.
  core::MigrationText migration;
  bool migration_leased = false;
};

extern ModuleState g_state;

/// The one accessor of the module state.
inline ModuleState& state() noexcept { return g_state; }

/// Drops every reference and buffer the state holds (not the owning interpreter).
void reset_state() noexcept;

/// Tuple-and-dict convention.
Status match_tuple(const FunctionDescription& desc, PyObject* args, PyObject* kwargs, Slots& out,
                   KeywordNames* names = nullptr);
/// Vector convention: `nargs` positional values, then one value per name in `kwnames`.
Status match_vector(const FunctionDescription& desc, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, Slots& out, KeywordNames* names = nullptr);

}  // namespace kestrelite::python
