#include "host/client_stdin_stdout.h"

#include <cstdio>
#include <iterator>
#include <string>

#include <utf8.h>

#include "host/log.h"
#include "processing/image_json_processing.h"

namespace lumra {

HANDLE savedStdoutHandle = INVALID_HANDLE_VALUE;

namespace {

// A byte that cannot be read counts as 0, so the end of input reads as length 0.
uint32_t readLength() {
  uint32_t length = 0;
  for (int i = 0; i < 4; ++i) {
    unsigned char byte = 0;
    if (std::fread(&byte, 1, 1, stdin) != 1) byte = 0;
    length |= static_cast<uint32_t>(byte) << (8 * i);
  }
  return length;
}

// Reads and drops `length` bytes (or up to the end of input).
void discardBody(uint32_t length) {
  char chunk[1 << 16];
  while (length > 0) {
    size_t want = length < sizeof chunk ? length : sizeof chunk;
    size_t got = std::fread(chunk, 1, want, stdin);
    if (got == 0) return;
    length -= static_cast<uint32_t>(got);
  }
}

// UTF-8 to UTF-16; empty when the bytes are not valid UTF-8, which then
// answers as a request that does not parse.
std::u16string toWide(const std::string& body) {
  std::u16string text;
  if (!utf8::is_valid(body.begin(), body.end())) return text;
  text.reserve(body.size());
  utf8::unchecked::utf8to16(body.begin(), body.end(), std::back_inserter(text));
  return text;
}

}  // namespace

int ImageClientStdinStdout::loopClientStdinStdout() {
  for (;;) {
    uint32_t length = readLength();
    LOG_DEBUG << "Read message size: " << length;
    if (length == 0) return 0;

    std::u16string text;
    if (length > kMaxRequestBytes) {
      discardBody(length);
    } else {
      // Input that ends early leaves the tail as zero bytes.
      std::string body(length, '\0');
      size_t got = std::fread(body.data(), 1, length, stdin);
      (void)got;
      text = toWide(body);
    }
    LOG_VERBOSE << "Read message: " << text;

    std::string answer;
    ImageJsonProcessing::processingMessage(text, length, &answer);
    LOG_VERBOSE << "Send message: " << answer;
    writeMessage(answer);
  }
}

void ImageClientStdinStdout::writeMessage(std::string_view message) {
  uint32_t length = static_cast<uint32_t>(message.size());
  LOG_DEBUG << "Write message size: " << length;
  if (length == 0) return;
  DWORD written = 0;
  for (int i = 0; i < 4; ++i) {
    unsigned char byte = static_cast<unsigned char>((length >> (8 * i)) & 0xFF);
    WriteFile(savedStdoutHandle, &byte, 1, &written, nullptr);
  }
  WriteFile(savedStdoutHandle, message.data(), length, &written, nullptr);
}

}  // namespace lumra
