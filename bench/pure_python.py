"""The four classes written the way a careful Python developer would, for comparison.

Same method names, arguments and results as `_kestrelite_rs` on well-formed input, so the
benchmark runs one call statement against either object. What they leave out, as idiomatic
Python does: type checks of the arguments (a wrong type fails later or not at all), and the
lone-surrogate repair of text forms. Everything that shapes the output is kept: dialect
classification, upper-cased join types and directions, the text-form rule of dirtiness,
integers before strings, the add-only migration diff.
"""

import functools

kI64Min = -(2**63)
kI64Max = 2**63 - 1


def _question_mark(index):
    return "?"


def _percent_s(index):
    return "%s"


_dollar_number = "${}".format


def _placeholder_style(dialect):
    """The placeholder maker for a dialect name: "%s", "$N" or "?"."""
    name = dialect.lower()
    if name == "mysql":
        return _percent_s
    if name in ("postgres", "postgresql"):
        return _dollar_number
    return _question_mark


def _text_form(value):
    """str() of a value, or a fixed stand-in when str() raises."""
    try:
        return str(value)
    except Exception:
        return f"<unprintable {type(value).__name__} object>"


class QueryCompiler:
    """Statement text builders."""

    __slots__ = ()

    def get_placeholder(self, dialect, index):
        return _placeholder_style(dialect)(index)

    def compile_select(self, table, columns, wheres, joins, order_by, limit=None, offset=None,
                       dialect="sqlite"):
        placeholder = _placeholder_style(dialect)
        parts = [f"SELECT {', '.join(columns) if columns else '*'} FROM {table}"]
        for kind, other, condition in joins:
            parts.append(f" {kind.upper()} JOIN {other} ON {condition}")
        params = []
        if wheres:
            conditions = []
            for number, (column, operator, value) in enumerate(wheres, 1):
                conditions.append(f"{column} {operator} {placeholder(number)}")
                params.append(value)
            parts.append(" WHERE " + " AND ".join(conditions))
        if order_by:
            parts.append(" ORDER BY " + ", ".join(f"{c} {d.upper()}" for c, d in order_by))
        if limit is not None:
            parts.append(f" LIMIT {limit}")
        if offset is not None:
            parts.append(f" OFFSET {offset}")
        return "".join(parts), params

    def compile_insert(self, table, columns, dialect):
        placeholder = _placeholder_style(dialect)
        marks = ", ".join([placeholder(i) for i in range(1, len(columns) + 1)])
        returning = " RETURNING *" if "postgres" in dialect.lower() else ""
        return f"INSERT INTO {table} ({', '.join(columns)}) VALUES ({marks}){returning}"

    def compile_update(self, table, columns, pk_col, dialect):
        placeholder = _placeholder_style(dialect)
        assignments = ", ".join([f"{c} = {placeholder(i)}" for i, c in enumerate(columns, 1)])
        return f"UPDATE {table} SET {assignments} WHERE {pk_col} = {placeholder(len(columns) + 1)}"

    def compile_delete(self, table, pk_col, dialect):
        return f"DELETE FROM {table} WHERE {pk_col} = {_placeholder_style(dialect)(1)}"


class MemoizedQueryCompiler(QueryCompiler):
    """INSERT and UPDATE text cached per (table, column tuple, key column, dialect)."""

    __slots__ = ()

    def compile_insert(self, table, columns, dialect):
        return _cached_insert(table, tuple(columns), dialect)

    def compile_update(self, table, columns, pk_col, dialect):
        return _cached_update(table, tuple(columns), pk_col, dialect)


_plain = QueryCompiler()


@functools.lru_cache(maxsize=1024)
def _cached_insert(table, columns, dialect):
    return _plain.compile_insert(table, columns, dialect)


@functools.lru_cache(maxsize=1024)
def _cached_update(table, columns, pk_col, dialect):
    return _plain.compile_update(table, columns, pk_col, dialect)


class StateTracker:
    """Per-field [snapshot text, current text, current value]; dirty when the texts differ."""

    __slots__ = ("_fields",)

    def __init__(self):
        self._fields = {}

    def set_initial_state(self, data):
        fields = {}
        for name, value in data.items():
            text = _text_form(value)
            fields[name] = [text, text, value]
        self._fields = fields

    def set_field(self, field, value):
        text = _text_form(value)
        entry = self._fields.get(field)
        if entry is None:
            self._fields[field] = [text, text, value]
        else:
            entry[1] = text
            entry[2] = value

    def get_field(self, field):
        entry = self._fields.get(field)
        return None if entry is None else entry[2]

    def is_dirty(self):
        return any(e[0] != e[1] for e in self._fields.values())

    def dirty_fields(self):
        return [name for name, e in self._fields.items() if e[0] != e[1]]

    def get_dirty_changes(self):
        return {name: e[2] for name, e in self._fields.items() if e[0] != e[1]}

    def hydrate_snapshot(self):
        for entry in self._fields.values():
            entry[0] = entry[1]

    def get_current_dict(self):
        return {name: e[2] for name, e in self._fields.items()}


