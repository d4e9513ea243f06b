#include "bus.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <new>

#include "support/transport_support.h"

namespace qorva {
namespace {

using namespace testing_support;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr Duration kSecond{1, 0};

BusConfig small_bus_config(const std::string& base_dir, std::uint32_t capacity = 8) {
  BusConfig config;
  config.base_dir = base_dir;
  config.capacity = capacity;
  config.slot_size = 64;
  config.max_subscribers = 4;
  config.wal.enabled = false;
  return config;
}

class BusTest : public testing::Test {
 protected:
  TempDir dir_;
  Bus bus_ = Bus::with_config("bus", small_bus_config(dir_.path()));

  std::string topic_dir(std::string_view topic) const { return dir_ / "bus/" + std::string(topic); }
  static bool is_already_publishing(const Error& e) { return e.get_if<Error::AlreadyPublishing>() != nullptr; }
};

TEST(BusConfigTest, TopicConfigCopiesTheBusSettingsUnderTheBusDirectory) {
  BusConfig config = small_bus_config("/base", 32);
  config.backpressure = Backpressure::DropOldest;
  Bus bus = Bus::with_config("b", config);
  TopicConfig topic = bus.topic_config();
  EXPECT_EQ(topic.dir, "/base/b");
  EXPECT_EQ(topic.capacity, 32u);
  EXPECT_EQ(topic.slot_size, 64u);
  EXPECT_EQ(topic.max_subscribers, 4u);
  EXPECT_EQ(topic.backpressure, Backpressure::DropOldest);
  EXPECT_FALSE(topic.wal.enabled);
  EXPECT_EQ(bus.name(), "b");
}

TEST_F(BusTest, NewBusTouchesNoFileAndTheFirstPublishCreatesTheTopic) {
  EXPECT_FALSE(fs::exists(dir_ / "bus"));
  EXPECT_FALSE(bus_.stats("t").has_value());
  ASSERT_TRUE(bus_.publish("t", view(bytes("a"))));
  EXPECT_TRUE(fs::exists(topic_dir("t") + "/ring.mmap"));
  auto stats = bus_.stats("t");
  ASSERT_TRUE(stats.has_value());
  EXPECT_EQ(stats->published_total, 1u);
}

TEST_F(BusTest, CachedPublisherServesEveryPublishingCall) {
  auto created = bus_.create_publisher("t");
  ASSERT_TRUE(created);
  ASSERT_TRUE(bus_.publish("t", view(bytes("a"))));
  std::vector<std::byte> b = bytes("b"), c = bytes("c");
  std::vector<std::span<const std::byte>> batch{b, c};
  auto written = bus_.publish_many("t", batch);
  ASSERT_TRUE(written);
  EXPECT_EQ(*written, 2u);
  EXPECT_TRUE(bus_.wait_for_subscribers("t", 0, Duration{}));
  EXPECT_EQ((*created)->stats().published_total, 3u);
}

TEST_F(BusTest, StatsOfATopicOnlySubscribedToIsAbsent) {
  Bus publishing = Bus::with_config("bus", small_bus_config(dir_.path()));
  ASSERT_TRUE(publishing.publish("t", view(bytes("a"))));
  auto subscriber = bus_.subscribe_timeout("t", kSecond);
  ASSERT_TRUE(subscriber);
  EXPECT_FALSE(bus_.stats("t").has_value());
  EXPECT_TRUE(bus_.slow_subscribers("t", 0).empty());
}

TEST_F(BusTest, TopicPublishedByAnotherProcessIsRefusedUntilItEnds) {
  Signal ready, finish;
  Child other([&] {
    Bus bus = Bus::with_config("bus", small_bus_config(dir_.path()));
    if (!bus.publish("t", view(bytes("theirs")))) return 1;
    ready.notify();
    return finish.wait(10000) ? 0 : 2;
  });
  ASSERT_TRUE(ready.wait(5000));
  auto refused = bus_.publish("t", view(bytes("mine")));
  ASSERT_FALSE(refused);
  EXPECT_TRUE(is_already_publishing(refused.error()));
  EXPECT_FALSE(bus_.stats("t").has_value());
  finish.notify();
  ASSERT_EQ(other.wait(5000ms), 0);
  EXPECT_TRUE(bus_.publish("t", view(bytes("mine"))));
}

TEST_F(BusTest, HandedOutPublisherKeepsTheTopicFromTheBus) {
  auto taken = bus_.take_publisher("t");
  ASSERT_TRUE(taken);
  std::vector<std::span<const std::byte>> none;
  auto publish = bus_.publish("t", view(bytes("a")));
  auto batch = bus_.publish_many("t", none);
  auto wait = bus_.wait_for_subscribers("t", 0, Duration{});
  auto again = bus_.take_publisher("t");
  ASSERT_FALSE(publish);
  ASSERT_FALSE(batch);
  ASSERT_FALSE(wait);
  ASSERT_FALSE(again);
  for (const Error* e : {&publish.error(), &batch.error(), &wait.error(), &again.error()})
    EXPECT_TRUE(is_already_publishing(*e));
  EXPECT_FALSE(bus_.stats("t").has_value());
  EXPECT_TRUE(bus_.slow_subscribers("t", 0).empty());
  taken->reset();
  EXPECT_TRUE(bus_.publish("t", view(bytes("a"))));
}

TEST_F(BusTest, TakePublisherHandsOverTheCachedOne) {
  ASSERT_TRUE(bus_.publish("t", view(bytes("a"))));
  auto taken = bus_.take_publisher("t");
  ASSERT_TRUE(taken);
  EXPECT_EQ((*taken)->stats().published_total, 1u);
  EXPECT_FALSE(bus_.stats("t").has_value());
}

TEST_F(BusTest, SlowSubscribersListsHeldSlotsAtOrAboveTheThreshold) {
  for (int i = 0; i < 6; ++i) ASSERT_TRUE(bus_.publish("t", view(bytes("m"))));
  auto behind = bus_.subscribe_with_history_timeout("t", 4, kSecond);
  auto current = bus_.subscribe_timeout("t", kSecond);
  auto ahead = bus_.subscribe_from_timeout("t", 9, kSecond);
  ASSERT_TRUE(behind && current && ahead);
  EXPECT_EQ(bus_.slow_subscribers("t", 0), (std::vector<SlotLag>{{0, 4}, {1, 0}, {2, 0}}));
  EXPECT_EQ(bus_.slow_subscribers("t", 1), (std::vector<SlotLag>{{0, 4}}));
  EXPECT_TRUE(bus_.slow_subscribers("t", 5).empty());
  EXPECT_EQ((*behind)->cursor(), 2u);
  EXPECT_EQ((*ahead)->cursor(), 9u);
}

TEST_F(BusTest, CleaningAnUnusedTopicSucceedsAndCreatesNothing) {
  EXPECT_TRUE(bus_.clean_topic("never"));
  EXPECT_FALSE(fs::exists(dir_ / "bus"));
}

TEST_F(BusTest, CleaningDestroysTheCachedPublisherAndRemovesTheDirectory) {
  ASSERT_TRUE(bus_.publish("t", view(bytes("a"))));
  ASSERT_TRUE(bus_.publish("u", view(bytes("a"))));
  ASSERT_TRUE(bus_.clean_topic("t"));
  EXPECT_FALSE(fs::exists(topic_dir("t")));
  EXPECT_TRUE(fs::exists(topic_dir("u") + "/ring.mmap"));
  EXPECT_TRUE(fs::exists(dir_ / "bus"));
  EXPECT_FALSE(bus_.stats("t").has_value());
  EXPECT_TRUE(bus_.clean_topic("t"));
}

TEST_F(BusTest, CleaningWhileAHandedOutPublisherLivesIsRefused) {
  auto taken = bus_.take_publisher("t");
  ASSERT_TRUE(taken);
  auto refused = bus_.clean_topic("t");
  ASSERT_FALSE(refused);
  EXPECT_TRUE(is_already_publishing(refused.error()));
  EXPECT_TRUE(fs::exists(topic_dir("t") + "/ring.mmap"));
  EXPECT_TRUE(fs::exists(topic_dir("t") + "/producer.lock"));
}

TEST_F(BusTest, CleaningRemovesNestedEntriesButNeverFollowsSymlinks) {
  TempDir outside;
  std::ofstream(outside / "precious") << "keep";
  fs::create_directory(outside / "dir");
  std::ofstream(outside / "dir/inner") << "keep";
  ASSERT_TRUE(bus_.publish("t", view(bytes("a"))));
  const std::string t = topic_dir("t");
  fs::create_directories(t + "/wal/deeper");
  std::ofstream(t + "/wal/deeper/00000000000000000000.seg") << "x";
  fs::create_symlink(outside / "precious", t + "/file-link");
  fs::create_directory_symlink(outside / "dir", t + "/dir-link");
  fs::create_directory_symlink(outside / "dir", t + "/wal/deeper/dir-link");
  fs::create_symlink(t + "/missing", t + "/dangling");
  ASSERT_TRUE(bus_.clean_topic("t"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(t)));
  EXPECT_TRUE(fs::exists(outside / "precious"));
  EXPECT_TRUE(fs::exists(outside / "dir/inner"));
}

TEST_F(BusTest, CleaningATopicDirectoryThatIsASymlinkRemovesNothingBehindIt) {
  TempDir outside;
  std::ofstream(outside / "precious") << "keep";
  fs::create_directories(dir_ / "bus");
  fs::create_directory_symlink(outside.path(), topic_dir("t"));
  auto refused = bus_.clean_topic("t");
  ASSERT_FALSE(refused);
  ASSERT_NE(io_error(refused.error()), nullptr);
  const int err = io_error(refused.error())->os_errno();
  EXPECT_TRUE(err == ENOTDIR || err == ELOOP) << err;
  EXPECT_TRUE(fs::exists(outside / "precious"));
  EXPECT_FALSE(fs::exists(outside / "producer.lock"));
}

TEST_F(BusTest, CleaningReportsATopicDirectoryItCannotExamine) {
  fs::create_directories(dir_ / "bus");
  fs::create_symlink("loop", topic_dir("loop"));  // a link to itself
  auto looped = bus_.clean_topic("loop");
  ASSERT_FALSE(looped);
  EXPECT_EQ(io_error(looped.error())->os_errno(), ELOOP);
  auto long_name = bus_.clean_topic(std::string(300, 'n'));
  ASSERT_FALSE(long_name);
  EXPECT_EQ(io_error(long_name.error())->os_errno(), ENAMETOOLONG);
  // Below a file: nothing there to clean.
  std::ofstream(dir_ / "bus/file") << "x";
  Bus nested = Bus::with_config("bus/file", small_bus_config(dir_.path()));
  EXPECT_TRUE(nested.clean_topic("t"));
}

TEST_F(BusTest, InvalidNamesAreRefusedEverywhereAndRemoveNothing) {
  ASSERT_TRUE(bus_.publish("t", view(bytes("a"))));
  for (std::string_view topic : {"", ".", "..", "t/..", "/tmp"}) {
    auto cleaned = bus_.clean_topic(topic);
    ASSERT_FALSE(cleaned) << topic;
    EXPECT_TRUE(is_io_text(cleaned.error(), "invalid topic name")) << topic;
    auto published = bus_.publish(topic, view(bytes("a")));
    ASSERT_FALSE(published) << topic;
    EXPECT_TRUE(is_io_text(published.error(), "invalid topic name")) << topic;
    auto subscribed = bus_.subscribe_timeout(topic, Duration{5, 0});
    ASSERT_FALSE(subscribed) << topic;
    EXPECT_TRUE(is_io_text(subscribed.error(), "invalid topic name")) << topic;
  }
  EXPECT_TRUE(fs::exists(topic_dir("t") + "/ring.mmap"));

  for (std::string_view name : {"..", "/abs", "a/../b", "."}) {
    Bus bad = Bus::with_config(std::string(name), small_bus_config(dir_.path()));
    auto cleaned = bad.clean_topic("t");
    ASSERT_FALSE(cleaned) << name;
    EXPECT_TRUE(is_io_text(cleaned.error(), "invalid bus name")) << name;
    auto published = bad.publish("t", view(bytes("a")));
    ASSERT_FALSE(published) << name;
    EXPECT_TRUE(is_io_text(published.error(), "invalid bus name")) << name;
    auto taken = bad.take_publisher("t");
    ASSERT_FALSE(taken) << name;
    auto subscribed = bad.subscribe_from_timeout("t", 0, Duration{5, 0});
    ASSERT_FALSE(subscribed) << name;
    EXPECT_TRUE(is_io_text(subscribed.error(), "invalid bus name")) << name;
  }
  EXPECT_TRUE(fs::exists(topic_dir("t") + "/ring.mmap"));
}

TEST_F(BusTest, NulInTheBusNameMeetsThePathChecks) {
  Bus bad = Bus::with_config(std::string("a\0b", 3), small_bus_config(dir_.path()));
  auto published = bad.publish("t", view(bytes("a")));
  ASSERT_FALSE(published);
  EXPECT_TRUE(is_io_text(published.error(), "file name contained an unexpected NUL byte"));
  EXPECT_TRUE(bad.clean_topic("t"));  // such a directory cannot exist
  auto subscribed = bad.subscribe_timeout("t", Duration{});
  ASSERT_FALSE(subscribed);
  EXPECT_NE(subscribed.error().get_if<Error::ConnectTimeout>(), nullptr);
  EXPECT_FALSE(fs::exists(dir_ / "a"));
}

TEST_F(BusTest, NestedBusNameAddressesANestedDirectory) {
  Bus nested = Bus::with_config("team/bus", small_bus_config(dir_.path()));
  ASSERT_TRUE(nested.publish("t", view(bytes("a"))));
  EXPECT_TRUE(fs::exists(dir_ / "team/bus/t/ring.mmap"));
  ASSERT_TRUE(nested.clean_topic("t"));
  EXPECT_TRUE(fs::exists(dir_ / "team/bus"));
}

// Counters shared by forked processes through an anonymous shared mapping.
class SharedCounters {
 public:
  SharedCounters() {
    void* map = ::mmap(nullptr, sizeof(Counters), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) std::abort();
    counters_ = new (map) Counters();
  }
  ~SharedCounters() { ::munmap(counters_, sizeof(Counters)); }
  SharedCounters(const SharedCounters&) = delete;
  SharedCounters& operator=(const SharedCounters&) = delete;

