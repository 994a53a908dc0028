#include "host/client_stdin_stdout.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>

#include <utf8.h>

#include "log/log.h"
#include "processing/image_json_processing.h"

namespace lumra {

HANDLE savedStdoutHandle = INVALID_HANDLE_VALUE;

namespace {

// A byte that cannot be read counts as 0, so the end of input reads as length 0.
uint32_t readLength(std::FILE* input) {
  uint32_t length = 0;
  for (int i = 0; i < 4; ++i) {
    unsigned char byte = 0;
    if (std::fread(&byte, 1, 1, input) != 1) byte = 0;
    length |= static_cast<uint32_t>(byte) << (8 * i);
  }
  return length;
}

// Reads and drops `length` bytes (or up to the end of input).
void discardBody(std::FILE* input, uint32_t length) {
  char chunk[1 << 16];
  while (length > 0) {
    size_t want = length < sizeof chunk ? length : sizeof chunk;
    size_t got = std::fread(chunk, 1, want, input);
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

// Reads the body into `body`, growing it only as bytes arrive (a length
// prefix alone reserves nothing); input that ends early gives a short body,
// read like one padded with zero bytes. False when there is no memory for it; then the rest of the
// body is read and dropped, so the next frame still starts in place.
bool readBody(std::FILE* input, uint32_t length, std::string* body) {
  size_t done = 0;
  bool ended = false;
  while (done < length && !ended) {
    size_t want = std::min<size_t>(length - done, std::max<size_t>(done, 1 << 16));
    try {
      body->resize(done + want);
    } catch (const std::bad_alloc&) {
      body->clear();
      body->shrink_to_fit();
      discardBody(input, static_cast<uint32_t>(length - done));
      return false;
    }
    size_t got = std::fread(body->data() + done, 1, want, input);
    done += got;
    ended = got < want;
  }
  body->resize(done);
  return true;
}

constexpr std::string_view kOutOfMemoryAnswer =
    "{\"status\":{\"code\":0,\"description\":\"Not enough memory to answer the request\","
    "\"result\":\"error\"}}";

// One request: reads its body and answers it. False, with nothing written
// to `answer`, when memory ran out on the way.
bool answerRequest(std::FILE* input, uint32_t length, std::string* answer) {
  try {
    std::u16string text;
    if (length > kMaxRequestBytes) {
      discardBody(input, length);
    } else {
      std::string body;
      if (!readBody(input, length, &body)) return false;
      text = toWide(body);
    }
    LUMRA_LOG_AS(verbose, "lumra::ImageClientStdinStdout::loopClientStdinStdout") << "Read message: " << text;
    ImageJsonProcessing::processingMessage(
        text, length, answer,
        [](std::string_view frame) { ImageClientStdinStdout::writeMessage(frame); });
    return true;
  } catch (const std::bad_alloc&) {
    answer->clear();
    return false;
  }
}

}  // namespace

int ImageClientStdinStdout::loopClientStdinStdout() { return loopClientStdinStdout(stdin); }

int ImageClientStdinStdout::loopClientStdinStdout(std::FILE* input) {
  for (;;) {
    uint32_t length = readLength(input);
    LOG_DEBUG << "Read message size: " << length;
    if (length == 0) return 0;

    std::string answer;
    // Whatever runs out of memory is answered, and the loop goes on.
    if (!answerRequest(input, length, &answer)) {
      LOG_ERROR << "Not enough memory to answer the request";
      writeMessage(kOutOfMemoryAnswer);
      continue;
    }
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
