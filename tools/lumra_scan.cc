// lumra-scan: the command-line client. Each verb lives in its own file and
// has one line in the table below.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "lumra_version.h"
#include "tools/encode_command.h"
#include "tools/manifest_command.h"
#include "tools/scan_commands.h"

namespace {

struct Verb {
  const char* name;
  const char* summary;
  int (*run)(const std::vector<std::string>& args);
  const char* help;
};

const Verb kVerbs[] = {
    {"list", "list the scanners the host finds", lumra::runListVerb, lumra::kListHelp},
    {"caps", "print what a scanner offers", lumra::runCapsVerb, lumra::kCapsHelp},
    {"scan", "run a scan job and write its pages", lumra::runScanVerb, lumra::kScanHelp},
    {"remove", "ask the host to delete page files", lumra::runRemoveVerb, lumra::kRemoveHelp},
    {"raw", "send one request as it is and print the answer", lumra::runRawVerb, lumra::kRawHelp},
    {"encode", "write a .bmp as any page format", lumra::runEncodeVerb, lumra::kEncodeHelp},
    {"manifests", "write the browsers' manifests of the host", lumra::runManifestsVerb,
     lumra::kManifestsHelp},
};

void printUsage(FILE* out) {
  std::fputs("usage: lumra-scan VERB [options]   (lumra-scan VERB --help for its options)\n", out);
  for (const Verb& verb : kVerbs) std::fprintf(out, "  %-10s %s\n", verb.name, verb.summary);
  std::fputs("  --version  print the version\n", out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    printUsage(stderr);
    return 2;
  }
  const std::string name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    printUsage(stdout);
    return 0;
  }
  if (name == "--version") {
    std::printf("lumra-scan %s\n", LUMRA_VERSION);
    return 0;
  }
  for (const Verb& verb : kVerbs) {
    if (name != verb.name) continue;
    std::vector<std::string> args(argv + 2, argv + argc);
    for (const std::string& arg : args) {
      if (arg == "--help" || arg == "-h") {
        std::fputs(verb.help, stdout);
        return 0;
      }
    }
    return verb.run(args);
  }
  std::fprintf(stderr, "lumra-scan: unknown verb \"%s\"\n", name.c_str());
  printUsage(stderr);
  return 2;
}
