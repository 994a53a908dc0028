#include "processing/request_fields.h"

#include <functional>

#include <gtest/gtest.h>

namespace lumra {
namespace {

struct Read {
  bool found;
  std::string value;  // printed form of what was read
};

// One reader applied to a request.
template <typename T>
Read readWith(bool (*reader)(const JsonValue*, T*), const JsonValue* request) {
  T out{};
  if (!reader(request, &out)) return {false, ""};
  if constexpr (std::is_same_v<T, std::u16string>) {
    return {true, std::string(out.begin(), out.end())};
  } else if constexpr (std::is_same_v<T, bool>) {
    return {true, out ? "true" : "false"};
  } else {
    return {true, std::to_string(out)};
  }
}

TEST(RequestFields, ReadersTakeOnlyTheRightKindAtTheRightPlace) {
  auto via = [](auto reader) { return [reader](const JsonValue* r) { return readWith(reader, r); }; };
  struct Case {
    std::u16string request;
    std::function<Read(const JsonValue*)> read;
    Read expected;
  };
  const Case cases[] = {
      {u"{\"messageId\":\"m1\"}", via(getMessageId), {true, "m1"}},
      {u"{\"messageId\":7}", via(getMessageId), {false, ""}},
      {u"{\"MessageId\":\"m1\"}", via(getMessageId), {false, ""}},
      {u"[\"messageId\"]", via(getMessageId), {false, ""}},
      {u"{\"isDsm2\":\"false\"}", via(getIsDsm2), {false, ""}},
      {u"{\"scannerId\":\"2\"}", via(getScannerId), {false, ""}},
      {u"{\"settings\":{\"dpi\":300.7}}", via(getDpi), {true, "300"}},
      {u"{\"settings\":{\"dpi\":-300.7}}", via(getDpi), {true, "4294966996"}},
      {u"{\"settings\":{\"dpi\":4294967296}}", via(getDpi), {true, "0"}},
      {u"{\"settings\":{\"dpi\":1e300}}", via(getDpi), {true, "0"}},
      {u"{\"settings\":{\"dpi\":1e400}}", via(getDpi), {true, "0"}},
      {u"{\"dpi\":300}", via(getDpi), {false, ""}},
      {u"{\"settings\":\"dpi\"}", via(getDpi), {false, ""}},
      {u"{\"settings\":{\"type\":\"png\"}}", via(getType), {false, ""}},
      {u"{\"settings\":{\"format\":\"png\"}}", via(getType), {false, ""}},
      {u"{\"settings\":{\"format\":{\"quality\":75.9}}}", via(getQuality), {true, "75"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.request.begin(), c.request.end()));
    auto request = parseJson(c.request);
    ASSERT_TRUE(request);
    const Read got = c.read(request.get());
    EXPECT_EQ(got.found, c.expected.found);
    EXPECT_EQ(got.value, c.expected.value);
  }
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
