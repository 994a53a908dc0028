// Scan settings onto the option tables of real backends: which values each
// setting picks, and which the device cannot take.
#include "sources/sane/option_map.h"

#include <gtest/gtest.h>
#include <sane/saneopts.h>

#include <deque>
#include <string>
#include <vector>

namespace lumra::sane_source {
namespace {

// A backend's option descriptors as sane_get_option_descriptor returns them.
class Backend {
 public:
  Backend& strings(const char* name, std::vector<const char*> values) {
    lists_.push_back(values);
    lists_.back().push_back(nullptr);
    SANE_Option_Descriptor d = base(name, SANE_TYPE_STRING, 64);
    d.constraint_type = SANE_CONSTRAINT_STRING_LIST;
    d.constraint.string_list = lists_.back().data();
    return add(d);
  }
  Backend& words(const char* name, SANE_Value_Type type, std::vector<SANE_Word> values) {
    values.insert(values.begin(), static_cast<SANE_Word>(values.size()));
    words_.push_back(values);
    SANE_Option_Descriptor d = base(name, type, sizeof(SANE_Word));
    d.constraint_type = SANE_CONSTRAINT_WORD_LIST;
    d.constraint.word_list = words_.back().data();
    return add(d);
  }
  Backend& range(const char* name, SANE_Value_Type type, SANE_Range r) {
    ranges_.push_back(r);
    SANE_Option_Descriptor d = base(name, type, sizeof(SANE_Word));
    d.constraint_type = SANE_CONSTRAINT_RANGE;
    d.constraint.range = &ranges_.back();
    return add(d);
  }
  OptionTable table() const {
    std::vector<OptionInfo> out;
    for (size_t i = 0; i < descriptors_.size(); ++i) {
      if (auto info = describe(static_cast<int>(i + 1), &descriptors_[i])) out.push_back(*info);
    }
    return OptionTable(out);
  }

