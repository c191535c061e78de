// The binding's result type, outside any interpreter: what a moved-from result reports and
// that every value it made is destroyed exactly once.

#include <gtest/gtest.h>

#include <string>

#include "python/binding.hpp"

namespace kestrelite::python {
namespace {

/// Counts the values alive, so that a destructor run on storage never constructed, or a value
/// never destroyed, shows as a count other than zero.
struct Counted {
  static inline int alive = 0;
  int value;
  explicit Counted(int v) : value(v) { ++alive; }
  Counted(Counted&& o) noexcept : value(o.value) { ++alive; }
  ~Counted() { --alive; }
};

Result<Counted> failing(std::string text) { return Error::message(PyExc_ValueError, text); }

TEST(Result, MovedFromErrorIsEmptyAndNotOk) {
  {
    Result<Counted> first = failing("bad value");
    Result<Counted> second(std::move(first));
    EXPECT_FALSE(first.ok());
    EXPECT_TRUE(first.empty());
    EXPECT_FALSE(static_cast<bool>(first));
    ASSERT_FALSE(second.ok());
    EXPECT_FALSE(second.empty());
    EXPECT_EQ(second.error().type(), PyExc_ValueError);
    EXPECT_EQ(second.error().text(), "bad value");
    // Moving an empty result on keeps it empty, and neither result made a value.
    Result<Counted> third(std::move(first));
    EXPECT_TRUE(third.empty());
    EXPECT_FALSE(third.ok());
  }
  EXPECT_EQ(Counted::alive, 0);
}

TEST(Result, MovedValueIsDestroyedOnceOnEachSide) {
  {
    Result<Counted> first = Counted(7);
    Result<Counted> second(std::move(first));
    ASSERT_TRUE(second.ok());
    EXPECT_FALSE(second.empty());
    EXPECT_EQ((*second).value, 7);
    EXPECT_EQ(Counted::alive, 2);  // the moved-from value stays a value until its result goes
  }
  EXPECT_EQ(Counted::alive, 0);
}

Result<int> doubled(Result<Counted> in) {
  KESTRELITE_TRY(c, std::move(in));
  return 2 * c.value;
}

TEST(Result, TryPassesTheErrorOnAndTheValueThrough) {
  {
    Result<int> bad = doubled(failing("no"));
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().text(), "no");
    Result<int> good = doubled(Counted(21));
    ASSERT_TRUE(good.ok());
    EXPECT_EQ(*good, 42);
  }
  EXPECT_EQ(Counted::alive, 0);
}

}  // namespace
}  // namespace kestrelite::python
