#include "scan/handle_budget.h"

#include <gtest/gtest.h>

#include <cstddef>

namespace wavtally {
namespace {

using Step = HandleBudget::Step;

TEST(HandleBudgetTest, SharesWhatIsSpareAndNeverLessThanOneOfEach) {
  const HandleBudget plenty(size_t{1} << 20, 64);
  EXPECT_EQ(plenty.OpenFolders(), 64u);
  EXPECT_EQ(plenty.LooksAhead(), 64u);
  EXPECT_EQ(plenty.Reads(), 64u);
  const HandleBudget hundred(104, 64);
  EXPECT_EQ(hundred.OpenFolders(), 25u);
  EXPECT_EQ(hundred.LooksAhead(), 25u);
  EXPECT_EQ(hundred.Reads(), 50u);
  for (const size_t spare : {0, 1, 4, 5}) {
    const HandleBudget none(spare, 64);
    EXPECT_EQ(none.OpenFolders(), 1u) << spare;
    EXPECT_EQ(none.LooksAhead(), 0u) << spare;
    EXPECT_EQ(none.Reads(), 1u) << spare;
  }
}

TEST(HandleBudgetTest, RefusalsShrinkToWhatWorkedThenReleaseThenGiveUp) {
  HandleBudget budget(size_t{1} << 20, 64);
  // Refused with 10 folders open and 16 reads at once: what worked is less.
  EXPECT_EQ(budget.Refused(false, 10, 16), Step::kFewer);
  EXPECT_EQ(budget.OpenFolders(), 5u);
  EXPECT_EQ(budget.Reads(), 8u);
  EXPECT_EQ(budget.LooksAhead(), 32u);
  int fewer = 1;
  Step step;
  while ((step = budget.Refused(false, budget.OpenFolders(), budget.Reads())) == Step::kFewer) {
    ASSERT_LT(++fewer, 20) << "the shares never reach their least";
  }
  EXPECT_EQ(step, Step::kReleaseSpare);
  EXPECT_EQ(budget.OpenFolders(), 1u);
  EXPECT_EQ(budget.LooksAhead(), 0u);
  EXPECT_EQ(budget.Reads(), 1u);
  EXPECT_EQ(budget.Refused(true, 1, 1), Step::kGiveUp);
  // The next entry refused gets its own release before it is given up.
  EXPECT_EQ(budget.Refused(false, 1, 1), Step::kReleaseSpare);
}

}  // namespace
}  // namespace wavtally