  // Marks one more holder and keeps the largest number seen at once.
  void enter() {
    const int now = counters_->holders.fetch_add(1) + 1;
    int most = counters_->most.load();
    while (now > most && !counters_->most.compare_exchange_weak(most, now)) {
    }
  }
  void leave() { counters_->holders.fetch_sub(1); }
  int most() const { return counters_->most.load(); }

 private:
  struct Counters {
    std::atomic<int> holders{0};
    std::atomic<int> most{0};
  };
  Counters* counters_;
};

// Processes keep creating publishers of a topic while another keeps cleaning
// it. A creator that opened the lock file just before a clean unlinked it, and
// locks it once the clean lets go, must not publish beside one that created
// and locked the new lock file.
TEST(BusProcessesConcurrent, CleaningRacingWithCreationNeverYieldsTwoPublishers) {
  TempDir dir;
  SharedCounters publishers;
  constexpr auto kRunFor = 1500ms;
  auto create_repeatedly = [&] {
    const Bus bus = Bus::with_config("bus", small_bus_config(dir.path()));
    const auto end = std::chrono::steady_clock::now() + kRunFor;
    while (std::chrono::steady_clock::now() < end) {
      // Refused while another holds the topic, or when a clean takes the
      // directory away in the middle: both are fine, only two at once is not.
      auto publisher = Publisher::create("t", bus.topic_config());
      if (!publisher) continue;
      publishers.enter();
      std::this_thread::sleep_for(100us);
      publishers.leave();
    }
    return 0;
  };
  auto clean_repeatedly = [&] {
    Bus bus = Bus::with_config("bus", small_bus_config(dir.path()));
    const auto end = std::chrono::steady_clock::now() + kRunFor;
    while (std::chrono::steady_clock::now() < end) (void)bus.clean_topic("t");
    return 0;
  };
  std::vector<std::unique_ptr<Child>> children;
  for (int i = 0; i < 3; ++i) children.push_back(std::make_unique<Child>(create_repeatedly));
  children.push_back(std::make_unique<Child>(clean_repeatedly));
  for (auto& child : children) EXPECT_EQ(child->wait(30s), 0);
  EXPECT_EQ(publishers.most(), 1);
}

}  // namespace
}  // namespace qorva
