"""Statement text and parameters of QueryCompiler, checked against a small model of the
templates written here in Python."""

import collections
import ctypes

import pytest
from hypothesis import given
from hypothesis import strategies as st

kMaxIndex = 2**64 - 1


def unsigned_overflow_message(value):
    """The interpreter's own text when it refuses `value` as an unsigned 64-bit integer."""
    reader = ctypes.pythonapi.PyLong_AsUnsignedLongLong
    reader.argtypes = [ctypes.py_object]
    reader.restype = ctypes.c_ulonglong
    try:
        reader(value)
    except OverflowError as error:
        return str(error)
    raise AssertionError(f"{value} was not refused")


# ---- reference model --------------------------------------------------------------------------


def ref_placeholder(dialect, index):
    folded = dialect.lower()
    if folded == "mysql":
        return "%s"
    if folded in ("postgres", "postgresql"):
        return f"${index}"
    return "?"


def ref_insert(table, columns, dialect):
    marks = ", ".join(ref_placeholder(dialect, i) for i in range(1, len(columns) + 1))
    text = f"INSERT INTO {table} ({', '.join(columns)}) VALUES ({marks})"
    return text + " RETURNING *" if "postgres" in dialect.lower() else text


def ref_update(table, columns, pk_col, dialect):
    sets = ", ".join(f"{c} = {ref_placeholder(dialect, i)}" for i, c in enumerate(columns, 1))
    return f"UPDATE {table} SET {sets} WHERE {pk_col} = {ref_placeholder(dialect, len(columns) + 1)}"


def ref_delete(table, pk_col, dialect):
    return f"DELETE FROM {table} WHERE {pk_col} = {ref_placeholder(dialect, 1)}"


def ref_select(table, columns, wheres, joins, order_by, limit=None, offset=None,
               dialect="sqlite"):
    text = f"SELECT {', '.join(columns) if columns else '*'} FROM {table}"
    for kind, other, on in joins:
        text += f" {kind.upper()} JOIN {other} ON {on}"
    for k, (column, op, _) in enumerate(wheres, 1):
        text += (" WHERE " if k == 1 else " AND ") + f"{column} {op} {ref_placeholder(dialect, k)}"
    if order_by:
        text += " ORDER BY " + ", ".join(f"{c} {d.upper()}" for c, d in order_by)
    if limit is not None:
        text += f" LIMIT {limit}"
    if offset is not None:
        text += f" OFFSET {offset}"
    return text, [value for _, _, value in wheres]


@pytest.fixture
def qc(mod):
    return mod.QueryCompiler()


# ---- placeholders -----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "dialect, index, expected",
    [
        ("sqlite", 5, "?"), ("mysql", 1, "%s"), ("postgres", 1, "$1"),
        ("PostgreSQL", 12, "$12"), ("MYSQL", 7, "%s"), ("MySQL", 3, "%s"),
        ("POSTGRES", 4, "$4"), ("postgresql", 9, "$9"), ("pOsTgReS", 10, "$10"),
        ("postgres", 0, "$0"), ("postgres", kMaxIndex, "$18446744073709551615"),
        ("mysql", kMaxIndex, "%s"), ("sqlite", 0, "?"), ("SQLite", kMaxIndex, "?"),
        ("", 1, "?"), ("pg", 1, "?"), ("mysql8", 1, "?"), ("my_postgres", 1, "?"),
        (" mysql", 1, "?"), ("postgres ", 1, "?"), ("postgresql ", 1, "?"), ("oracle", 1, "?"),
        ("postgres\x00", 1, "?"), ("mysql\n", 1, "?"), ("postgre", 1, "?"),
        # Letters whose case mapping leaves ASCII never match the ASCII names.
        ("po\u017ftgres", 1, "?"), ("\uff4d\uff59\uff53\uff51\uff4c", 1, "?"),
    ],
)
def test_get_placeholder(qc, dialect, index, expected):
    assert qc.get_placeholder(dialect, index) == expected
    assert qc.get_placeholder(index=index, dialect=dialect) == expected
    assert ref_placeholder(dialect, index) == expected