class BatchAggregator:
    """Distinct integer keys and distinct string keys, integers handed back first."""

    __slots__ = ("_ints", "_strs")

    def __init__(self):
        self._ints = set()
        self._strs = set()

    def _add_other(self, key):
        """Anything but a plain int or str: int-like in range, str subclass, else its text."""
        try:
            number = key.__index__()
        except Exception:
            number = None
        if number is not None and kI64Min <= number <= kI64Max:
            self._ints.add(int(number))
        elif number is not None:
            self._strs.add(str(number))
        elif isinstance(key, str):
            self._strs.add(str.__str__(key))
        else:
            self._strs.add(_text_form(key))

    def add_key(self, key):
        before = len(self._ints) + len(self._strs)
        self.add_keys_batch((key,))
        return len(self._ints) + len(self._strs) > before

    def add_keys_batch(self, keys):
        ints, strs = self._ints, self._strs
        before = len(ints) + len(strs)
        for key in keys:
            kind = type(key)
            if kind is int and kI64Min <= key <= kI64Max:
                ints.add(key)
            elif kind is str:
                strs.add(key)
            else:
                self._add_other(key)
        return len(ints) + len(strs) - before

    def get_keys(self):
        return [*self._ints, *self._strs]

    def clear(self):
        self._ints.clear()
        self._strs.clear()

    def len(self):
        return len(self._ints) + len(self._strs)

    def is_empty(self):
        return not self._ints and not self._strs


def _flag(attrs, key, default):
    value = attrs.get(key, default)
    return value if isinstance(value, bool) else default


def _key_definition(name, dialect):
    """A primary-key column of CREATE TABLE; the dialect is matched exactly."""
    if dialect == "mysql":
        return f"{name} INT AUTO_INCREMENT PRIMARY KEY"
    if dialect in ("postgres", "postgresql"):
        return f"{name} SERIAL PRIMARY KEY"
    return f"{name} INTEGER PRIMARY KEY AUTOINCREMENT"


class SchemaDiffEngine:
    """Add-only diff of model columns against database columns."""

    __slots__ = ()

    def diff_table(self, table_name, model_fields, db_columns, _dialect):
        if not db_columns:
            definitions = []
            for name, attrs in model_fields.items():
                if _flag(attrs, "primary_key", False):
                    definitions.append(_key_definition(name, _dialect))
                    continue
                data_type = attrs.get("data_type")
                definition = f"{name} {data_type if isinstance(data_type, str) else 'TEXT'}"
                if not _flag(attrs, "nullable", True):
                    definition += " NOT NULL"
                definitions.append(definition)
            return (
                [f"CREATE TABLE IF NOT EXISTS {table_name} ({', '.join(definitions)});"],
                [f"DROP TABLE IF EXISTS {table_name};"],
            )
        upgrade, downgrade = [], []
        for name, attrs in model_fields.items():
            if name in db_columns:
                continue
            data_type = attrs.get("data_type")
            statement = (f"ALTER TABLE {table_name} ADD COLUMN {name} "
                         f"{data_type if isinstance(data_type, str) else 'TEXT'}")
            if not _flag(attrs, "nullable", True) and not _flag(attrs, "primary_key", False):
                statement += " NOT NULL"
            upgrade.append(statement + ";")
            downgrade.append(f"ALTER TABLE {table_name} DROP COLUMN {name};")
        return upgrade, downgrade


def _type_error(value, target):
    return TypeError(f"'{type(value).__name__}' object cannot be converted to '{target}'")


class CheckedSchemaDiffEngine:
    """The same diff read the module's way: every model column's name, attribute dict and
    three attributes, and every database name and type text, are read and checked, also for
    the columns the table already has (SchemaDiffEngine above looks only at the missing
    ones, so it accepts inputs that the module refuses)."""

    __slots__ = ()

    def diff_table(self, table_name, model_fields, db_columns, _dialect):
        columns = []
        get = dict.get
        for name, attrs in dict.items(model_fields):
            if not isinstance(name, str):
                raise _type_error(name, "PyString")
            if not isinstance(attrs, dict):
                raise _type_error(attrs, "PyDict")
            data_type = get(attrs, "data_type")
            nullable = get(attrs, "nullable", True)
            primary_key = get(attrs, "primary_key", False)
            columns.append((name, data_type if isinstance(data_type, str) else "TEXT",
                            nullable if isinstance(nullable, bool) else True,
                            primary_key if isinstance(primary_key, bool) else False))
        for name, type_text in dict.items(db_columns):
            if not isinstance(name, str):
                raise _type_error(name, "PyString")
            if not isinstance(type_text, str):
                raise _type_error(type_text, "PyString")
        if not db_columns:
            definitions = []
            for name, data_type, nullable, primary_key in columns:
                if primary_key:
                    definitions.append(_key_definition(name, _dialect))
                elif nullable:
                    definitions.append(f"{name} {data_type}")
                else:
                    definitions.append(f"{name} {data_type} NOT NULL")
            return (
                [f"CREATE TABLE IF NOT EXISTS {table_name} ({', '.join(definitions)});"],
                [f"DROP TABLE IF EXISTS {table_name};"],
            )
        upgrade, downgrade = [], []
        for name, data_type, nullable, primary_key in columns:
            if name in db_columns:
                continue
            not_null = " NOT NULL" if not nullable and not primary_key else ""
            upgrade.append(f"ALTER TABLE {table_name} ADD COLUMN {name} {data_type}{not_null};")
            downgrade.append(f"ALTER TABLE {table_name} DROP COLUMN {name};")
        return upgrade, downgrade
