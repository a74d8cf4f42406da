// The modules a download waits for: each finished or reused occurrence leaves once, the rest
// keep the list's order, and a name the list holds twice is waited for twice.
#include "clients/pending_modules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

ModuleDownloadRecord Record(const char* name, int32_t num1) {
  ModuleDownloadRecord record;
  std::strncpy(record.Name, name, sizeof record.Name - 1);
  record.Num1 = num1;
  return record;
}

std::vector<int32_t> Numbers(const PendingModules& pending) {
  std::vector<int32_t> numbers;
  for (const ModuleDownloadRecord& record : pending.Records()) numbers.push_back(record.Num1);
  return numbers;
}

TEST(PendingModulesTest, EachOccurrenceLeavesOnceInListOrder) {
  PendingModules pending;
  pending.Add("a", Record("a", 1));
  pending.Add("b", Record("b", 2));
  pending.Add("a", Record("a", 3));
  pending.Add("c", Record("c", 4));
  EXPECT_EQ(pending.Count(), 4u);
  EXPECT_EQ(pending.Find("a")->Num1, 1);

  EXPECT_TRUE(pending.Complete("a"));  // the first "a"
  EXPECT_EQ(pending.Find("a")->Num1, 3);
  EXPECT_EQ(Numbers(pending), (std::vector<int32_t>{2, 3, 4}));
  EXPECT_EQ(pending.Names(), (std::vector<std::string>{"b", "a", "c"}));
  EXPECT_FALSE(pending.Complete("stranger"));
  EXPECT_TRUE(pending.Complete("a"));
  EXPECT_FALSE(pending.Complete("a"));  // both occurrences are done
  EXPECT_EQ(pending.Find("a"), nullptr);
  EXPECT_EQ(Numbers(pending), (std::vector<int32_t>{2, 4}));

  // Listed again after it was done: waited for again.
  pending.Add("a", Record("a", 5));
  EXPECT_EQ(pending.Find("a")->Num1, 5);
  EXPECT_TRUE(pending.Complete("c"));
  EXPECT_TRUE(pending.Complete("b"));
  EXPECT_EQ(Numbers(pending), (std::vector<int32_t>{5}));
  EXPECT_TRUE(pending.Complete("a"));
  EXPECT_EQ(pending.Count(), 0u);
  EXPECT_TRUE(pending.Records().empty());
}

}  // namespace
