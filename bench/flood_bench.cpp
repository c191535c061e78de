// Hash flooding on the core's tables. Keys are crafted so that, hashed under seed 0 (the
// unkeyed XXH3 the tables used before they were seeded), their home slots all fall among the
// first kWindow slots of every table of up to 2^kTopBits slots, which makes one run of
// occupied slots that every insertion walks to its end. Each table is filled with those keys
// and with ordinary keys of the same length, once under seed 0 and once under this process's
// random seed, and the fill is timed.
//
//   flood_bench [repeats]      prints the table
//   flood_bench --emit N       prints N crafted text keys ("text KEY") then N crafted integer
//                              keys ("int KEY"), one per line, for bench/flood.py

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/batcher.hpp"
#include "core/hash.hpp"
#include "core/migration_diff.hpp"
#include "core/small_text.hpp"
#include "core/state_tracker.hpp"

namespace {

using namespace kestrelite::core;

constexpr HashSeed kCraftedFor{0};
// Up to 65,536 keys a table has at most 2^17 slots: hashes whose bits 10 to 16 are zero have
// their home among the first 1,024 slots of every table up to that size.
constexpr unsigned kTopBits = 17;
constexpr unsigned kWindowBits = 10;
constexpr std::uint64_t kCraftedMask = ((std::uint64_t{1} << kTopBits) - 1) &
                                       ~((std::uint64_t{1} << kWindowBits) - 1);
constexpr std::size_t kSizes[] = {8'192, 65'536};

/// "key" and eight decimal digits of `i`: the form of every text key here.
std::string text_key(std::uint64_t i) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "key%08llu", static_cast<unsigned long long>(i));
  return buf;
}

struct Keys {
  std::vector<std::string> texts;
  std::vector<std::int64_t> ints;
};

/// The first `n` candidates of each kind whose hash under kCraftedFor has kCraftedMask clear.
Keys crafted_keys(std::size_t n) {
  Keys k;
  for (std::uint64_t i = 0; k.texts.size() < n; ++i) {
    std::string s = text_key(i);
    if ((hash_bytes(s, kCraftedFor) & kCraftedMask) == 0) k.texts.push_back(std::move(s));
  }
  for (std::uint64_t i = 0; k.ints.size() < n; ++i)
    if ((hash_int(i, kCraftedFor) & kCraftedMask) == 0)
      k.ints.push_back(static_cast<std::int64_t>(i));
  return k;
}

/// Keys 0 to n-1, texts of the same form as the crafted ones.
Keys ordinary_keys(std::size_t n) {
  Keys k;
  for (std::uint64_t i = 0; i < n; ++i) {
    k.texts.push_back(text_key(i));
    k.ints.push_back(static_cast<std::int64_t>(i));
  }
  return k;
}

/// What the module's calls do to the tables, minus the Python objects.
std::size_t fill_int_keys(HashSeed seed, const Keys& k, std::size_t n) {
  KeySets sets(seed);
  for (std::size_t i = 0; i < n; ++i) sets.add_int(k.ints[i]);
  return sets.size();
}
std::size_t fill_text_keys(HashSeed seed, const Keys& k, std::size_t n) {
  KeySets sets(seed);
  for (std::size_t i = 0; i < n; ++i) sets.add_str(k.texts[i]);
  return sets.size();
}
std::size_t load_fields(HashSeed seed, const Keys& k, std::size_t n) {
  NativeTracker fields(seed);
  fields.reserve(n);
  for (std::size_t i = 0; i < n; ++i) fields.load(k.texts[i], SmallText("1"), NoPayload{});
  return fields.size();
}
std::size_t diff_columns_of(HashSeed seed, const Keys& k, std::size_t n) {
  ModelColumns model(seed);
  ColumnNames db(seed);
  model.reserve(n);
  db.reserve(n - 1);
  for (std::size_t i = 0; i < n; ++i) model.put(ModelColumn{k.texts[i], "INTEGER"});
  for (std::size_t i = 0; i + 1 < n; ++i) db.put(k.texts[i]);
  MigrationText out;
  diff_table(out, "t", model, db, "sqlite");
  return out.upgrade.size();
}