@pytest.mark.parametrize("dialect", ["sqlite", "mysql", "postgres", ""])
@pytest.mark.parametrize("index", [-1, -2**64, 2**64])
def test_get_placeholder_refuses_out_of_range_index_for_every_dialect(qc, dialect, index):
    with pytest.raises(OverflowError) as excinfo:
        qc.get_placeholder(dialect, index)
    assert type(excinfo.value) is OverflowError
    assert str(excinfo.value) == unsigned_overflow_message(index)


def test_get_placeholder_refuses_none_dialect(qc):
    with pytest.raises(TypeError) as excinfo:
        qc.get_placeholder(None, 1)
    assert str(excinfo.value) == (
        "argument 'dialect': 'NoneType' object cannot be converted to 'PyString'")


def test_instances_agree(mod):
    first, second = mod.QueryCompiler(), mod.QueryCompiler()
    assert first.get_placeholder("postgres", 8) == second.get_placeholder("postgres", 8) == "$8"
    assert first.compile_select("t", ["a"], [("a", "=", "1")], [], []) == (
        second.compile_select("t", ["a"], [("a", "=", "1")], [], []))


# ---- INSERT, UPDATE, DELETE ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "table, columns, dialect, expected",
    [
        ("users", ["name", "email"], "sqlite", "INSERT INTO users (name, email) VALUES (?, ?)"),
        ("users", ["name", "email"], "postgres",
         "INSERT INTO users (name, email) VALUES ($1, $2) RETURNING *"),
        ("users", ["name", "email"], "mysql", "INSERT INTO users (name, email) VALUES (%s, %s)"),
        ("users", ["name", "email"], "my_postgres",
         "INSERT INTO users (name, email) VALUES (?, ?) RETURNING *"),
        ("users", ["name", "email"], "PostgreSQL",
         "INSERT INTO users (name, email) VALUES ($1, $2) RETURNING *"),
        ("users", ["name", "email"], "MYSQL", "INSERT INTO users (name, email) VALUES (%s, %s)"),
        ("users", ["name"], "postgres ", "INSERT INTO users (name) VALUES (?) RETURNING *"),
        ("users", ["name"], "xPoStGrEsQLx", "INSERT INTO users (name) VALUES (?) RETURNING *"),
        ("users", ["name"], "postgre", "INSERT INTO users (name) VALUES (?)"),
        ("users", ["name"], "", "INSERT INTO users (name) VALUES (?)"),
        ("users", [], "sqlite", "INSERT INTO users () VALUES ()"),
        ("users", [], "postgres", "INSERT INTO users () VALUES () RETURNING *"),
        ("users", [], "mysql", "INSERT INTO users () VALUES ()"),
        ("my table", ["first name"], "sqlite", "INSERT INTO my table (first name) VALUES (?)"),
        ('"Users"', ["`a`", "'b'", "select"], "mysql",
         "INSERT INTO \"Users\" (`a`, 'b', select) VALUES (%s, %s, %s)"),
        ("", ["", ""], "postgres", "INSERT INTO  (, ) VALUES ($1, $2) RETURNING *"),
        ("t", ["a", "a"], "postgres", "INSERT INTO t (a, a) VALUES ($1, $2) RETURNING *"),
        ("t\x00x", ["c\x00"], "sqlite", "INSERT INTO t\x00x (c\x00) VALUES (?)"),
        ("таблица", ["имя", "名前"], "postgresql",
         "INSERT INTO таблица (имя, 名前) VALUES ($1, $2) RETURNING *"),
    ],
)
def test_compile_insert(qc, table, columns, dialect, expected):
    assert qc.compile_insert(table, columns, dialect) == expected
    assert qc.compile_insert(dialect=dialect, columns=tuple(columns), table=table) == expected
    assert ref_insert(table, columns, dialect) == expected


