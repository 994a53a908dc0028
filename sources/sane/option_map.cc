#include "sources/sane/option_map.h"

#include <sane/saneopts.h>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <initializer_list>

namespace lumra::sane_source {

namespace {

// Lower case letters and digits only: "24bit Color" and "24-Bit colour" meet.
std::string normal(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c)) out.push_back(static_cast<char>(std::tolower(c)));
  }
  return out;
}

bool contains(const std::string& text, std::initializer_list<const char*> parts) {
  for (const char* part : parts) {
    if (text.find(part) != std::string::npos) return true;
  }
  return false;
}

// The first entry whose normal form is one of `exact`, else the first that
// contains one of `partial` and none of `avoid`.
const std::string* pick(const std::vector<std::string>& entries,
                        std::initializer_list<const char*> exact,
                        std::initializer_list<const char*> partial,
                        std::initializer_list<const char*> avoid) {
  for (const char* wanted : exact) {
    for (const std::string& entry : entries) {
      if (normal(entry) == wanted) return &entry;
    }
  }
  for (const std::string& entry : entries) {
    std::string n = normal(entry);
    if (contains(n, partial) && !contains(n, avoid)) return &entry;
  }
  return nullptr;
}

double asNumber(const OptionInfo& option, SANE_Word word) {
  return option.type == SANE_TYPE_FIXED ? SANE_UNFIX(word) : static_cast<double>(word);
}

SANE_Word asWord(const OptionInfo& option, double value) {
  return option.type == SANE_TYPE_FIXED ? SANE_FIX(value)
                                        : static_cast<SANE_Word>(std::lround(value));
}

Assignment text(const OptionInfo& option, const std::string& value) {
  Assignment a;
  a.name = option.name;
  a.isString = true;
  a.text = value;
  return a;
}

Assignment word(const OptionInfo& option, SANE_Word value) {
  Assignment a;
  a.name = option.name;
  a.word = value;
  return a;
}

bool allows(const OptionInfo& option, double value) {
  switch (option.constraint) {
    case SANE_CONSTRAINT_RANGE:
      return value >= asNumber(option, option.range.min) &&
             value <= asNumber(option, option.range.max);
    case SANE_CONSTRAINT_WORD_LIST:
      for (SANE_Word w : option.words) {
        if (asNumber(option, w) == value) return true;
      }
      return false;
    default:
      return true;
  }
}

}  // namespace

std::optional<OptionInfo> describe(int index, const SANE_Option_Descriptor* d) {
  if (d == nullptr || d->name == nullptr || *d->name == '\0') return std::nullopt;
  OptionInfo info;
  info.index = index;
  info.name = d->name;
  info.type = d->type;
  info.size = d->size;
  info.cap = d->cap;
  info.unit = d->unit;
  info.constraint = d->constraint_type;
  if (d->constraint_type == SANE_CONSTRAINT_RANGE && d->constraint.range != nullptr) {
    info.range = *d->constraint.range;
  } else if (d->constraint_type == SANE_CONSTRAINT_WORD_LIST && d->constraint.word_list != nullptr) {
    SANE_Int count = d->constraint.word_list[0];
    for (SANE_Int i = 1; i <= count && i <= 4096; ++i) info.words.push_back(d->constraint.word_list[i]);
  } else if (d->constraint_type == SANE_CONSTRAINT_STRING_LIST &&
             d->constraint.string_list != nullptr) {
    for (int i = 0; d->constraint.string_list[i] != nullptr && i < 4096; ++i) {
      info.strings.emplace_back(d->constraint.string_list[i]);
    }
  } else {
    info.constraint = SANE_CONSTRAINT_NONE;
  }
  return info;
}

const OptionInfo* OptionTable::find(const std::string& name) const {
  for (const OptionInfo& option : options_) {
    if (option.name == name && SANE_OPTION_IS_ACTIVE(option.cap) &&
        SANE_OPTION_IS_SETTABLE(option.cap)) {
      return &option;
    }
  }
  return nullptr;
}

