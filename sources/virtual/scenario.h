// The virtual scanner's script: which sources it presents and how each one
// behaves. Format and examples in README.md.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "twain/twain.h"

namespace lumra::virtual_scanner {

enum class Compression { kNone, kRle, kBitfields };
enum class Ready { kEnable, kThread, kNever };
enum class LateNotify { kNone, kDisable, kClose };
enum class HandleFault { kNone, kNull, kTruncated };

/// What one step answers when the scenario overrides it.
struct StepAnswer {
  TW_UINT16 rc = TWRC_FAILURE;
  TW_UINT16 cc = TWCC_SUCCESS;
};

/// Everything the scenario says about one source.
struct SourceScript {
  TW_UINT32 id = 0;
  std::string name = "Lumra Virtual Scanner";
  std::string manufacturer = "Lumra";
  std::string family = "Virtual";
  bool twain2 = true;

  unsigned resolution = 150;
  TW_UINT16 pixelType = TWPT_RGB;
  int width = 0;   ///< pixels; 0: A4 at the current resolution
  int height = 0;  ///< pixels; 0: A4 at the current resolution
  int pages = -1;  ///< -1: 1 flatbed, 3 feeder, doubled for duplex
  bool pendingUnknown = false;

  int depth = 0;  ///< 0: by pixel type
  Compression compression = Compression::kNone;
  bool topDown = false;
  int ppm = -1;  ///< -1: from the resolution

  Ready ready = Ready::kThread;
  unsigned readyDelayMs = 10;
  TW_UINT16 notifyMessage = MSG_XFERREADY;
  int notifyCount = 1;
  LateNotify lateNotify = LateNotify::kNone;
  /// At MSG_ENABLEDS, open a window on the calling thread and report ready
  /// only once that window has received a message posted to it.
  bool window = false;
  /// Accept operations out of the TWAIN state order, as older builds of this
  /// source did, instead of refusing them as a VIOLATION.
  bool lenient = false;

  /// What MSG_GET tells of the device: resolutions as a list (enumeration)
  /// or, when resolutionStep is set, a range; pixel types; feeder, duplex
  /// (a TWDX value), whether it runs without its dialog, its bed in inches.
  std::vector<unsigned> resolutions;
  unsigned resolutionMin = 25, resolutionMax = 1200, resolutionStep = 1;
  std::vector<TW_UINT16> pixelTypes = {TWPT_BW, TWPT_GRAY, TWPT_RGB};
  bool hasFeeder = true;
  TW_UINT16 duplexKind = 1;  ///< TWDX_1PASSDUPLEX
  bool uiControllable = true;
  double pageWidth = 8.27, pageHeight = 11.69;
  std::vector<TW_UINT16> unsupported;  ///< capabilities MSG_GET refuses

  std::map<TW_UINT16, TW_UINT16> refused;    ///< capability -> condition code
  std::map<std::string, TW_UINT16> failCode;  ///< step -> condition code
  std::map<std::string, TW_UINT16> returnCode;  ///< step -> return code
  std::map<int, HandleFault> handles;          ///< page (-1: every page) -> fault
  std::string stdoutText;

  /// The scripted answer of a step ("xfer" with page 2 looks up "xfer.2",
  /// then "xfer.*"); nothing when the step behaves normally.
  std::optional<StepAnswer> answer(const std::string& step, int page = -1) const;
  /// The handle fault for a page.
  HandleFault handleFault(int page) const;
};

/// A parsed scenario.
struct Scenario {
  std::vector<SourceScript> sources;
  std::vector<std::string> errors;  ///< "line=N error=\"...\"" for skipped lines
};

/// Parses scenario text; bad lines are skipped and listed in errors.
Scenario parseScenario(std::string_view text);

/// The well-mannered default: a TWAIN 2 and a TWAIN 1 source.
Scenario defaultScenario();

/// The scenario named by LUMRA_VIRTUAL_SCENARIO, or the default. A file that
/// cannot be read yields no sources and an error.
Scenario loadScenario();

/// Names for journal lines: "ICAP_XRESOLUTION", "XFERREADY"; numbers otherwise.
std::string capabilityName(TW_UINT16 cap);
std::string messageName(TW_UINT16 msg);

}  // namespace lumra::virtual_scanner