@pytest.mark.parametrize(
    "table, columns, pk_col, dialect, expected",
    [
        ("users", ["name", "email"], "id", "postgres",
         "UPDATE users SET name = $1, email = $2 WHERE id = $3"),
        ("users", ["name", "email"], "id", "mysql",
         "UPDATE users SET name = %s, email = %s WHERE id = %s"),
        ("users", ["name", "email"], "id", "sqlite",
         "UPDATE users SET name = ?, email = ? WHERE id = ?"),
        ("users", ["name"], "id", "my_postgres", "UPDATE users SET name = ? WHERE id = ?"),
        ("users", ["name"], "id", "PostgreSQL", "UPDATE users SET name = $1 WHERE id = $2"),
        ("users", [], "id", "sqlite", "UPDATE users SET  WHERE id = ?"),
        ("users", [], "id", "postgres", "UPDATE users SET  WHERE id = $1"),
        ("users", [], "id", "mysql", "UPDATE users SET  WHERE id = %s"),
        ("my table", ["a b"], "the key", "sqlite", "UPDATE my table SET a b = ? WHERE the key = ?"),
        ("", [""], "", "postgres", "UPDATE  SET  = $1 WHERE  = $2"),
        ("t", ["x", "x", "x"], "x", "postgres", "UPDATE t SET x = $1, x = $2, x = $3 WHERE x = $4"),
        ("ü", ["ß"], "ключ", "mysql", "UPDATE ü SET ß = %s WHERE ключ = %s"),
    ],
)
def test_compile_update(qc, table, columns, pk_col, dialect, expected):
    assert qc.compile_update(table, columns, pk_col, dialect) == expected
    assert qc.compile_update(pk_col=pk_col, dialect=dialect, table=table,
                             columns=tuple(columns)) == expected
    assert ref_update(table, columns, pk_col, dialect) == expected


@pytest.mark.parametrize(
    "table, pk_col, dialect, expected",
    [
        ("users", "id", "postgres", "DELETE FROM users WHERE id = $1"),
        ("users", "id", "sqlite", "DELETE FROM users WHERE id = ?"),
        ("users", "id", "mysql", "DELETE FROM users WHERE id = %s"),
        ("users", "id", "my_postgres", "DELETE FROM users WHERE id = ?"),
        ("users", "id", "POSTGRESQL", "DELETE FROM users WHERE id = $1"),
        ("users", "id", "", "DELETE FROM users WHERE id = ?"),
        ("my table", "my key", "sqlite", "DELETE FROM my table WHERE my key = ?"),
        ("", "", "mysql", "DELETE FROM  WHERE  = %s"),
        ("\"t\"; DROP", "id OR 1=1", "sqlite", "DELETE FROM \"t\"; DROP WHERE id OR 1=1 = ?"),
    ],
)
def test_compile_delete(qc, table, pk_col, dialect, expected):
    assert qc.compile_delete(table, pk_col, dialect) == expected
    assert qc.compile_delete(dialect=dialect, pk_col=pk_col, table=table) == expected
    assert ref_delete(table, pk_col, dialect) == expected


@pytest.mark.parametrize(
    "call",
    [lambda qc, cols: qc.compile_insert("t", cols, "sqlite"),
     lambda qc, cols: qc.compile_update("t", cols, "id", "sqlite"),
     lambda qc, cols: qc.compile_select("t", cols, [], [], [])],
    ids=["insert", "update", "select"],
)
def test_columns_must_be_a_sequence_of_str(qc, call):
    assert call(qc, ("a", "b")) == call(qc, ["a", "b"])
    with pytest.raises(TypeError) as excinfo:
        call(qc, "ab")
    assert str(excinfo.value) == "argument 'columns': Can't extract `str` to `Vec`"
    with pytest.raises(TypeError) as excinfo:
        call(qc, ["a", 1])
    assert str(excinfo.value) == "argument 'columns': 'int' object cannot be converted to 'PyString'"


# ---- SELECT ------------------------------------------------------------------------------------