using Fill = std::size_t (*)(HashSeed, const Keys&, std::size_t);

/// Median seconds of `repeats` fills, stopping early once the fills have taken two seconds.
double median_seconds(Fill fill, HashSeed seed, const Keys& k, std::size_t n, int repeats,
                      std::size_t expect) {
  std::vector<double> times;
  double total = 0;
  for (int r = 0; r < repeats && (r == 0 || total < 2.0); ++r) {
    const auto start = std::chrono::steady_clock::now();
    const std::size_t got = fill(seed, k, n);
    const auto end = std::chrono::steady_clock::now();
    if (got != expect) {
      std::fprintf(stderr, "flood_bench: a fill gave %zu, not %zu\n", got, expect);
      std::exit(1);
    }
    times.push_back(std::chrono::duration<double>(end - start).count());
    total += times.back();
  }
  std::sort(times.begin(), times.end());
  const std::size_t m = times.size();
  return m % 2 ? times[m / 2] : (times[m / 2 - 1] + times[m / 2]) / 2;
}

int emit(std::size_t n) {
  const Keys k = crafted_keys(n);
  for (const std::string& s : k.texts) std::printf("text %s\n", s.c_str());
  for (std::int64_t v : k.ints) std::printf("int %lld\n", static_cast<long long>(v));
  return 0;
}

/// Parses a positive decimal argument.
bool parse(const char* s, std::size_t& out) {
  const auto [end, ec] = std::from_chars(s, s + std::strlen(s), out);
  return ec == std::errc() && *end == '\0' && out > 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t arg = 0;
  if (argc == 3 && std::strcmp(argv[1], "--emit") == 0 && parse(argv[2], arg)) return emit(arg);
  std::size_t repeats = 5;
  if (argc > 2 || (argc == 2 && !parse(argv[1], repeats))) {
    std::fprintf(stderr, "usage: flood_bench [repeats] | flood_bench --emit N\n");
    return 2;
  }

  const std::size_t most = kSizes[std::size(kSizes) - 1];
  const auto craft_start = std::chrono::steady_clock::now();
  const Keys crafted = crafted_keys(most);
  const double craft_s =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - craft_start).count();
  const Keys ordinary = ordinary_keys(most);
  std::printf("crafted: %zu text and %zu integer keys whose hash under seed 0 has bits %u-%u "
              "clear, found in %.2f s\n",
              most, most, kWindowBits, kTopBits - 1, craft_s);
  std::printf("timing:  median of up to %zu fills per row (fewer once a row has taken 2 s)\n\n",
              repeats);

  struct Row {
    const char* name;
    Fill fill;
    bool one_statement;
  };
  const Row rows[] = {
      {"KeySets::add_int", fill_int_keys, false},
      {"KeySets::add_str", fill_text_keys, false},
      {"FieldMap::load", load_fields, false},
      {"diff_table", diff_columns_of, true},
  };
  struct Seed {
    const char* name;
    HashSeed seed;
  };
  const Seed seeds[] = {{"0 (crafted for)", kCraftedFor},
                        {"process (random)", process_hash_seed()}};

  std::printf("%-17s %7s  %-16s %14s %14s %9s\n", "table", "keys", "seed", "ordinary ms",
              "crafted ms", "crafted/");
  std::printf("%-17s %7s  %-16s %14s %14s %9s\n", "", "", "", "", "", "ordinary");
  for (const Row& row : rows) {
    for (std::size_t n : kSizes) {
      for (const Seed& s : seeds) {
        const std::size_t expect = row.one_statement ? 1 : n;
        const int r = static_cast<int>(repeats);
        const double plain = median_seconds(row.fill, s.seed, ordinary, n, r, expect);
        const double bad = median_seconds(row.fill, s.seed, crafted, n, r, expect);
        std::printf("%-17s %7zu  %-16s %14.3f %14.3f %8.1fx\n", row.name, n, s.name, plain * 1e3,
                    bad * 1e3, bad / plain);
      }
    }
  }
  return 0;
}
