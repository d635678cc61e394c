// Joining incoming parts: in any order, each listing afresh, never a part
// twice, and a group that stays incomplete goes out after 10 minutes.
#include "inbox/InboxJoin.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace varnix {
namespace {

using std::chrono::milliseconds;
using std::chrono::minutes;

ListedDeliver Part(int index, std::u16string sender, std::u16string text, unsigned reference = 0,
                   int total = 0, int seq = 0, int second = 0) {
  ListedDeliver d;
  d.index = index;
  d.sms.sender = std::move(sender);
  d.sms.text = std::move(text);
  d.sms.serviceCentreTime = {2026, 12, 8, 12, 0, second, 32};
  if (total > 0) d.sms.concat = {true, reference, total, seq};
  return d;
}

std::vector<std::u16string> Texts(const std::vector<JoinedMessage>& joined) {
  std::vector<std::u16string> out;
  for (const JoinedMessage& j : joined) out.push_back(j.message.text);
  return out;
}

const std::u16string kAlice = u"+8613800138000";
const std::u16string kBob = u"+8613900139000";

TEST(InboxJoin, PartsInAnyOrderAreJoinedOnceTheLastArrives) {
  InboxJoin join;
  // Part 3 first, then 1, then 2; the modem keeps each until the whole is
  // handed on, so every listing shows all parts that arrived so far.
  const ListedDeliver p3 = Part(4, kAlice, u"C", 9, 3, 3, 3);
  const ListedDeliver p1 = Part(5, kAlice, u"A", 9, 3, 1, 1);
  const ListedDeliver p2 = Part(6, kAlice, u"B", 9, 3, 2, 2);
  EXPECT_TRUE(join.Join({p3}, milliseconds(0)).empty());
  EXPECT_TRUE(join.Join({p3, p1}, milliseconds(5000)).empty());
  EXPECT_TRUE(join.Join({p3, p1}, milliseconds(10000)).empty());  // the same parts again
  const std::vector<JoinedMessage> out = join.Join({p3, p1, p2}, milliseconds(15000));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].message.text, u"ABC");
  EXPECT_EQ(out[0].message.sender, kAlice);
  EXPECT_EQ(out[0].message.parts, 3);
  EXPECT_EQ(out[0].message.missingParts, 0);
  EXPECT_EQ(out[0].message.time.second, 1);  // part 1's time stamp
  EXPECT_EQ(out[0].indices, (std::vector<int>{4, 5, 6}));
  // Not taken yet (no Delivered): the next listing offers it again, whole.
  EXPECT_EQ(Texts(join.Join({p1, p2, p3}, milliseconds(20000))), (std::vector<std::u16string>{u"ABC"}));
}

TEST(InboxJoin, APartListedTwiceCountsOnceAndGoesWithItsMessage) {
  InboxJoin join;
  // Part 1 twice is not two parts of two.
  EXPECT_TRUE(join.Join({Part(1, kAlice, u"x", 3, 2, 1), Part(2, kAlice, u"x", 3, 2, 1)},
                        milliseconds(0))
                  .empty());
  const std::vector<JoinedMessage> out =
      join.Join({Part(1, kAlice, u"x", 3, 2, 1), Part(2, kAlice, u"x", 3, 2, 1),
                 Part(3, kAlice, u"y", 3, 2, 2)},
                milliseconds(0));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].message.text, u"xy");
  EXPECT_EQ(out[0].indices, (std::vector<int>{1, 2, 3}));
}

TEST(InboxJoin, AnotherTextWithTheSameNameWaitsForAMessageOfItsOwn) {
  InboxJoin join;
  // Index 7 has part 1 of a later message that reuses sender, reference
  // and count: it stays out of the first message and is not deleted.
  const ListedDeliver first1 = Part(1, kAlice, u"old-1 ", 3, 2, 1);
  const ListedDeliver first2 = Part(2, kAlice, u"old-2", 3, 2, 2);
  const ListedDeliver later1 = Part(7, kAlice, u"new-1 ", 3, 2, 1);
  std::vector<JoinedMessage> out = join.Join({first1, later1, first2}, milliseconds(0));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].message.text, u"old-1 old-2");
  EXPECT_EQ(out[0].indices, (std::vector<int>{1, 2}));
  join.Delivered(out[0]);
  // Handed on and deleted: the later part waits its own 10 minutes.
  EXPECT_TRUE(join.Join({later1}, milliseconds(1000)).empty());
  EXPECT_TRUE(join.Join({later1}, milliseconds(1000) + kPartialAfter - milliseconds(1)).empty());
  out = join.Join({later1}, milliseconds(1000) + kPartialAfter);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].message.text, u"new-1 [\u2026]");
}