kJoin = ("left", "orders o", "o.user_id = users.id")
kConditions = [("age", ">", "18"), ("name", "=", "bob")]


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        (("users", [], [], [], []), {}, ("SELECT * FROM users", [])),
        (("users", ["id", "name"], [], [], []), {}, ("SELECT id, name FROM users", [])),
        (("users", [], kConditions, [], []), {"dialect": "postgres"},
         ("SELECT * FROM users WHERE age > $1 AND name = $2", ["18", "bob"])),
        (("users", [], kConditions, [], []), {"dialect": "sqlite"},
         ("SELECT * FROM users WHERE age > ? AND name = ?", ["18", "bob"])),
        (("users", [], kConditions, [], []), {},
         ("SELECT * FROM users WHERE age > ? AND name = ?", ["18", "bob"])),
        (("users", [], kConditions, [], []), {"dialect": "mysql"},
         ("SELECT * FROM users WHERE age > %s AND name = %s", ["18", "bob"])),
        (("users", [], kConditions, [], []), {"dialect": "my_postgres"},
         ("SELECT * FROM users WHERE age > ? AND name = ?", ["18", "bob"])),
        (("users", [], [], [kJoin], []), {},
         ("SELECT * FROM users LEFT JOIN orders o ON o.user_id = users.id", [])),
        (("users", [], [], [kJoin, ("inner", "items i", "i.order_id = o.id")], []), {},
         ("SELECT * FROM users LEFT JOIN orders o ON o.user_id = users.id"
          " INNER JOIN items i ON i.order_id = o.id", [])),
        (("users", [], [], [("", "t", "c")], []), {}, ("SELECT * FROM users  JOIN t ON c", [])),
        (("users", [], [], [("Left Outer", "t", "c")], []), {},
         ("SELECT * FROM users LEFT OUTER JOIN t ON c", [])),
        (("users", [], [], [], [("name", "asc"), ("id", "desc")]), {},
         ("SELECT * FROM users ORDER BY name ASC, id DESC", [])),
        (("users", [], [], [], [("name", "")]), {}, ("SELECT * FROM users ORDER BY name ", [])),
        (("users", [], [], [], [("", "")]), {}, ("SELECT * FROM users ORDER BY  ", [])),
        (("users", [], [], [], []), {"limit": 10, "offset": 20},
         ("SELECT * FROM users LIMIT 10 OFFSET 20", [])),
        (("users", [], [], [], []), {"limit": 0}, ("SELECT * FROM users LIMIT 0", [])),
        (("users", [], [], [], []), {"offset": 5}, ("SELECT * FROM users OFFSET 5", [])),
        (("users", [], [], [], []), {"offset": 0}, ("SELECT * FROM users OFFSET 0", [])),
        (("users", [], [], [], []), {"limit": None}, ("SELECT * FROM users", [])),
        (("users", [], [], [], [], None, 7), {}, ("SELECT * FROM users OFFSET 7", [])),
        (("users", [], [], [], []), {"limit": kMaxIndex, "offset": kMaxIndex},
         ("SELECT * FROM users LIMIT 18446744073709551615 OFFSET 18446744073709551615", [])),
        (("users", ["id", "name"], [("age", ">", "18")],
          [("inner", "orders o", "o.user_id = users.id")], [("name", "desc")], 10, 20, "postgres"),
         {},
         ("SELECT id, name FROM users INNER JOIN orders o ON o.user_id = users.id"
          " WHERE age > $1 ORDER BY name DESC LIMIT 10 OFFSET 20", ["18"])),
        (("users", [], [("deleted_at", "IS", "NULL")], [], []), {},
         ("SELECT * FROM users WHERE deleted_at IS ?", ["NULL"])),
        # Every operator takes exactly one placeholder, whatever it says.
        (("t", [], [("a", "IN (?, ?)", "x"), ("b", "", "y"), ("", "BETWEEN 1 AND", "z")], [], []),
         {"dialect": "PostgreSQL"},
         ("SELECT * FROM t WHERE a IN (?, ?) $1 AND b  $2 AND  BETWEEN 1 AND $3", ["x", "y", "z"])),
        # Names, operators and join parts are written as given; values never are.
        (("my table", ["a b", "'c'"], [("col", "=", "'; DROP TABLE t; --")],
          [("cross", "x y", "1 = 1")], [("z", "asc")]), {"dialect": "mysql"},
         ("SELECT a b, 'c' FROM my table CROSS JOIN x y ON 1 = 1 WHERE col = %s ORDER BY z ASC",
          ["'; DROP TABLE t; --"])),
        (("t", [], [("a", "=", "$1"), ("b", "=", "?")], [], []), {"dialect": "postgres"},
         ("SELECT * FROM t WHERE a = $1 AND b = $2", ["$1", "?"])),
        (("t", [], [], [("left", "u", "c")], []), {"dialect": "postgres"},
         ("SELECT * FROM t LEFT JOIN u ON c", [])),
        (("", [""], [("", "", "")], [("", "", "")], [("", "")]), {"limit": 0, "offset": 0},
         ("SELECT  FROM   JOIN  ON  WHERE   ? ORDER BY   LIMIT 0 OFFSET 0", [""])),
    ],
)
def test_compile_select(qc, args, kwargs, expected):
    result = qc.compile_select(*args, **kwargs)
    assert type(result) is tuple and type(result[0]) is str and type(result[1]) is list
    assert result == expected
    assert ref_select(*args, **kwargs) == expected


