// A program that embeds the interpreter and runs the module in two of its lifetimes:
// Py_Initialize, import, calls that touch every piece of the module's state, Py_Finalize,
// then all of it again. The second round must meet a new, working module.
//
//   embed_test MODULE_DIR
//
// Exits 0 when both rounds passed; a failed check prints its traceback.

#include <Python.h>

#include <cstdio>
#include <string>

namespace {

// Each line checks one piece of state the module keeps for the interpreter's lifetime.
constexpr const char* kCalls = R"(
import collections.abc, _kestrelite_rs as m

# The classes, their method tables and the interned keyword names.
q = m.QueryCompiler()
assert q.compile_delete("t", "id", "postgres") == "DELETE FROM t WHERE id = $1"
sql, params = q.compile_select(table="t", columns=["a"], wheres=[("a", "=", "x")], joins=[],
                               order_by=[], limit=3, dialect="sqlite")
assert (sql, params) == ("SELECT a FROM t WHERE a = ? LIMIT 3", ["x"]), sql
assert q.compile_update("t", ["a", "b"], "id", "mysql") == q.compile_update(
    table="t", columns=["a", "b"], pk_col="id", dialect="mysql")

# The collections.abc.Sequence class a non-list argument is checked against.
b = m.BatchAggregator()
assert b.add_keys_batch(range(3)) == 3 and b.get_keys() == [0, 1, 2]

# The attribute names of a column's dict and the statement buffers.
up, down = m.SchemaDiffEngine().diff_table(
    "t", {"a": {"data_type": "TEXT", "nullable": False}, "b": {"data_type": "INT"}},
    {"a": "TEXT"}, "sqlite")
assert (up, down) == (["ALTER TABLE t ADD COLUMN b INT;"], ["ALTER TABLE t DROP COLUMN b;"])

# The internal-failure class.
class Grows:
    def __str__(self):
        data["more"] = 1
        return "x"
data = {"a": Grows()}
try:
    m.StateTracker().set_initial_state(data)
except BaseException as e:
    assert type(e).__name__ == "PanicException" and not isinstance(e, Exception), repr(e)
else:
    raise AssertionError("no internal failure")

t = m.StateTracker()
t.set_initial_state({"a": 1})
t.set_field("a", 2)
assert t.get_dirty_changes() == {"a": 2}
)";

bool round_trip(int round, const std::string& module_dir) {
  Py_Initialize();
  PyObject* sys_path = PySys_GetObject("path");  // borrowed
  PyObject* dir = PyUnicode_FromString(module_dir.c_str());
  const bool ready = sys_path && dir && PyList_Insert(sys_path, 0, dir) == 0;
  Py_XDECREF(dir);
  const bool passed = ready && PyRun_SimpleString(kCalls) == 0;
  if (!ready) PyErr_Print();
  if (Py_FinalizeEx() != 0) {
    std::fprintf(stderr, "round %d: the interpreter did not finalise cleanly\n", round);
    return false;
  }
  std::fprintf(stderr, "round %d: %s\n", round, passed ? "passed" : "FAILED");
  return passed;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s MODULE_DIR\n", argv[0]);
    return 2;
  }
  bool ok = true;
  for (int round = 1; round <= 2; ++round) ok = round_trip(round, argv[1]) && ok;
  return ok ? 0 : 1;
}
