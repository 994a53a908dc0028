#include "processing/request_fields.h"

#include <gtest/gtest.h>

namespace lumra {
namespace {

struct Read {
  bool found;
  std::string value;  // printed form of what was read
};

template <typename T>
Read ReadWith(bool (*reader)(const JsonValue*, T*), const JsonValue* request) {
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
  struct Case {
    std::u16string request;
    std::string field;
    Read expected;
  };
  const Case cases[] = {
      {u"{\"messageId\":\"m1\"}", "messageId", {true, "m1"}},
      {u"{\"messageId\":7}", "messageId", {false, ""}},
      {u"{\"MessageId\":\"m1\"}", "messageId", {false, ""}},
      {u"[\"messageId\"]", "messageId", {false, ""}},
      {u"{\"command\":\"scannersList\"}", "command", {true, "scannersList"}},
      {u"{\"isDsm2\":false}", "isDsm2", {true, "false"}},
      {u"{\"isDsm2\":\"false\"}", "isDsm2", {false, ""}},
      {u"{\"scannerId\":2}", "scannerId", {true, "2"}},
      {u"{\"scannerId\":\"2\"}", "scannerId", {false, ""}},
      {u"{\"settings\":{\"dpi\":300.7}}", "dpi", {true, "300"}},
      {u"{\"settings\":{\"dpi\":-1}}", "dpi", {true, "4294967295"}},
      {u"{\"settings\":{\"dpi\":-300.7}}", "dpi", {true, "4294966996"}},
      {u"{\"settings\":{\"dpi\":4294967296}}", "dpi", {true, "0"}},
      {u"{\"settings\":{\"dpi\":1e300}}", "dpi", {true, "0"}},
      {u"{\"settings\":{\"dpi\":1e400}}", "dpi", {true, "0"}},
      {u"{\"dpi\":300}", "dpi", {false, ""}},
      {u"{\"settings\":\"dpi\"}", "dpi", {false, ""}},
      {u"{\"settings\":{\"timeout\":5000}}", "timeout", {true, "5000"}},
      {u"{\"settings\":{\"color\":\"BW\"}}", "color", {true, "BW"}},
      {u"{\"settings\":{\"feeder\":1}}", "feeder", {false, ""}},
      {u"{\"settings\":{\"feeder\":true}}", "feeder", {true, "true"}},
      {u"{\"settings\":{\"duplex\":false}}", "duplex", {true, "false"}},
      {u"{\"settings\":{\"showUI\":true}}", "showUI", {true, "true"}},
      {u"{\"settings\":{\"format\":{\"type\":\"png\"}}}", "type", {true, "png"}},
      {u"{\"settings\":{\"type\":\"png\"}}", "type", {false, ""}},
      {u"{\"settings\":{\"format\":\"png\"}}", "type", {false, ""}},
      {u"{\"settings\":{\"format\":{\"quality\":75.9}}}", "quality", {true, "75"}},
      {u"{\"workingDirectory\":\"\"}", "workingDirectory", {true, ""}},
      {u"{\"clientLogin\":\"u\",\"clientIp\":\"1.2.3.4\"}", "clientIp", {true, "1.2.3.4"}},
      {u"{\"destination\":\"x\"}", "destination", {true, "x"}},
      {u"{\"contentId\":null}", "contentId", {false, ""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.request.begin(), c.request.end()) + " " + c.field);
    auto request = parseJson(c.request);
    ASSERT_TRUE(request);
    const JsonValue* r = request.get();
    Read got;
    if (c.field == "messageId") got = ReadWith(getMessageId, r);
    else if (c.field == "command") got = ReadWith(getCommand, r);
    else if (c.field == "isDsm2") got = ReadWith(getIsDsm2, r);
    else if (c.field == "scannerId") got = ReadWith(getScannerId, r);
    else if (c.field == "dpi") got = ReadWith(getDpi, r);
    else if (c.field == "timeout") got = ReadWith(getTimeout, r);
    else if (c.field == "color") got = ReadWith(getColor, r);
    else if (c.field == "feeder") got = ReadWith(getFeeder, r);
    else if (c.field == "duplex") got = ReadWith(getDuplex, r);
    else if (c.field == "showUI") got = ReadWith(getShowUI, r);
    else if (c.field == "type") got = ReadWith(getType, r);
    else if (c.field == "quality") got = ReadWith(getQuality, r);
    else if (c.field == "workingDirectory") got = ReadWith(getWorkingDirectory, r);
    else if (c.field == "clientIp") got = ReadWith(getClientIp, r);
    else if (c.field == "destination") got = ReadWith(getDestination, r);
    else if (c.field == "contentId") got = ReadWith(getContentId, r);
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