@pytest.mark.parametrize(
    "kind",
    ["ß", "straße", "ǆ", "ǅ", "ﬁ", "ŉ", "ΐ", "ı", "ﬃ outer", "éclair", "left ß", "ǰ", "ﬗ"],
)
def test_non_ascii_join_type_and_direction_upper_case_like_str_upper(qc, kind):
    text, _ = qc.compile_select("t", [], [("straße", "ilike", "ß")], [(kind, "ǆ", "ß = ß")],
                                [("ǆ", kind)])
    assert text == (f"SELECT * FROM t {kind.upper()} JOIN ǆ ON ß = ß WHERE straße ilike ?"
                    f" ORDER BY ǆ {kind.upper()}")


def test_upper_casing_uses_str_upper_not_an_override(qc):
    class Loud(str):
        def upper(self):
            return "OVERRIDDEN"

    text, _ = qc.compile_select("t", [], [], [(Loud("ß"), "u", "c"), (Loud("left"), "v", "d")],
                                [("a", Loud("ﬁ")), ("b", Loud("desc"))])
    assert text == "SELECT * FROM t SS JOIN u ON c LEFT JOIN v ON d ORDER BY a FI, b DESC"


def test_condition_values_come_back_as_given_in_order(qc):
    class Value(str):
        pass

    values = ["3", "", "  ", "NULL", "ünï", "\x00", Value("sub"), "3"]
    wheres = [(f"c{i}", "=", v) for i, v in enumerate(values)]
    text, params = qc.compile_select("t", [], wheres, [], [], dialect="postgres")
    assert params == values
    assert all(type(p) is str for p in params)
    assert text == "SELECT * FROM t WHERE " + " AND ".join(
        f"c{i} = ${i + 1}" for i in range(len(values)))


def test_named_tuples_are_accepted(qc):
    Where = collections.namedtuple("Where", "column op value")
    Join = collections.namedtuple("Join", "kind table on")
    Order = collections.namedtuple("Order", "column direction")
    assert qc.compile_select("t", (), (Where("a", "=", "1"),), (Join("left", "u", "c"),),
                             (Order("a", "desc"),), dialect="postgres") == (
        "SELECT * FROM t LEFT JOIN u ON c WHERE a = $1 ORDER BY a DESC", ["1"])


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"wheres": [["age", ">", "18"]]}, TypeError,
         "argument 'wheres': 'list' object cannot be converted to 'PyTuple'"),
        ({"wheres": [("age", ">")]}, ValueError,
         "expected tuple of length 3, but got tuple of length 2"),
        ({"wheres": [("age", ">", 18)]}, TypeError,
         "argument 'wheres': 'int' object cannot be converted to 'PyString'"),
        ({"limit": -1}, OverflowError, unsigned_overflow_message(-1)),
        ({"offset": -1}, OverflowError, unsigned_overflow_message(-1)),
        ({"limit": 2**64}, OverflowError, unsigned_overflow_message(2**64)),
        ({"dialect": None}, TypeError,
         "argument 'dialect': 'NoneType' object cannot be converted to 'PyString'"),
        ({"table": None}, TypeError,
         "argument 'table': 'NoneType' object cannot be converted to 'PyString'"),
        ({"joins": "left"}, TypeError, "argument 'joins': Can't extract `str` to `Vec`"),
        ({"order_by": {("a", "asc")}}, TypeError,
         "argument 'order_by': 'set' object cannot be converted to 'Sequence'"),
    ],
    ids=["list-condition", "short-condition", "int-value", "negative-limit", "negative-offset",
         "huge-limit", "none-dialect", "none-table", "str-joins", "set-order"],
)
def test_compile_select_refusals(qc, kwargs, error, message):
    args = dict({"table": "users", "columns": [], "wheres": [], "joins": [], "order_by": []},
                **kwargs)
    with pytest.raises(error) as excinfo:
        qc.compile_select(**args)
    assert type(excinfo.value) is error
    assert str(excinfo.value) == message


