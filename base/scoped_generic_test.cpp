// The handle owner template: each handle is released exactly once, by whoever owns it last.
#include "base/scoped_generic.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <type_traits>
#include <vector>

namespace {

// Handles are ints; -1 is "no handle". Every release is recorded.
std::vector<int> released;

struct CountingTraits {
  using Handle = int;
  static int InvalidValue() { return -1; }
  static void Free(int handle) { released.push_back(handle); }
};
using Owner = ScopedGeneric<CountingTraits>;

// Like a kernel HANDLE: both -1 and 0 mean "no handle".
struct TwoInvalidTraits {
  using Handle = int;
  static int InvalidValue() { return -1; }
  static bool IsValid(int handle) { return handle != -1 && handle != 0; }
  static void Free(int handle) { released.push_back(handle); }
};

static_assert(!std::is_copy_constructible_v<Owner> && !std::is_copy_assignable_v<Owner>);
// Containers move their elements only when moving cannot throw.
static_assert(std::is_nothrow_move_constructible_v<Owner> &&
              std::is_nothrow_move_assignable_v<Owner>);

class ScopedGenericTest : public ::testing::Test {
 protected:
  void SetUp() override { released.clear(); }
};

TEST_F(ScopedGenericTest, ReleasesWhatItHoldsExactlyOnce) {
  {
    Owner owner(7);
    EXPECT_TRUE(owner.valid());
    EXPECT_EQ(owner.get(), 7);
    EXPECT_TRUE(released.empty());
  }
  EXPECT_EQ(released, std::vector<int>{7});

  released.clear();
  { Owner empty; EXPECT_FALSE(empty.valid()); }
  EXPECT_TRUE(released.empty());

  // Taking the handle already held keeps it rather than releasing it and owning a dead handle.
  {
    Owner owner(8);
    owner.reset(8);
    EXPECT_TRUE(released.empty());
    EXPECT_EQ(owner.get(), 8);
  }
  EXPECT_EQ(released, std::vector<int>{8});
}

TEST_F(ScopedGenericTest, ResetReleasesTheOldHandleAndTakesTheNewOne) {
  Owner owner(1);
  owner.reset(2);
  EXPECT_EQ(released, std::vector<int>{1});
  EXPECT_EQ(owner.get(), 2);
  owner.reset();
  EXPECT_EQ(released, (std::vector<int>{1, 2}));
  EXPECT_FALSE(owner.valid());
  EXPECT_EQ(owner.get(), -1);
}

TEST_F(ScopedGenericTest, MoveLeavesTheSourceEmptyAndTheHandleReleasedOnce) {
  {
    Owner source(3);
    Owner target(std::move(source));
    EXPECT_FALSE(source.valid());
    EXPECT_EQ(target.get(), 3);
    std::vector<Owner> owners;
    owners.push_back(std::move(target));
    owners.emplace_back(4);
    owners.emplace_back(5);  // grows the vector: the elements move, none is released
    EXPECT_TRUE(released.empty());
  }
  EXPECT_EQ(released.size(), 3u);
  EXPECT_EQ(std::count(released.begin(), released.end(), 3), 1);
}

TEST_F(ScopedGenericTest, MoveAssignReleasesWhatTheTargetHeld) {
  {
    Owner target(10);
    Owner source(11);
    target = std::move(source);
    EXPECT_EQ(released, std::vector<int>{10});
    EXPECT_EQ(target.get(), 11);
    EXPECT_FALSE(source.valid());

    // Assigning an owner to itself keeps the handle.
    Owner& same = target;
    target = std::move(same);
    EXPECT_EQ(released, std::vector<int>{10});
    EXPECT_EQ(target.get(), 11);
  }
  EXPECT_EQ(released, (std::vector<int>{10, 11}));
}

TEST_F(ScopedGenericTest, ReceiveReleasesWhatWasHeldAndOwnsWhatIsFilledIn) {
  {
    Owner owner(20);
    int* slot = owner.receive();
    EXPECT_EQ(released, std::vector<int>{20});
    EXPECT_EQ(*slot, -1);
    *slot = 21;  // as an API's out-argument would
    EXPECT_EQ(owner.get(), 21);
  }
  EXPECT_EQ(released, (std::vector<int>{20, 21}));
}

TEST_F(ScopedGenericTest, ReleaseGivesUpOwnership) {
  {
    Owner owner(30);
    EXPECT_EQ(owner.release(), 30);
    EXPECT_FALSE(owner.valid());
  }
  EXPECT_TRUE(released.empty());
}

TEST_F(ScopedGenericTest, TraitsMayNameMoreThanOneValueForNoHandle) {
  {
    ScopedGeneric<TwoInvalidTraits> zero(0);
    EXPECT_FALSE(zero.valid());
    ScopedGeneric<TwoInvalidTraits> none;
    EXPECT_FALSE(none.valid());
    ScopedGeneric<TwoInvalidTraits> some(40);
    EXPECT_TRUE(some.valid());
    zero.reset(41);
  }
  std::sort(released.begin(), released.end());
  EXPECT_EQ(released, (std::vector<int>{40, 41}));
}

}  // namespace