std::optional<Assignment> OptionTable::resolution(double dpi) const {
  const OptionInfo* option = find(SANE_NAME_SCAN_RESOLUTION);
  if (option == nullptr || (option->type != SANE_TYPE_INT && option->type != SANE_TYPE_FIXED)) {
    return std::nullopt;
  }
  double chosen = dpi;
  if (option->constraint == SANE_CONSTRAINT_RANGE) {
    double low = asNumber(*option, option->range.min);
    double high = asNumber(*option, option->range.max);
    double step = asNumber(*option, option->range.quant);
    chosen = std::fmin(std::fmax(dpi, low), high);
    if (step > 0) chosen = std::fmin(low + std::round((chosen - low) / step) * step, high);
  } else if (option->constraint == SANE_CONSTRAINT_WORD_LIST && !option->words.empty()) {
    chosen = asNumber(*option, option->words.front());
    for (SANE_Word w : option->words) {
      if (std::fabs(asNumber(*option, w) - dpi) < std::fabs(chosen - dpi)) chosen = asNumber(*option, w);
    }
  }
  return word(*option, asWord(*option, chosen));
}

std::optional<Assignment> OptionTable::depth(int bits) const {
  const OptionInfo* option = find(SANE_NAME_BIT_DEPTH);
  if (option == nullptr || option->type != SANE_TYPE_INT || !allows(*option, bits)) {
    return std::nullopt;
  }
  return word(*option, bits);
}

std::vector<Assignment> OptionTable::pixel(PixelKind kind) const {
  const OptionInfo* mode = find(SANE_NAME_SCAN_MODE);
  if (mode == nullptr || mode->type != SANE_TYPE_STRING) return {};
  const std::vector<std::string>& names = mode->strings;
  const std::string* color =
      pick(names, {"color", "colour", "24bitcolor", "truecolor", "rgb", "color24"},
           {"color", "colour"}, {"48", "halftone", "dither"});
  const std::string* gray =
      pick(names, {"gray", "grey", "grayscale", "greyscale", "truegray", "gray8"},
           {"gray", "grey"}, {"error", "diffusion", "halftone", "dither", "16"});
  std::vector<Assignment> out;
  if (kind == PixelKind::kBw) {
    const std::string* bw = pick(names, {"lineart", "binary", "blackwhite", "blackandwhite", "bw",
                                         "monochrome", "mono"},
                                 {"lineart", "binary"}, {});
    if (bw != nullptr) return {text(*mode, *bw)};
    // No line-art mode: gray at one bit per sample is the same page.
    std::optional<Assignment> one = depth(1);
    if (gray == nullptr || !one) return {};
    return {text(*mode, *gray), *one};
  }
  const std::string* chosen = kind == PixelKind::kGray ? gray : color;
  if (chosen == nullptr) return {};
  out.push_back(text(*mode, *chosen));
  if (std::optional<Assignment> eight = depth(8)) out.push_back(*eight);
  return out;
}

std::optional<std::vector<Assignment>> OptionTable::source(bool feeder, bool duplex) const {
  const OptionInfo* option = find(SANE_NAME_SCAN_SOURCE);
  if (option == nullptr || option->type != SANE_TYPE_STRING) {
    if (feeder || duplex) return std::nullopt;
    return std::vector<Assignment>{};
  }
  const std::string* chosen = nullptr;
  if (duplex) {
    chosen = pick(option->strings, {}, {"duplex"}, {});
  } else if (feeder) {
    chosen = pick(option->strings, {"adf", "adffront", "feeder", "documentfeeder",
                                    "automaticdocumentfeeder"},
                  {"adf", "feeder", "automaticdocument"}, {"duplex", "back"});
  } else {
    chosen = pick(option->strings, {"flatbed"}, {"flatbed", "platen", "glass"}, {});
    if (chosen == nullptr) return std::vector<Assignment>{};  // a sheet-fed device
  }
  if (chosen == nullptr) return std::nullopt;
  return std::vector<Assignment>{text(*option, *chosen)};
}

