// Times run_native_benchmark against a deliberately plain tracker built on std::unordered_map
// with one heap string per text, doing the same load / change / check / snapshot cycle over
// the same timed span. Usage: native_tracker_bench [count] [repeats]

#include <time.h>

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/state_tracker.hpp"
#include "core/text.hpp"

namespace {

using kestrelite::core::append_decimal;
using kestrelite::core::run_native_benchmark;

/// The obvious tracker: std::hash, node-based buckets, every text its own `new std::string`.
class NaiveTracker {
 public:
  NaiveTracker() = default;
  NaiveTracker(const NaiveTracker&) = delete;
  NaiveTracker& operator=(const NaiveTracker&) = delete;
  NaiveTracker(NaiveTracker&& other) noexcept : fields_(std::move(other.fields_)) {
    other.fields_.clear();
  }
  ~NaiveTracker() {
    for (auto& [name, texts] : fields_) {
      delete texts.first;
      delete texts.second;
    }
  }

  /// Stores a clean field: snapshot and current are separate copies of `text`.
  void load(std::string name, const std::string& text) {
    fields_.emplace(std::move(name), std::pair{new std::string(text), new std::string(text)});
  }

  /// Replaces the current text of an existing field.
  void set(const std::string& name, const char* text) {
    auto it = fields_.find(name);
    if (it == fields_.end()) return;
    delete it->second.second;
    it->second.second = new std::string(text);
  }

  /// True at the first field whose texts differ.
  bool is_dirty() const {
    for (const auto& [name, texts] : fields_)
      if (*texts.first != *texts.second) return true;
    return false;
  }

  /// Makes a fresh copy of every current text the new snapshot.
  void hydrate() {
    for (auto& [name, texts] : fields_) {
      delete texts.first;
      texts.first = new std::string(*texts.second);
    }
  }

 private:
  std::unordered_map<std::string, std::pair<std::string*, std::string*>> fields_;
};

/// Seconds elapsed from `start` to `end`.
double seconds_between(const timespec& start, const timespec& end) {
  return static_cast<double>(end.tv_sec - start.tv_sec) +
         static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9;
}

/// The same cycle as run_native_benchmark, on NaiveTracker.
double run_naive_benchmark(std::uint64_t count) {
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);

  std::vector<NaiveTracker> trackers;
  trackers.reserve(static_cast<std::size_t>(count));
  for (std::uint64_t i = 0; i < count; ++i) {
    NaiveTracker& t = trackers.emplace_back();
    std::string id;
    append_decimal(id, i);
    t.load("id", id);
    t.load("name", "Alice");
    t.load("age", "25");
    t.load("active", "true");
  }
  std::size_t dirty = 0;
  for (NaiveTracker& t : trackers) {
    t.set("age", "26");
    dirty += t.is_dirty() ? 1 : 0;
    t.hydrate();
  }

  timespec end{};
  clock_gettime(CLOCK_MONOTONIC, &end);
  volatile std::size_t sink = dirty;
  static_cast<void>(sink);
  return seconds_between(start, end);
}

/// Parses a positive decimal argument, or returns `fallback` when it is absent.
std::optional<std::uint64_t> parse_count(int argc, char** argv, int index, std::uint64_t fallback) {
  if (argc <= index) return fallback;
  const char* s = argv[index];
  std::uint64_t v = 0;
  const auto [end, ec] = std::from_chars(s, s + std::strlen(s), v);
  if (ec != std::errc() || *end != '\0' || v == 0) return std::nullopt;
  return v;
}

struct Summary {
  double median_ns;
  double min_ns;
  double first_ns;  // the first repeat: on memory no earlier repeat of the process touched
};

/// Median, minimum and first of per-tracker times in nanoseconds.
Summary summarise(std::vector<double> seconds, std::uint64_t count) {
  const double scale = 1e9 / static_cast<double>(count);
  const double first = seconds.front() * scale;
  std::sort(seconds.begin(), seconds.end());
  const std::size_t n = seconds.size();
  const double median = n % 2 ? seconds[n / 2] : (seconds[n / 2 - 1] + seconds[n / 2]) / 2;
  return {median * scale, seconds.front() * scale, first};
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<std::uint64_t> count = parse_count(argc, argv, 1, 1'000'000);
  const std::optional<std::uint64_t> repeats = parse_count(argc, argv, 2, 5);
  if (!count || !repeats) {
    std::fprintf(stderr, "usage: %s [count > 0] [repeats > 0]\n", argv[0]);
    return 2;
  }

  std::vector<double> ours;
  std::vector<double> naive;
  // Alternating the two spreads any drift of the machine over both columns alike.
  for (std::uint64_t r = 0; r < *repeats; ++r) {
    const std::optional<double> seconds = run_native_benchmark(*count);
    if (!seconds) {
      std::fprintf(stderr, "count %llu is too large\n", static_cast<unsigned long long>(*count));
      return 2;
    }
    ours.push_back(*seconds);
    naive.push_back(run_naive_benchmark(*count));
  }

  const Summary a = summarise(ours, *count);
  const Summary b = summarise(naive, *count);
  std::printf("%llu trackers, %llu repeats\n", static_cast<unsigned long long>(*count),
              static_cast<unsigned long long>(*repeats));
  std::printf("%-22s %18s %15s %17s\n", "variant", "median ns/tracker", "min ns/tracker",
              "first ns/tracker");
  std::printf("%-22s %18.1f %15.1f %17.1f\n", "field map", a.median_ns, a.min_ns, a.first_ns);
  std::printf("%-22s %18.1f %15.1f %17.1f\n", "unordered_map+new", b.median_ns, b.min_ns,
              b.first_ns);
  std::printf("%-22s %18.2f %15.2f %17.2f\n", "ratio naive/ours", b.median_ns / a.median_ns,
              b.min_ns / a.min_ns, b.first_ns / a.first_ns);
  return 0;
}
