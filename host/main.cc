// The host process: one instance per user session, answering framed
// requests on standard input until it ends.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host/client_stdin_stdout.h"
#include "log/log.h"
#include "lumra_version.h"
#include "platform/resources.h"
#include "platform/std_streams.h"
#include "platform/win32.h"
#include "processing/answers.h"
#include "processing/image_json_processing.h"

namespace {

constexpr char kInstanceMutex[] = "lumraImageScanningWebExtLock";

// The second instance tells its caller and leaves the first one alone.
int answerAlreadyRunning() {
  std::string answer;
  lumra::createAnswer(nullptr, 0, 0, u"error", u"The application is already running", {}, {},
                      true, &answer);
  lumra::savedStdoutHandle = GetStdHandle(STD_OUTPUT_HANDLE);
  lumra::ImageClientStdinStdout::writeMessage(answer);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  // Browsers pass arguments of their own (origin, window); only this one is ours.
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("lumra-scan-host %s\n", LUMRA_VERSION);
    return 0;
  }
  lumra::failWritesInsteadOfSignals();
  HANDLE running = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, kInstanceMutex);
  if (running != nullptr) {
    CloseHandle(running);
    return answerAlreadyRunning();
  }
  HANDLE instance = CreateMutexA(nullptr, FALSE, kInstanceMutex);
  // Two hosts started at the same moment both pass the check above; the
  // later one learns it here.
  if (instance != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(instance);
    return answerAlreadyRunning();
  }
  InitializeCriticalSection(&lumra::workFolderLock);
  lumra::startLog(lumra::Severity::debug);
  LOG_DEBUG << "Version " << LUMRA_VERSION;
  _setmode(_fileno(stdin), _O_BINARY);

  lumra::growStdoutPipe();

  int exitCode = 1;
  lumra::savedStdoutHandle = GetStdHandle(STD_OUTPUT_HANDLE);
  if (lumra::savedStdoutHandle == INVALID_HANDLE_VALUE) {
    LOG_ERROR << "Error get STD_OUTPUT_HANDLE...";
  } else {
    HANDLE errorHandle = GetStdHandle(STD_ERROR_HANDLE);
    if (errorHandle == INVALID_HANDLE_VALUE) {
      LOG_ERROR << "Error get STD_ERROR_HANDLE...";
    } else if (!SetStdHandle(STD_OUTPUT_HANDLE, errorHandle)) {
      LOG_ERROR << "Error set STD_OUTPUT_HANDLE to STD_ERROR_HANDLE...";
    } else {
      // Drivers printing through the C runtime use its own descriptor 1.
      lumra::keepRuntimeStdoutOffThePipe(&lumra::savedStdoutHandle);
      exitCode = lumra::ImageClientStdinStdout::loopClientStdinStdout();
    }
  }

  // Every block of a transfer is freed by the end of its job.
  if (int64_t live = lumra::liveGlobalBlocks(); live > 0) {
    LOG_ERROR << "Global memory blocks alive at exit: " << live;
  }
  DeleteCriticalSection(&lumra::workFolderLock);
  if (instance != nullptr) {
    ReleaseMutex(instance);
    CloseHandle(instance);  // the last answer is out: the name may go
  }
  return exitCode;
}
