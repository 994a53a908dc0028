#include "sources/virtual/scenario.h"

#include <cctype>
#include <cstdio>
#include <iterator>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <utility>

namespace lumra::virtual_scanner {

namespace {

struct Named {
  const char* name;
  unsigned value;
};

const Named kConditionCodes[] = {
    {"SUCCESS", TWCC_SUCCESS},         {"BUMMER", TWCC_BUMMER},
    {"LOWMEMORY", TWCC_LOWMEMORY},     {"NODS", TWCC_NODS},
    {"MAXCONNECTIONS", TWCC_MAXCONNECTIONS}, {"OPERATIONERROR", TWCC_OPERATIONERROR},
    {"BADCAP", TWCC_BADCAP},           {"BADPROTOCOL", TWCC_BADPROTOCOL},
    {"BADVALUE", TWCC_BADVALUE},       {"SEQERROR", TWCC_SEQERROR},
    {"BADDEST", TWCC_BADDEST},         {"CAPUNSUPPORTED", TWCC_CAPUNSUPPORTED},
    {"CAPBADOPERATION", TWCC_CAPBADOPERATION}, {"CAPSEQERROR", TWCC_CAPSEQERROR},
    {"DENIED", TWCC_DENIED},           {"FILEEXISTS", TWCC_FILEEXISTS},
    {"FILENOTFOUND", TWCC_FILENOTFOUND}, {"NOTEMPTY", TWCC_NOTEMPTY},
    {"PAPERJAM", TWCC_PAPERJAM},       {"PAPERDOUBLEFEED", TWCC_PAPERDOUBLEFEED},
    {"FILEWRITEERROR", TWCC_FILEWRITEERROR}, {"CHECKDEVICEONLINE", TWCC_CHECKDEVICEONLINE},
};

const Named kReturnCodes[] = {
    {"SUCCESS", TWRC_SUCCESS},     {"FAILURE", TWRC_FAILURE},   {"CHECKSTATUS", TWRC_CHECKSTATUS},
    {"CANCEL", TWRC_CANCEL},       {"DSEVENT", TWRC_DSEVENT},   {"NOTDSEVENT", TWRC_NOTDSEVENT},
    {"XFERDONE", TWRC_XFERDONE},   {"ENDOFLIST", TWRC_ENDOFLIST},
};

const Named kCapabilities[] = {
    {"CAP_XFERCOUNT", CAP_XFERCOUNT},         {"ICAP_COMPRESSION", ICAP_COMPRESSION},
    {"ICAP_PIXELTYPE", ICAP_PIXELTYPE},       {"ICAP_UNITS", ICAP_UNITS},
    {"ICAP_XFERMECH", ICAP_XFERMECH},         {"CAP_FEEDERENABLED", CAP_FEEDERENABLED},
    {"CAP_FEEDERLOADED", CAP_FEEDERLOADED},   {"CAP_SUPPORTEDCAPS", CAP_SUPPORTEDCAPS},
    {"CAP_INDICATORS", CAP_INDICATORS},       {"CAP_UICONTROLLABLE", CAP_UICONTROLLABLE},
    {"CAP_DUPLEX", CAP_DUPLEX},               {"CAP_DUPLEXENABLED", CAP_DUPLEXENABLED},
    {"ICAP_PHYSICALWIDTH", ICAP_PHYSICALWIDTH}, {"ICAP_PHYSICALHEIGHT", ICAP_PHYSICALHEIGHT},
    {"ICAP_XRESOLUTION", ICAP_XRESOLUTION},   {"ICAP_YRESOLUTION", ICAP_YRESOLUTION},
    {"ICAP_BITDEPTH", ICAP_BITDEPTH},
};

const Named kMessages[] = {
    {"XFERREADY", MSG_XFERREADY}, {"CLOSEDSREQ", MSG_CLOSEDSREQ},
    {"CLOSEDSOK", MSG_CLOSEDSOK}, {"DEVICEEVENT", MSG_DEVICEEVENT},
};

std::string trim(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return std::string(text.substr(begin, end - begin));
}

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool parseNumber(const std::string& text, unsigned long max, unsigned long* out) {
  if (text.empty()) return false;
  const char* begin = text.c_str();
  char* end = nullptr;
  if (text[0] == '-' || text[0] == '+') return false;
  unsigned long value = std::strtoul(begin, &end, 0);
  if (end == begin || *end != '\0' || value > max) return false;
  *out = value;
  return true;
}

// A code given by name (with or without its prefix) or by number.
bool parseNamed(const std::string& text, const Named* table, size_t count, const char* prefix,
                unsigned long max, unsigned long* out) {
  if (parseNumber(text, max, out)) return true;
  std::string key = upper(text);
  std::string fullPrefix = prefix;
  if (key.rfind(fullPrefix, 0) == 0) key = key.substr(fullPrefix.size());
  for (size_t i = 0; i < count; ++i) {
    std::string name = table[i].name;
    if (name.rfind(fullPrefix, 0) == 0) name = name.substr(fullPrefix.size());
    if (key == name) {
      *out = table[i].value;
      return true;
    }
  }
  return false;
}

bool parseBool(const std::string& text, bool* out) {
  std::string v = lower(text);
  if (v == "yes" || v == "true" || v == "1" || v == "on") {
    *out = true;
    return true;
  }
  if (v == "no" || v == "false" || v == "0" || v == "off") {
    *out = false;
    return true;
  }
  return false;
}

bool parseCapability(const std::string& text, unsigned long* out) {
  if (parseNumber(text, 0xFFFF, out)) return true;
  std::string key = upper(text);
  for (const Named& n : kCapabilities) {
    if (key == n.name) {
      *out = n.value;
      return true;
    }
  }
  return false;
}

bool validStep(const std::string& step) {
  static const char* plain[] = {"opends", "closeds", "enableds", "disableds",
                                "processevent", "reset", "capability", "capget"};
  for (const char* p : plain) {
    if (step == p) return true;
  }
  for (const char* paged : {"xfer.", "endxfer."}) {
    std::string prefix = paged;
    if (step.rfind(prefix, 0) != 0) continue;
    std::string page = step.substr(prefix.size());
    unsigned long n = 0;
    return page == "*" || parseNumber(page, 1u << 20, &n);
  }
  return false;
}

// Applies one key to a source; returns an error text or "".
std::string apply(SourceScript& s, const std::string& rawKey, const std::string& value) {
  std::string key = lower(rawKey);
  unsigned long n = 0;
  bool b = false;
  if (key == "id") {
    if (!parseNumber(value, 0xFFFFFFFFul, &n)) return "bad id";
    s.id = static_cast<TW_UINT32>(n);
  } else if (key == "name" || key == "manufacturer" || key == "family") {
    if (value.size() > 33) return "longer than 33 bytes";
    (key == "name" ? s.name : key == "manufacturer" ? s.manufacturer : s.family) = value;
  } else if (key == "twain2") {
    if (!parseBool(value, &b)) return "expected yes or no";
    s.twain2 = b;
  } else if (key == "resolution") {
    if (!parseNumber(value, 1200, &n) || n < 25) return "resolution must be 25 to 1200";
    s.resolution = static_cast<unsigned>(n);
  } else if (key == "pixel_type") {
    std::string v = lower(value);
    if (v == "bw") s.pixelType = TWPT_BW;
    else if (v == "gray") s.pixelType = TWPT_GRAY;
    else if (v == "rgb") s.pixelType = TWPT_RGB;
    else return "expected bw, gray or rgb";
  } else if (key == "width" || key == "height") {
    if (!parseNumber(value, 30000, &n) || n == 0) return "size must be 1 to 30000";
    (key == "width" ? s.width : s.height) = static_cast<int>(n);
  } else if (key == "pages") {
    if (!parseNumber(value, 100000, &n)) return "bad page count";
    s.pages = static_cast<int>(n);
  } else if (key == "pending") {
    std::string v = lower(value);
    if (v != "exact" && v != "unknown") return "expected exact or unknown";
    s.pendingUnknown = v == "unknown";
  } else if (key == "depth") {
    if (!parseNumber(value, 32, &n) ||
        (n != 1 && n != 4 && n != 8 && n != 16 && n != 24 && n != 32)) {
      return "depth must be 1, 4, 8, 16, 24 or 32";
    }
    s.depth = static_cast<int>(n);
  } else if (key == "compression") {
    std::string v = lower(value);
    if (v == "none" || v == "rgb") s.compression = Compression::kNone;
    else if (v == "rle") s.compression = Compression::kRle;
    else if (v == "bitfields") s.compression = Compression::kBitfields;
    else return "expected none, rle or bitfields";
  } else if (key == "topdown") {
    if (!parseBool(value, &b)) return "expected yes or no";
    s.topDown = b;
  } else if (key == "ppm") {
    if (!parseNumber(value, 1000000, &n)) return "bad pixels per metre";
    s.ppm = static_cast<int>(n);
  } else if (key == "ready") {
    std::string v = lower(value);
    if (v == "enable") s.ready = Ready::kEnable;
    else if (v == "thread") s.ready = Ready::kThread;
    else if (v == "never") s.ready = Ready::kNever;
    else return "expected enable, thread or never";
  } else if (key == "resolutions") {
    // "75 150 300" lists them; "50-1200/25" is a range.
    std::string v = value;
    size_t dash = v.find('-');
    if (dash != std::string::npos) {
      size_t slash = v.find('/');
      unsigned long lo = 0, hi = 0, step = 1;
      if (!parseNumber(trim(v.substr(0, dash)), 65535, &lo) ||
          !parseNumber(trim(v.substr(dash + 1, slash == std::string::npos ? std::string::npos
                                                                           : slash - dash - 1)),
                       65535, &hi) ||
          (slash != std::string::npos && !parseNumber(trim(v.substr(slash + 1)), 65535, &step)) ||
          lo > hi || step == 0) {
        return "expected a list or min-max/step";
      }
      s.resolutions.clear();
      s.resolutionMin = static_cast<unsigned>(lo);
      s.resolutionMax = static_cast<unsigned>(hi);
      s.resolutionStep = static_cast<unsigned>(step);
    } else {
      for (char& c : v) {
        if (c == ',') c = ' ';
      }
      std::istringstream words(v);
      std::string word;
      std::vector<unsigned> list;
      while (words >> word) {
        if (!parseNumber(word, 65535, &n)) return "bad resolution " + word;
        list.push_back(static_cast<unsigned>(n));
      }
      if (list.empty()) return "expected resolutions";
      s.resolutions = list;
    }
  } else if (key == "pixel_types") {
    std::istringstream words(lower(value));
    std::string word;
    std::vector<TW_UINT16> types;
    while (words >> word) {
      if (word == "bw") types.push_back(TWPT_BW);
      else if (word == "gray") types.push_back(TWPT_GRAY);
      else if (word == "rgb") types.push_back(TWPT_RGB);
      else return "expected bw, gray or rgb";
    }
    s.pixelTypes = types;
  } else if (key == "has_feeder") {
    if (!parseBool(value, &b)) return "expected yes or no";
    s.hasFeeder = b;
  } else if (key == "duplex_kind") {
    std::string v = lower(value);
    if (v == "none") s.duplexKind = 0;
    else if (v == "1pass") s.duplexKind = 1;
    else if (v == "2pass") s.duplexKind = 2;
    else return "expected none, 1pass or 2pass";
  } else if (key == "ui_controllable") {
    if (!parseBool(value, &b)) return "expected yes or no";
    s.uiControllable = b;
  } else if (key == "page_size") {
    std::istringstream words(value);
    double w = 0, h = 0;
    if (!(words >> w >> h) || w <= 0 || h <= 0 || w > 1000 || h > 1000) {
      return "expected width and height in inches";
    }
    s.pageWidth = w;
    s.pageHeight = h;
  } else if (key == "unsupported") {
    std::string list = value;
    for (char& c : list) {
      if (c == ',') c = ' ';
    }
    std::istringstream words(list);
    std::string word;
    std::vector<TW_UINT16> caps;
    while (words >> word) {
      unsigned long cap = 0;
      if (!parseCapability(word, &cap)) return "unknown capability " + word;
      caps.push_back(static_cast<TW_UINT16>(cap));
    }
    s.unsupported = caps;
  } else if (key == "window") {
    std::string v = lower(value);
    if (v == "none") s.window = false;
    else if (v == "thread") s.window = true;
    else return "expected none or thread";
  } else if (key == "lenient") {
    if (!parseBool(value, &b)) return "expected yes or no";
    s.lenient = b;
  } else if (key == "ready_delay") {
    if (!parseNumber(value, 600000, &n)) return "bad delay";
    s.readyDelayMs = static_cast<unsigned>(n);
  } else if (key == "notify") {
    unsigned long msg = 0;
    if (!parseNamed(value, kMessages, std::size(kMessages), "MSG_", 0xFFFF, &msg)) {
      return "expected xferready, closedsreq or closedsok";
    }
    s.notifyMessage = static_cast<TW_UINT16>(msg);
  } else if (key == "cancel") {
    if (lower(value) != "dialog") return "expected dialog";
    s.notifyMessage = MSG_CLOSEDSREQ;
  } else if (key == "notify_count") {
    if (!parseNumber(value, 100, &n)) return "bad count";
    s.notifyCount = static_cast<int>(n);
  } else if (key == "late_notify") {
    std::string v = lower(value);
    if (v == "none") s.lateNotify = LateNotify::kNone;
    else if (v == "disable") s.lateNotify = LateNotify::kDisable;
    else if (v == "close") s.lateNotify = LateNotify::kClose;
    else return "expected none, disable or close";
  } else if (key == "refuse") {
    std::string list = value;
    for (char& c : list) {
      if (c == ',') c = ' ';
    }
    std::istringstream words(list);
    std::string word;
    std::map<TW_UINT16, TW_UINT16> refused;
    while (words >> word) {
      size_t colon = word.find(':');
      unsigned long cap = 0;
      unsigned long cc = TWCC_CAPUNSUPPORTED;
      if (!parseCapability(word.substr(0, colon), &cap)) return "unknown capability " + word;
      if (colon != std::string::npos &&
          !parseNamed(word.substr(colon + 1), kConditionCodes, std::size(kConditionCodes),
                      "TWCC_", 0xFFFF, &cc)) {
        return "unknown condition code in " + word;
      }
      refused[static_cast<TW_UINT16>(cap)] = static_cast<TW_UINT16>(cc);
    }
    s.refused.insert(refused.begin(), refused.end());
  } else if (key.rfind("fail.", 0) == 0 || key.rfind("return.", 0) == 0) {
    bool isFail = key[0] == 'f';
    std::string step = key.substr(isFail ? 5 : 7);
    if (!validStep(step)) return "unknown step " + step;
    if (isFail) {
      if (!parseNamed(value, kConditionCodes, std::size(kConditionCodes), "TWCC_", 0xFFFF, &n)) {
        return "unknown condition code";
      }
      s.failCode[step] = static_cast<TW_UINT16>(n);
    } else {
      if (!parseNamed(value, kReturnCodes, std::size(kReturnCodes), "TWRC_", 0xFFFF, &n)) {
        return "unknown return code";
      }
      s.returnCode[step] = static_cast<TW_UINT16>(n);
    }
  } else if (key.rfind("handle.", 0) == 0) {
    std::string page = key.substr(7);
    int index = -1;
    if (page != "*") {
      if (!parseNumber(page, 1u << 20, &n)) return "bad page number";
      index = static_cast<int>(n);
    }
    std::string v = lower(value);
    if (v == "null") s.handles[index] = HandleFault::kNull;
    else if (v == "truncated") s.handles[index] = HandleFault::kTruncated;
    else if (v == "full") s.handles[index] = HandleFault::kNone;
    else return "expected null or truncated";
  } else if (key == "stdout") {
    s.stdoutText = value;
  } else {
    return "unknown key " + rawKey;
  }
  return "";
}

}  // namespace

std::optional<StepAnswer> SourceScript::answer(const std::string& step, int page) const {
  std::vector<std::string> keys;
  if (page >= 0) {
    keys.push_back(step + "." + std::to_string(page));
    keys.push_back(step + ".*");
  } else {
    keys.push_back(step);
  }
  for (const std::string& key : keys) {
    auto r = returnCode.find(key);
    auto f = failCode.find(key);
    if (r == returnCode.end() && f == failCode.end()) continue;
    StepAnswer out;
    out.rc = r != returnCode.end() ? r->second : TWRC_FAILURE;
    out.cc = f != failCode.end() ? f->second : TWCC_SUCCESS;
    return out;
  }
  return std::nullopt;
}

HandleFault SourceScript::handleFault(int page) const {
  auto it = handles.find(page);
  if (it == handles.end()) it = handles.find(-1);
  return it == handles.end() ? HandleFault::kNone : it->second;
}

Scenario parseScenario(std::string_view text) {
  Scenario out;
  SourceScript defaults;
  bool inSource = false;
  int lineNumber = 0;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string line(text.substr(pos, end - pos));
    pos = end + 1;
    ++lineNumber;
    size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    line = trim(line);
    if (line.empty()) {
      if (end == text.size()) break;
      continue;
    }
    auto error = [&](const std::string& what) {
      out.errors.push_back("line=" + std::to_string(lineNumber) + " error=\"" + what + "\"");
    };
    if (line.front() == '[') {
      if (lower(line) != "[source]") {
        error("unknown section " + line);
      } else {
        out.sources.push_back(defaults);
        inSource = true;
      }
      continue;
    }
    size_t equals = line.find('=');
    if (equals == std::string::npos) {
      error("expected key = value");
      continue;
    }
    std::string key = trim(std::string_view(line).substr(0, equals));
    std::string value = trim(std::string_view(line).substr(equals + 1));
    std::string problem = apply(inSource ? out.sources.back() : defaults, key, value);
    if (!problem.empty()) error(problem);
    if (end == text.size()) break;
  }
  if (out.sources.empty()) out.sources.push_back(defaults);
  return out;
}

Scenario defaultScenario() {
  Scenario out;
  SourceScript modern;
  modern.id = 1;
  out.sources.push_back(modern);
  SourceScript classic;
  classic.id = 2;
  classic.name = "Lumra Virtual Scanner (TWAIN 1)";
  classic.twain2 = false;
  out.sources.push_back(classic);
  return out;
}

Scenario loadScenario() {
  const char* path = std::getenv("LUMRA_VIRTUAL_SCENARIO");
  if (path == nullptr || *path == '\0') return defaultScenario();
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    Scenario out;
    out.errors.push_back(std::string("line=0 error=\"cannot read ") + path + "\"");
    return out;
  }
  std::ostringstream text;
  text << in.rdbuf();
  return parseScenario(text.str());
}

std::string capabilityName(TW_UINT16 cap) {
  for (const Named& n : kCapabilities) {
    if (n.value == cap) return n.name;
  }
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%04x", cap);
  return buffer;
}

std::string messageName(TW_UINT16 msg) {
  for (const Named& n : kMessages) {
    if (n.value == msg) return n.name;
  }
  return std::to_string(msg);
}

}  // namespace lumra::virtual_scanner
