// The feed index's reader on hand-written texts, one row per rule; the writer's text read back;
// and which delivery an installation fetches.

#include <vintrel/update_feed.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using vintrel::FeedIndexStatus;

const std::string kHead = "vintrel-feed 1\r\nrelease 30\r\nfull 9000 30/full\r\n";

TEST(UpdateFeedTest, ReadsEachRow) {
  const struct {
    const char* name;
    std::string text;
    FeedIndexStatus status;
    std::size_t line;      // at fault; 0 when read
    std::size_t partial;   // when read
  } rows[] = {
      {"full only", kHead, FeedIndexStatus::kRead, 0, 0},
      {"partials, LF only", "vintrel-feed 1\nrelease 30\nfull 0 a\nfrom 1 5 b/from-1\nfrom 29 7 c\n",
       FeedIndexStatus::kRead, 0, 2},
      {"other format", "vintrel-feed 2\r\n", FeedIndexStatus::kOtherFormat, 1, 0},
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
    EXPECT_EQ(read.index.release, 30u);
    EXPECT_EQ(read.index.partial.size(), row.partial);
    EXPECT_TRUE(vintrel::IsWritableFeedIndex(read.index));
  }
}

TEST(UpdateFeedTest, WrittenIndexReadsBackAndChoosesTheSmallestThatApplies) {
  vintrel::FeedIndex index;
  index.release = 1796534400;
  index.full = {0, 300000, "1796534400/full"};
  index.partial = {{1795000000, 400000, "1796534400/from-1795000000"},
                   {1796000000, 20000, "1796534400/from-1796000000"}};
  ASSERT_TRUE(vintrel::IsWritableFeedIndex(index));
  const std::string text = vintrel::FormatFeedIndex(index);
  EXPECT_EQ(text.substr(0, 42), "vintrel-feed 1\r\nrelease 1796534400\r\nfull 3");
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
    const vintrel::FeedDelivery* chosen = vintrel::ChooseFeedDelivery(read.index, choice.installed);
    EXPECT_EQ(chosen ? chosen->folder : std::string("nothing"),
              choice.folder ? choice.folder : "nothing");
  }
}

}  // namespace