# ---- long inputs -------------------------------------------------------------------------------


def test_long_select(qc):
    columns = [f"column_{i}_ü" for i in range(5000)]
    wheres = [(f"c{i}", "<>", f"v{i}") for i in range(3000)]
    joins = [("left", f"t{i}", f"t{i}.id = x.id") for i in range(500)]
    order_by = [(f"o{i}", "ǆesc" if i % 2 else "asc") for i in range(500)]
    args = ("x" * 10000, columns, wheres, joins, order_by, kMaxIndex, 1, "postgres")
    text, params = qc.compile_select(*args)
    assert (text, params) == ref_select(*args)
    assert " AND c2999 <> $3000 ORDER BY o0 ASC, o1 ǄESC, o2 ASC, " in text
    assert text.endswith(f", o498 ASC, o499 ǄESC LIMIT {kMaxIndex} OFFSET 1")
    assert params == [f"v{i}" for i in range(3000)]
    # A short statement after a long one carries nothing over.
    assert qc.compile_select("t", [], [], [], []) == ("SELECT * FROM t", [])
    assert qc.get_placeholder("postgres", 1) == "$1"


@pytest.mark.parametrize(
    "name",
    ["n" * 100000, "名" * 20000, "\U0001F600" * 5000, "é\x00" * 3000],
    ids=["ascii", "cjk", "astral", "nul"],
)
def test_long_names_are_copied_whole(qc, name):
    columns = [name, name[:10]]
    assert qc.compile_insert(name, columns, "postgres") == ref_insert(name, columns, "postgres")
    assert qc.compile_update(name, columns, name, "mysql") == ref_update(name, columns, name,
                                                                           "mysql")
    assert qc.compile_delete(name, name, "sqlite") == ref_delete(name, name, "sqlite")
    wheres = [(name, name, name)]
    assert qc.compile_select(name, columns, wheres, [(name, name, name)], [(name, name)]) == (
        ref_select(name, columns, wheres, [(name, name, name)], [(name, name)]))
    assert qc.compile_delete("t", "id", "sqlite") == "DELETE FROM t WHERE id = ?"


class _OverstatedLength:
    """A sequence whose __len__ claims far more items than iteration yields."""

    def __init__(self, length):
        self.length = length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError(i)
        return "a"


@pytest.mark.parametrize("length", [2**40, 2**63 - 1])
def test_an_overstated_length_only_sizes_the_list(qc, length):
    columns = _OverstatedLength(length)
    assert qc.compile_insert("t", columns, "sqlite") == "INSERT INTO t (a, a) VALUES (?, ?)"
    assert qc.compile_update("t", columns, "id", "sqlite") == "UPDATE t SET a = ?, a = ? WHERE id = ?"


@pytest.mark.parametrize("argument", ["limit", "offset"])
def test_lists_emptied_by_an_index_method_still_give_the_text_read(qc, argument):
    # Every name is made here, so the lists hold the only references to them; the __index__
    # of the limit or offset empties the lists and fills the freed memory with other text.
    def fresh(text):
        return "".join(list(text))

    columns = [fresh("id"), fresh("name")]
    wheres = [(fresh("age"), fresh(">"), fresh("v1")), (fresh("city"), fresh("="), fresh("v2"))]
    joins = [(fresh("inner"), fresh("orgs"), fresh("orgs.id = users.org"))]
    order_by = [(fresh("name"), fresh("desc"))]
    expected = ref_select("users", columns, wheres, joins, order_by, dialect="postgres",
                          **{argument: 3})

    class Emptying:
        def __index__(self):
            for target in (columns, wheres, joins, order_by):
                target.clear()
            junk = [fresh("#" * n) for n in range(1, 40) for _ in range(20)]
            assert junk
            return 3

    got = qc.compile_select("users", columns, wheres, joins, order_by, dialect="postgres",
                            **{argument: Emptying()})
    assert got == expected


