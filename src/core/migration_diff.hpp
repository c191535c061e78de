#pragma once
// Model columns against database columns: CREATE TABLE for a table the database lacks,
// ALTER TABLE ... ADD COLUMN for each missing column, and the statements that undo them.

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/ordered_table.hpp"

namespace kestrelite::core {

/// A column as the model declares it. The texts are views: whoever fills the columns keeps
/// them alive until the diff is made.
struct ModelColumn {
  std::string_view name;
  std::string_view data_type = "TEXT";
  bool nullable = true;
  bool primary_key = false;
};

/// Model columns in the order the model declared them; a repeated name replaces the earlier
/// attributes and keeps the earlier place. Holds views of the names, never copies.
class ModelColumns {
 public:
  ModelColumns() = default;
  /// Columns hashed under `seed` instead of the process's.
  explicit ModelColumns(HashSeed seed) noexcept : table_(seed) {}
  void reserve(std::size_t n) { table_.reserve(n); }
  void put(ModelColumn column);
  /// The column of that name with default attributes, new or reset, for the caller to fill
  /// in place.
  ModelColumn& column(std::string_view name);
  std::size_t size() const noexcept { return table_.size(); }
  auto begin() const noexcept { return table_.begin(); }
  auto end() const noexcept { return table_.end(); }
  std::span<const ModelColumn> columns() const noexcept { return table_.entries(); }

 private:
  struct Traits {
    using Key = std::string_view;
    static Key key_of(const ModelColumn& c) noexcept { return c.name; }
    static std::uint64_t hash(Key k, HashSeed seed) noexcept { return hash_bytes(k, seed); }
    static bool equal(const ModelColumn& c, Key k) noexcept { return c.name == k; }
  };
  OrderedTable<ModelColumn, Traits> table_;
};

/// The names of the columns the database reports (their types take no part in the diff), as
/// views of texts the caller keeps alive.
class ColumnNames {
 public:
  ColumnNames() = default;
  /// Names hashed under `seed` instead of the process's.
  explicit ColumnNames(HashSeed seed) noexcept : table_(seed) {}
  void reserve(std::size_t n) { table_.reserve(n); }
  void put(std::string_view name);
  bool contains(std::string_view name) const noexcept { return table_.find(name) != nullptr; }
  bool empty() const noexcept { return table_.empty(); }

 private:
  struct Traits {
    using Key = std::string_view;
    static Key key_of(std::string_view s) noexcept { return s; }
    static std::uint64_t hash(Key k, HashSeed seed) noexcept { return hash_bytes(k, seed); }
    static bool equal(std::string_view s, Key k) noexcept { return s == k; }
  };
  OrderedTable<std::string_view, Traits> table_;
};

struct Migration {
  std::vector<std::string> upgrade;
  std::vector<std::string> downgrade;
};

/// Every statement of a diff in one text, each side a list of spans of it. Kept from diff to
/// diff, it allocates only for a diff larger than any before.
struct MigrationText {
  struct Span {
    std::size_t begin;
    std::size_t size;
  };
  std::string text;
  std::vector<Span> upgrade;
  std::vector<Span> downgrade;

  /// A statement's text; `s` is one of the spans the diff wrote into `text`.
  std::string_view at(Span s) const noexcept { return {text.data() + s.begin, s.size}; }
};

/// The whole diff into `out` (emptied first) of model columns that are distinct by name, in
/// the order given: the create path when the table does not `exist`, else an ADD COLUMN (and
/// its DROP COLUMN) for every column i whose `present[i]` is false. `dialect` is compared
/// exactly and case-sensitively, and only for primary keys on the create path.
void diff_columns(MigrationText& out, std::string_view table,
                  std::span<const ModelColumn> model, std::span<const bool> present, bool exist,
                  std::string_view dialect);

/// Appends to `present`, for each column of `model`, whether `db` has its name.
void mark_present(std::span<const ModelColumn> model, const ColumnNames& db,
                  SmallVector<bool, 64>& present);

/// The same diff of `model` against the names of `db`: the create path when `db` is empty,
/// else the alter path.
void diff_table(MigrationText& out, std::string_view table, const ModelColumns& model,
                const ColumnNames& db, std::string_view dialect);

/// The same diff as separate strings.
Migration diff_table(std::string_view table, const ModelColumns& model, const ColumnNames& db,
                     std::string_view dialect);

}  // namespace kestrelite::core
