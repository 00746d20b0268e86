// Two threads storing blobs at once, each on its own connection: the
// sequence keeps ids and file names apart, and every blob reads back as its
// own bytes.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "blob/BlobUtils.h"
#include "foundation/Files.h"
#include "tests/blob/BlobTestSupport.h"

namespace Nauvik {
namespace {

struct Stored {
  int64_t id = 0;
  std::string bytes;
  int32_t code = -1;
};

void StoreMany(int thread, std::vector<Stored>* out) {
  for (int i = 0; i < 12; ++i) {
    Stored s{0, "From: thread" + std::to_string(thread) + "\r\n\r\n" +
                    std::string(static_cast<size_t>(1000 * i + thread), 'x')};
    BlobUtils blob(thread % 2 == 0);
    s.code = blob.InsertBlob(s.bytes.data(), static_cast<uint32_t>(s.bytes.size()), 11, 11, &s.id);
    out->push_back(std::move(s));
  }
  CloseThreadDatabases();
}

TEST(BlobConcurrency, TwoWritersGetDistinctIdsAndTheirOwnBytes) {
  ASSERT_NE(testing::StoreDir(), "/nonexistent-test-store");
  std::vector<Stored> results[2];
  std::thread a(StoreMany, 0, &results[0]);
  std::thread b(StoreMany, 1, &results[1]);
  a.join();
  b.join();
  std::set<int64_t> ids;
  BlobUtils reader(true);
  for (const auto& list : results) {
    ASSERT_EQ(list.size(), 12u);
    for (const Stored& s : list) {
      ASSERT_EQ(s.code, kBlobOk);
      EXPECT_TRUE(ids.insert(s.id).second) << s.id;
      KAVRO::MMFile mapped;
      ASSERT_EQ(reader.GetBlobMapping(s.id, &mapped), kBlobOk) << reader.LastError();
      EXPECT_TRUE(mapped.Bytes() == s.bytes) << s.id;
      mapped.Close();
      EXPECT_EQ(reader.DeleteBlob(s.id, 11), kBlobOk) << reader.LastError();
    }
  }
  CloseThreadDatabases();
}

}  // namespace
}  // namespace Nauvik