def test_many_columns_in_insert_and_update(qc):
    columns = [f"c{i}" for i in range(4000)]
    insert = qc.compile_insert("t", columns, "postgres")
    assert insert == ref_insert("t", columns, "postgres")
    assert insert.endswith("$3999, $4000) RETURNING *")
    update = qc.compile_update("t", columns, "id", "postgres")
    assert update == ref_update("t", columns, "id", "postgres")
    assert update.endswith("c3999 = $4000 WHERE id = $4001")


# ---- properties ---------------------------------------------------------------------------------

# Condition values come from the private-use area and no other text does, so a value found in
# a statement could only have been copied there.
kValueAlphabet = st.characters(min_codepoint=0xE000, max_codepoint=0xE0FF)
names = st.text(alphabet=st.characters(blacklist_categories=("Cs", "Co")), max_size=8)
values = st.text(alphabet=kValueAlphabet, min_size=1, max_size=6)
case_words = st.sampled_from(["left", "inner", "asc", "desc", "", "ß", "ǆ", "ǅ", "ﬁ", "ŉ", "ΐ",
                              "ı", "Straße", "éclair"])
upper_targets = st.one_of(case_words, names)


def mixed_case(word):
    return st.lists(st.booleans(), min_size=len(word), max_size=len(word)).map(
        lambda flags: "".join(c.upper() if f else c for c, f in zip(word, flags)))


known = st.sampled_from(["sqlite", "mysql", "postgres", "postgresql", "my_postgres", "pg", ""])
dialects = st.one_of(
    known,
    known.flatmap(mixed_case),
    st.tuples(names, known.flatmap(mixed_case), names).map("".join),
    st.text(max_size=10),
)


def sequences(elements, max_size=6):
    return st.lists(elements, max_size=max_size).flatmap(
        lambda items: st.sampled_from([items, tuple(items)]))


paging = st.one_of(st.none(), st.integers(min_value=0, max_value=kMaxIndex))


@given(
    table=names,
    columns=sequences(names),
    wheres=sequences(st.tuples(names, names, values)),
    joins=sequences(st.tuples(upper_targets, names, names)),
    order_by=sequences(st.tuples(names, upper_targets)),
    limit=paging,
    offset=paging,
    dialect=st.one_of(st.none(), dialects),
)
def test_select_matches_the_templates(mod, table, columns, wheres, joins, order_by, limit,
                                      offset, dialect):
    extra = {} if dialect is None else {"dialect": dialect}
    text, params = mod.QueryCompiler().compile_select(table, columns, wheres, joins, order_by,
                                                      limit, offset, **extra)
    assert (text, params) == ref_select(table, columns, wheres, joins, order_by, limit, offset,
                                        **extra)
    assert params == [value for _, _, value in wheres]
    for value in params:
        assert value not in text


@given(table=names, columns=sequences(names, max_size=8), pk_col=names, dialect=dialects)
def test_writes_match_the_templates(mod, table, columns, pk_col, dialect):
    qc = mod.QueryCompiler()
    assert qc.compile_insert(table, columns, dialect) == ref_insert(table, columns, dialect)
    assert qc.compile_update(table, columns, pk_col, dialect) == ref_update(table, columns,
                                                                            pk_col, dialect)
    assert qc.compile_delete(table, pk_col, dialect) == ref_delete(table, pk_col, dialect)


@given(dialect=dialects, index=st.integers(min_value=0, max_value=kMaxIndex))
def test_placeholder_matches_the_classification(mod, dialect, index):
    assert mod.QueryCompiler().get_placeholder(dialect, index) == ref_placeholder(dialect, index)
