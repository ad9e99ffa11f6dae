// The user record as exact text: the card entry's rules and the members' order.
// (The keys it adds to the host's map: OperationsTest.)
#include <gtest/gtest.h>

#include <tuple>

#include "UserRecord.h"

using ZR_Framework::Face::BuildUserRecord;
using ZR_Framework::Face::ParamMap;
using ZR_Framework::Face::UserRecordVariant;

namespace {

// The record with every string member empty, and `cardinfo` as given.
std::string RecordText(const std::string& cardinfo) {
  return R"({ "certtype": "", "certnum": "", "name": "", "password": "", "authmethod": "", )"
         R"("facetype": "", "roleplay": "", "cardinfo": )" +
         cardinfo + R"(, "plantemplateno": "", "enablecover": "" })";
}

}  // namespace

TEST(UserRecord, CardEntryRulesDifferForAddAndUpdate) {
  // The variant, the person, and the card entries in the record.
  const auto add = UserRecordVariant::Add;
  const auto update = UserRecordVariant::Update;
  const std::tuple<UserRecordVariant, ParamMap, std::string> cases[] = {
      {add, {{"num", "C1"}}, R"([ { "num": "C1", "type": 0 } ])"},
      {add, {{"num", "C1"}, {"cardtype", "12abc"}}, R"([ { "num": "C1", "type": 12 } ])"},
      {add, {{"num", "C1"}, {"cardtype", " -3"}}, R"([ { "num": "C1", "type": -3 } ])"},
      {add, {{"num", "C1"}, {"cardtype", "abc"}}, R"([ { "num": "C1", "type": 0 } ])"},
      {add, {{"num", "C1"}, {"cardtype", "+7"}}, R"([ { "num": "C1", "type": 7 } ])"},
      {add, {{"num", ""}, {"cardtype", "5"}}, "[ ]"},
      {update, {{"num", "C1"}, {"cardtype", "12abc"}}, R"([ { "num": "C1", "type": "12abc" } ])"},
      {update, {{"cardtype", "5"}}, R"([ { "num": "", "type": "5" } ])"},
  };
  for (auto [variant, person, cardinfo] : cases) {
    EXPECT_EQ(BuildUserRecord(person, variant), RecordText(cardinfo))
        << person["num"] << "/" << person["cardtype"];
    EXPECT_EQ(person.count("cardtype"), 1u);
  }
}

TEST(UserRecord, MembersInRecordOrder) {
  ParamMap person{{"enablecover", "k"}, {"plantemplateno", "j"}, {"cardtype", "9"},
                  {"num", "h"},         {"roleplay", "g"},       {"facetype", "f"},
                  {"authmethod", "e"},  {"password", "d"},       {"name", "c"},
                  {"certnum", "b"},     {"certtype", "a"}};
  EXPECT_EQ(BuildUserRecord(person, UserRecordVariant::Add),
            R"({ "certtype": "a", "certnum": "b", "name": "c", "password": "d", )"
            R"("authmethod": "e", "facetype": "f", "roleplay": "g", "cardinfo": )"
            R"([ { "num": "h", "type": 9 } ], "plantemplateno": "j", "enablecover": "k" })");
}
