// The feed index's reader on hand-written texts, one row per rule; the writer's text read back;
// which delivery an installation fetches; and the rollout over a thousand devices.

#include <vintrel/update_feed.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <set>
#include <string>

namespace {

using vintrel::FeedIndexStatus;

const std::string kHead = "vintrel-feed 1\r\nrelease 30\r\nfull 9000 30/full\r\n";
const std::string kHead2 = "vintrel-feed 2\r\nrelease 30 rollout 12.5%\r\nfull 9000 30/full\r\n";

TEST(UpdateFeedTest, ReadsEachRow) {
  const struct {
    const char* name;
    std::string text;
    FeedIndexStatus status;
    std::size_t line;      // at fault; 0 when read
    std::size_t partial;   // of the newest release, when read
    std::size_t releases = 1;
  } rows[] = {
      {"full only", kHead, FeedIndexStatus::kRead, 0, 0},
      {"partials, LF only", "vintrel-feed 1\nrelease 30\nfull 0 a\nfrom 1 5 b/from-1\nfrom 29 7 c\n",
       FeedIndexStatus::kRead, 0, 2},
      {"three releases", kHead2 + "from 29 5 a\r\nrelease 29 rollout 0%\r\nfull 8 b\r\n" +
           "release 2 rollout 100%\r\nfull 8 c\r\nfrom 1 3 d\r\n",
       FeedIndexStatus::kRead, 0, 1, 3},
      {"other format", "vintrel-feed 3\r\n", FeedIndexStatus::kOtherFormat, 1, 0},
      {"a second release in the first format", kHead + "release 20\r\nfull 1 a\r\n",
       FeedIndexStatus::kMalformed, 4, 0},
      {"a share in the first format", "vintrel-feed 1\r\nrelease 3 rollout 5%\r\n",
       FeedIndexStatus::kMalformed, 2, 0},
      {"no share in the second", "vintrel-feed 2\r\nrelease 3\r\n", FeedIndexStatus::kMalformed,
       2, 0},
      {"share over 100", "vintrel-feed 2\r\nrelease 3 rollout 100.01%\r\n",
       FeedIndexStatus::kMalformed, 2, 0},
      {"share of three decimals", "vintrel-feed 2\r\nrelease 3 rollout 1.125%\r\n",
       FeedIndexStatus::kMalformed, 2, 0},
      {"share without %", "vintrel-feed 2\r\nrelease 3 rollout 50\r\n",
       FeedIndexStatus::kMalformed, 2, 0},
      {"share negative", "vintrel-feed 2\r\nrelease 3 rollout -1%\r\n",
       FeedIndexStatus::kMalformed, 2, 0},
      {"releases not descending", kHead2 + "release 30 rollout 100%\r\nfull 1 a\r\n",
       FeedIndexStatus::kMalformed, 4, 0},
      {"an older release without its full", kHead2 + "release 20 rollout 1%\r\nfrom 1 5 a\r\n",
       FeedIndexStatus::kMalformed, 5, 0},
      {"the last release without its full", kHead2 + "release 20 rollout 1%\r\n",
       FeedIndexStatus::kMalformed, 5, 0},
      {"empty", "", FeedIndexStatus::kMalformed, 1, 0},
      {"no full line", "vintrel-feed 1\r\nrelease 30\r\n", FeedIndexStatus::kMalformed, 3, 0},
      {"last line cut", "vintrel-feed 1\r\nrelease 30\r\nfull 1 a", FeedIndexStatus::kMalformed,
       3, 0},
      {"release zero", "vintrel-feed 1\r\nrelease 0\r\n", FeedIndexStatus::kMalformed, 2, 0},
      {"release 2^63", "vintrel-feed 1\r\nrelease 9223372036854775808\r\n",
       FeedIndexStatus::kMalformed, 2, 0},
      {"leading zero", "vintrel-feed 1\r\nrelease 030\r\n", FeedIndexStatus::kMalformed, 2, 0},
      {"folder outside", kHead + "from 1 5 ../x\r\n", FeedIndexStatus::kMalformed, 4, 0},
      {"folder absolute", "vintrel-feed 1\r\nrelease 3\r\nfull 1 /a\r\n",
       FeedIndexStatus::kMalformed, 3, 0},
      {"folder with a blank", kHead + "from 1 5 a b\r\n", FeedIndexStatus::kMalformed, 4, 0},
      {"folder with a backslash", kHead + "from 1 5 a\\b\r\n", FeedIndexStatus::kMalformed, 4,
       0},
      {"from its own release", kHead + "from 30 5 a\r\n", FeedIndexStatus::kMalformed, 4, 0},
      {"from zero", kHead + "from 0 5 a\r\n", FeedIndexStatus::kMalformed, 4, 0},
      {"out of order", kHead + "from 5 5 a\r\nfrom 4 5 b\r\n", FeedIndexStatus::kMalformed, 5,
       0},
      {"twice the same base", kHead + "from 5 5 a\r\nfrom 5 5 b\r\n",
       FeedIndexStatus::kMalformed, 5, 0},
      {"blank line after", kHead + "\r\n", FeedIndexStatus::kMalformed, 4, 0},
      {"full twice", kHead + "full 1 a\r\n", FeedIndexStatus::kMalformed, 4, 0},
      {"oversized", kHead + std::string(vintrel::kMaxFeedIndexBytes, 'x'),
       FeedIndexStatus::kOversized, 0, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const vintrel::FeedIndexRead read = vintrel::ParseFeedIndex(row.text);
    EXPECT_EQ(read.status, row.status);
    EXPECT_EQ(read.line, row.line);
    if (read.status != FeedIndexStatus::kRead) continue;
    EXPECT_EQ(read.index.releases.front().release, 30u);
    EXPECT_EQ(read.index.releases.size(), row.releases);
    EXPECT_EQ(read.index.releases.front().partial.size(), row.partial);
    EXPECT_TRUE(vintrel::IsWritableFeedIndex(read.index));
  }
}

TEST(UpdateFeedTest, WrittenIndexReadsBackAndChoosesTheSmallestThatApplies) {
  vintrel::FeedIndex index;
  vintrel::FeedRelease newest;
  newest.release = 1796534400;
  newest.full = {0, 300000, "1796534400/full"};
  newest.partial = {{1795000000, 400000, "1796534400/from-1795000000"},
                    {1796000000, 20000, "1796534400/from-1796000000"}};
  index.releases = {newest};
  ASSERT_TRUE(vintrel::IsWritableFeedIndex(index));
  const std::string text = vintrel::FormatFeedIndex(index);
  EXPECT_EQ(text.substr(0, 55), "vintrel-feed 2\r\nrelease 1796534400 rollout 100%\r\nfull 3");
  const vintrel::FeedIndexRead read = vintrel::ParseFeedIndex(text);
  ASSERT_EQ(read.status, FeedIndexStatus::kRead);
  EXPECT_EQ(vintrel::FormatFeedIndex(read.index), text);

  const struct {
    std::uint64_t installed;
    const char* folder;  // nullptr: nothing to fetch
  } choices[] = {
      {1796000000, "1796534400/from-1796000000"},  // the partial one, smaller
      {1795000000, "1796534400/full"},             // its partial one is larger than the full
      {1790000000, "1796534400/full"},             // no partial one from it
      {0, "1796534400/full"},                      // no release recorded
      {1796534400, nullptr},                       // up to date
      {1800000000, nullptr},                       // newer than the feed
  };
  for (const auto& choice : choices) {
    SCOPED_TRACE(choice.installed);
    const vintrel::FeedPick pick = vintrel::ChooseFeedDelivery(read.index, choice.installed, "d");
    EXPECT_EQ(pick.delivery ? pick.delivery->folder : std::string("nothing"),
              choice.folder ? choice.folder : "nothing");
    EXPECT_EQ(pick.choice, choice.folder ? vintrel::FeedChoice::kFetch
                                         : vintrel::FeedChoice::kUpToDate);
  }
}

// Releases 3 (at share), 2 (at 50 %) and 1 (at 100 %) over a thousand devices.
TEST(UpdateFeedTest, RolloutTakesTheShareAndKeepsItsDevicesAsItGrows) {
  const auto feedAt = [](std::uint32_t share) {
    vintrel::FeedIndex index;
    index.releases = {{3, share, {0, 90, "3/full"}, {{1, 30, "3/from-1"}, {2, 10, "3/from-2"}}},
                      {2, 5000, {0, 80, "2/full"}, {{1, 20, "2/from-1"}}},
                      {1, vintrel::kWholeRollout, {0, 70, "1/full"}, {}}};
    return index;
  };
  std::set<std::string> inAtTen;
  for (const std::uint32_t share : {0u, 1000u, 5000u, 10000u}) {
    SCOPED_TRACE(share);
    const vintrel::FeedIndex index = feedAt(share);
    ASSERT_TRUE(vintrel::IsWritableFeedIndex(index));
    int in = 0;
    for (int device = 0; device < 1000; ++device) {
      char id[13];
      std::snprintf(id, sizeof id, "0050569a%04x", device);
      const vintrel::FeedPick fromTwo = vintrel::ChooseFeedDelivery(index, 2, id);
      const vintrel::FeedPick fromOne = vintrel::ChooseFeedDelivery(index, 1, id);
      const vintrel::FeedPick none = vintrel::ChooseFeedDelivery(index, 0, id);
      if (fromTwo.choice == vintrel::FeedChoice::kFetch) {
        ++in;
        EXPECT_EQ(fromTwo.delivery->folder, "3/from-2");
        EXPECT_EQ(fromOne.delivery->folder, "3/from-1");
        EXPECT_EQ(none.delivery->folder, "3/full");
        if (share == 1000) inAtTen.insert(id);
      } else {
        // Outside release 3: one behind waits; two behind get release 2 when in its rollout.
        EXPECT_EQ(fromTwo.choice, vintrel::FeedChoice::kNotInRollout);
        const bool inTwo = vintrel::FeedRolloutBucket(id, 2) < 5000;
        EXPECT_EQ(fromOne.delivery ? fromOne.delivery->folder : "waits",
                  inTwo ? "2/from-1" : "waits");
        EXPECT_EQ(fromOne.choice, inTwo ? vintrel::FeedChoice::kFetch
                                        : vintrel::FeedChoice::kNotInRollout);
        EXPECT_EQ(none.delivery->folder, inTwo ? "2/full" : "1/full");
        EXPECT_FALSE(share > 1000 && inAtTen.count(id) != 0) << id << " left the rollout";
      }
      EXPECT_EQ(vintrel::ChooseFeedDelivery(index, 3, id).choice, vintrel::FeedChoice::kUpToDate);
    }
    EXPECT_NEAR(in, static_cast<int>(share / 10), 50);
  }
  // A device without an id is in the releases at 100 % only.
  const vintrel::FeedIndex almostAll = feedAt(9999), all = feedAt(10000);
  EXPECT_EQ(vintrel::ChooseFeedDelivery(almostAll, 0, "").delivery->folder, "1/full");
  EXPECT_EQ(vintrel::ChooseFeedDelivery(all, 0, "").delivery->folder, "3/full");
}

}  // namespace