TEST(InboxJoin, AnIncompleteGroupGoesOutTenMinutesAfterItWasFirstSeen) {
  InboxJoin join;
  const ListedDeliver p2 = Part(3, kAlice, u"two", 200, 4, 2, 22);
  const ListedDeliver p4 = Part(8, kAlice, u"four", 200, 4, 4, 44);
  const milliseconds t0(123456);
  EXPECT_TRUE(join.Join({p2}, t0).empty());
  // A part arriving later does not restart the wait.
  EXPECT_TRUE(join.Join({p2, p4}, t0 + minutes(5)).empty());
  EXPECT_TRUE(join.Join({p2, p4}, t0 + kPartialAfter - milliseconds(1)).empty());
  std::vector<JoinedMessage> out = join.Join({p2, p4}, t0 + kPartialAfter);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].message.text, u"[\u2026]two[\u2026]four");
  EXPECT_EQ(out[0].message.parts, 4);
  EXPECT_EQ(out[0].message.missingParts, 2);
  EXPECT_EQ(out[0].message.time.second, 22);  // the lowest part there
  EXPECT_EQ(out[0].indices, (std::vector<int>{3, 8}));
  // Refused by the sink: the next listing offers it again at once.
  EXPECT_EQ(join.Join({p2, p4}, t0 + kPartialAfter + milliseconds(5000)).size(), 1u);

  // A group gone from the store (deleted by someone else) is forgotten:
  // when one of its parts shows up again its wait starts afresh.
  InboxJoin other;
  EXPECT_TRUE(other.Join({p2}, t0).empty());
  EXPECT_TRUE(other.Join({}, t0 + minutes(1)).empty());
  EXPECT_EQ(other.Groups(), 0u);
  const milliseconds back = t0 + kPartialAfter;
  EXPECT_TRUE(other.Join({p2}, back).empty());
  EXPECT_TRUE(other.Join({p2}, back + kPartialAfter - milliseconds(1)).empty());
  EXPECT_EQ(other.Join({p2}, back + kPartialAfter).size(), 1u);
}

TEST(InboxJoin, GroupsAreTheirSenderReferenceAndCountAndComeOutInListingOrder) {
  InboxJoin join;
  const std::vector<ListedDeliver> listed = {
      Part(1, kBob, u"b2", 5, 2, 2),    // Bob's, reference 5
      Part(2, kAlice, u"single"),       // no header
      Part(3, kAlice, u"a1", 5, 2, 1),  // Alice's, reference 5
      Part(4, kAlice, u"c1", 5, 3, 1),  // reference 5, but three parts: another message
      Part(5, kBob, u"b1", 5, 2, 1),
      Part(6, kAlice, u"a2", 5, 2, 2),
      Part(7, kAlice, u"seq 0", 5, 2, 0),  // no part of anything: stands alone
      Part(8, kAlice, u"seq 3", 5, 2, 3),
      Part(9, kAlice, u"count 1", 6, 1, 1),
  };
  const std::vector<JoinedMessage> out = join.Join(listed, milliseconds(0));
  EXPECT_EQ(Texts(out), (std::vector<std::u16string>{u"b1b2", u"single", u"a1a2", u"seq 0",
                                                     u"seq 3", u"count 1"}));
  EXPECT_EQ(out[0].message.sender, kBob);
  EXPECT_EQ(out[0].indices, (std::vector<int>{1, 5}));
  EXPECT_EQ(out[1].indices, (std::vector<int>{2}));
  EXPECT_EQ(out[1].message.parts, 1);
  EXPECT_EQ(join.Groups(), 3u);  // Bob's, Alice's two and three parts
}

}  // namespace
}  // namespace varnix
