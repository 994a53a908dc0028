#include "processing/request_fields.h"

#include <gtest/gtest.h>

namespace lumra {
namespace {

// What `reader` reads from the JSON `request`, printed; "-" when it finds nothing.
template <typename T>
std::string Read(bool (*reader)(const JsonValue*, T*), const std::u16string& request) {
  auto root = parseJson(request);
  EXPECT_TRUE(root) << std::string(request.begin(), request.end());
  T out{};
  if (!reader(root.get(), &out)) return "-";
  if constexpr (std::is_same_v<T, std::u16string>) {
    return std::string(out.begin(), out.end());
  } else {
    return std::to_string(out);
  }
}

TEST(RequestFields, ReadersTakeOnlyTheRightKindAtTheRightPlace) {
  EXPECT_EQ(Read(getMessageId, u"{\"messageId\":\"m1\"}"), "m1");
  EXPECT_EQ(Read(getMessageId, u"{\"messageId\":7}"), "-");
  EXPECT_EQ(Read(getMessageId, u"{\"MessageId\":\"m1\"}"), "-");
  EXPECT_EQ(Read(getMessageId, u"[\"messageId\"]"), "-");
  EXPECT_EQ(Read(getIsDsm2, u"{\"isDsm2\":\"false\"}"), "-");
  EXPECT_EQ(Read(getScannerId, u"{\"scannerId\":\"2\"}"), "-");
  EXPECT_EQ(Read(getDpi, u"{\"settings\":{\"dpi\":300.7}}"), "300");
  EXPECT_EQ(Read(getDpi, u"{\"settings\":{\"dpi\":-300.7}}"), "4294966996");
  EXPECT_EQ(Read(getDpi, u"{\"settings\":{\"dpi\":4294967296}}"), "0");
  EXPECT_EQ(Read(getDpi, u"{\"settings\":{\"dpi\":1e300}}"), "0");
  EXPECT_EQ(Read(getDpi, u"{\"settings\":{\"dpi\":1e400}}"), "0");
  EXPECT_EQ(Read(getDpi, u"{\"dpi\":300}"), "-");
  EXPECT_EQ(Read(getDpi, u"{\"settings\":\"dpi\"}"), "-");
  EXPECT_EQ(Read(getType, u"{\"settings\":{\"type\":\"png\"}}"), "-");
  EXPECT_EQ(Read(getType, u"{\"settings\":{\"format\":\"png\"}}"), "-");
  EXPECT_EQ(Read(getQuality, u"{\"settings\":{\"format\":{\"quality\":75.9}}}"), "75");
  // A null request reads as nothing, and outputs stay untouched.
  std::u16string untouched = u"keep";
  EXPECT_FALSE(getMessageId(nullptr, &untouched));
  EXPECT_EQ(untouched, u"keep");
  const JsonArray* files = nullptr;
  auto notArray = parseJson(u"{\"files\":{}}");
  EXPECT_FALSE(getFiles(notArray.get(), &files));
}

}  // namespace
}  // namespace lumra