std::vector<Assignment> OptionTable::plan(const ScanSettings& settings) const {
  std::vector<Assignment> out;
  if (auto src = source(settings.feeder, settings.duplex)) out = *src;
  if (settings.pixelSet) {
    for (const Assignment& a : pixel(settings.pixel)) out.push_back(a);
  }
  if (settings.dpi > 0) {
    if (auto res = resolution(settings.dpi)) out.push_back(*res);
  }
  // The whole scan area: backends default to a small window.
  for (const char* name : {SANE_NAME_SCAN_TL_X, SANE_NAME_SCAN_TL_Y}) {
    const OptionInfo* o = find(name);
    if (o != nullptr && o->constraint == SANE_CONSTRAINT_RANGE) out.push_back(word(*o, o->range.min));
  }
  for (const char* name : {SANE_NAME_SCAN_BR_X, SANE_NAME_SCAN_BR_Y}) {
    const OptionInfo* o = find(name);
    if (o != nullptr && o->constraint == SANE_CONSTRAINT_RANGE) out.push_back(word(*o, o->range.max));
  }
  return out;
}

std::optional<Assignment> parseValue(const OptionInfo& option, const std::string& value) {
  switch (option.type) {
    case SANE_TYPE_STRING:
      if (static_cast<SANE_Int>(value.size()) >= option.size) return std::nullopt;
      return text(option, value);
    case SANE_TYPE_BOOL: {
      std::string n = normal(value);
      if (n == "yes" || n == "true" || n == "1") return word(option, SANE_TRUE);
      if (n == "no" || n == "false" || n == "0") return word(option, SANE_FALSE);
      return std::nullopt;
    }
    case SANE_TYPE_INT:
    case SANE_TYPE_FIXED: {
      char* end = nullptr;
      double number = std::strtod(value.c_str(), &end);
      const double limit = option.type == SANE_TYPE_FIXED ? 32767.0 : 2147483647.0;
      if (value.empty() || *end != '\0' || !std::isfinite(number) || std::fabs(number) > limit) {
        return std::nullopt;
      }
      return word(option, asWord(option, number));
    }
    default:
      return std::nullopt;
  }
}

Offers OptionTable::offers() const {
  Offers out;
  const auto value = asNumber;
  if (const OptionInfo* o = find(SANE_NAME_SCAN_RESOLUTION);
      o != nullptr && (o->type == SANE_TYPE_INT || o->type == SANE_TYPE_FIXED)) {
    if (o->constraint == SANE_CONSTRAINT_RANGE) {
      out.hasResolution = out.resolutionRange = true;
      out.min = value(*o, o->range.min);
      out.max = value(*o, o->range.max);
      // No quantisation: any value, which TWAIN says in whole dpi.
      out.step = o->range.quant > 0 ? value(*o, o->range.quant) : 1;
    } else if (o->constraint == SANE_CONSTRAINT_WORD_LIST && !o->words.empty()) {
      out.hasResolution = true;
      for (SANE_Word w : o->words) out.resolutions.push_back(value(*o, w));
    }
  }
  for (PixelKind kind : {PixelKind::kBw, PixelKind::kGray, PixelKind::kColor}) {
    if (!pixel(kind).empty()) out.pixels.push_back(kind);
  }
  out.feeder = source(true, false).has_value();
  out.duplex = source(true, true).has_value();
  // The scan area in millimetres; a backend that counts in pixels says nothing.
  auto extent = [&](const char* from, const char* to) {
    const OptionInfo* end = find(to);
    if (end == nullptr || end->unit != SANE_UNIT_MM || end->constraint != SANE_CONSTRAINT_RANGE) {
      return 0.0;
    }
    const OptionInfo* start = find(from);
    const double low = start != nullptr && start->constraint == SANE_CONSTRAINT_RANGE
                           ? value(*start, start->range.min)
                           : 0.0;
    const double mm = value(*end, end->range.max) - low;
    return mm > 0 ? mm / 25.4 : 0.0;
  };
  out.width = extent(SANE_NAME_SCAN_TL_X, SANE_NAME_SCAN_BR_X);
  out.height = extent(SANE_NAME_SCAN_TL_Y, SANE_NAME_SCAN_BR_Y);
  return out;
}

}  // namespace lumra::sane_source