 private:
  static SANE_Option_Descriptor base(const char* name, SANE_Value_Type type, SANE_Int size) {
    SANE_Option_Descriptor d{};
    d.name = name;
    d.type = type;
    d.size = size;
    d.cap = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT;
    return d;
  }
  Backend& add(const SANE_Option_Descriptor& d) {
    descriptors_.push_back(d);
    return *this;
  }
  std::deque<std::vector<const char*>> lists_;
  std::deque<std::vector<SANE_Word>> words_;
  std::deque<SANE_Range> ranges_;
  std::vector<SANE_Option_Descriptor> descriptors_;
};

const SANE_Range kMillimetres{0, SANE_FIX(215.9), 0};

Backend TestBackend() {  // sane-backends' test, 1.2.1
  Backend b;
  b.strings("mode", {"Gray", "Color"})
      .words("depth", SANE_TYPE_INT, {1, 8, 16})
      .strings("source", {"Flatbed", "Automatic Document Feeder"})
      .range("resolution", SANE_TYPE_FIXED, {SANE_FIX(1), SANE_FIX(1200), SANE_FIX(1)})
      .range("tl-x", SANE_TYPE_FIXED, kMillimetres)
      .range("br-y", SANE_TYPE_FIXED, kMillimetres);
  return b;
}

Backend Brother() {  // brscan4
  Backend b;
  b.strings("mode", {"Black & White", "Gray[Error Diffusion]", "True Gray", "24bit Color",
                     "24bit Color[Fast]"})
      .words("resolution", SANE_TYPE_INT, {100, 150, 200, 300, 400, 600, 1200})
      .strings("source", {"FlatBed", "Automatic Document Feeder(left aligned)",
                          "Automatic Document Feeder(left aligned,Duplex)"});
  return b;
}

Backend Fujitsu() {  // sheet-fed, no flatbed
  Backend b;
  b.strings("source", {"ADF Front", "ADF Back", "ADF Duplex"})
      .strings("mode", {"Lineart", "Halftone", "Gray", "Color"})
      .range("resolution", SANE_TYPE_INT, {50, 600, 1});
  return b;
}

Backend Epson2() {
  Backend b;
  b.strings("mode", {"Binary", "Gray", "Color"})
      .words("resolution", SANE_TYPE_INT, {75, 150, 300, 600, 1200})
      .strings("source", {"Flatbed", "Transparency Unit"});
  return b;
}

Backend Airscan() {  // eSCL / WSD devices
  Backend b;
  b.strings("source", {"Flatbed", "ADF", "ADF Duplex"})
      .strings("mode", {"Color", "Gray"})
      .range("resolution", SANE_TYPE_INT, {50, 1200, 25});
  return b;
}

std::string Show(const std::vector<Assignment>& plan) {
  std::string out;
  for (const Assignment& a : plan) {
    if (!out.empty()) out += " ";
    out += a.name + "=";
    out += a.isString ? a.text
                      : a.name == "resolution" && a.word >= SANE_FIX(1)
                            ? std::to_string(static_cast<int>(SANE_UNFIX(a.word))) + "f"
                            : std::to_string(a.word);
  }
  return out;
}

TEST(OptionMapTest, SettingsPickTheDevicesOwnValues) {
  struct Case {
    const char* backend;
    Backend device;
    ScanSettings settings;
    const char* plan;
  };
  auto settings = [](double dpi, PixelKind pixel, bool feeder = false, bool duplex = false) {
    ScanSettings s;
    s.dpi = dpi;
    s.pixel = pixel;
    s.pixelSet = true;
    s.feeder = feeder;
    s.duplex = duplex;
    return s;
  };
  const PixelKind bw = PixelKind::kBw, gray = PixelKind::kGray, color = PixelKind::kColor;
  const Case cases[] = {
      // No line-art mode: gray at one bit; fixed-point resolution; scan area at its limits.
      {"test bw", TestBackend(), settings(299.6, bw),
       "source=Flatbed mode=Gray depth=1 resolution=300f tl-x=0 br-y=14149222"},
      {"test gray", TestBackend(), settings(5000, gray, true),
       "source=Automatic Document Feeder mode=Gray depth=8 resolution=1200f tl-x=0 br-y=14149222"},
      {"brother bw", Brother(), settings(280, bw), "source=FlatBed mode=Black & White resolution=300"},
      {"brother gray", Brother(), settings(90, gray, true),
       "source=Automatic Document Feeder(left aligned) mode=True Gray resolution=100"},
      {"brother color", Brother(), settings(700, color, true, true),
       "source=Automatic Document Feeder(left aligned,Duplex) mode=24bit Color resolution=600"},
      {"fujitsu", Fujitsu(), settings(1000, bw), "mode=Lineart resolution=600"},
      {"fujitsu duplex", Fujitsu(), settings(200, color, true, true),
       "source=ADF Duplex mode=Color resolution=200"},
      {"epson2", Epson2(), settings(110, bw), "source=Flatbed mode=Binary resolution=75"},
      {"airscan", Airscan(), settings(310, gray, true), "source=ADF mode=Gray resolution=300"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Show(c.device.table().plan(c.settings)), c.plan) << c.backend;
  }
}

TEST(OptionMapTest, SettingsTheDeviceCannotTakeAreRefused) {
  EXPECT_FALSE(TestBackend().table().source(false, true)) << "no duplex source";
  EXPECT_FALSE(Epson2().table().source(true, false)) << "no feeder";
  EXPECT_TRUE(Airscan().table().pixel(PixelKind::kBw).empty()) << "no line art, no depth 1";
  EXPECT_TRUE(Backend().table().pixel(PixelKind::kGray).empty()) << "no mode option";
  EXPECT_FALSE(Backend().table().source(true, false));
  ASSERT_TRUE(Backend().table().source(false, false));  // flatbed: nothing to set
  // Values as tests and users write them, in the option's own type.
  OptionTable test = TestBackend().table();
  EXPECT_EQ(parseValue(*test.find("resolution"), "150.5")->word, SANE_FIX(150.5));
  EXPECT_FALSE(parseValue(*test.find("resolution"), "40000"));
  EXPECT_FALSE(parseValue(*test.find("depth"), "eight"));
  EXPECT_FALSE(parseValue(*test.find("mode"), std::string(64, 'x')));
}

// What each backend offers a scanning screen.
TEST(OptionMapTest, OffersReadFromTheDescriptors) {
  struct Case {
    const char* backend;
    Backend b;
    std::string offers;
  };
  const Case cases[] = {
      {"brother", Brother(), "100 150 200 300 400 600 1200 / 012 / feeder duplex"},
      {"fujitsu", Fujitsu(), "50-600/1 / 012 / feeder duplex"},
      {"epson2", Epson2(), "75 150 300 600 1200 / 012 /"},
      {"airscan", Airscan(), "50-1200/25 / 12 / feeder duplex"},
  };
  for (const Case& c : cases) {
    const Offers o = c.b.table().offers();
    std::string text;
    auto number = [](double v) { return std::to_string(static_cast<int>(v)); };
    if (o.resolutionRange) text = number(o.min) + "-" + number(o.max) + "/" + number(o.step);
    for (double dpi : o.resolutions) text += (text.empty() ? "" : " ") + number(dpi);
    text += " / ";
    for (PixelKind kind : o.pixels) text += std::to_string(static_cast<int>(kind));
    text += " /";
    if (o.feeder) text += " feeder";
    if (o.duplex) text += " duplex";
    EXPECT_EQ(text, c.offers) << c.backend;
    EXPECT_EQ(o.width, 0) << "no unit: no size";
  }
}

}  // namespace
}  // namespace lumra::sane_source
