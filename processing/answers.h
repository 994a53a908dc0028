// Answers: the echo of the request, "status", the payload of the command,
// and the split series that hands out large answers slice by slice.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "json/json.h"
#include "scanning/image_scanning.h"
#include "scanning/source_capabilities.h"

namespace lumra {

/// Builds the answer to `request` (may be null or not an object: then
/// nothing is echoed) as compact UTF-8 JSON into `out`. Page files of
/// "scannerProcessing", "scannerProcessingSocketPartSend" and a new split
/// series are read into the answer and deleted; a split command answers with
/// the next slice of its series (see SplitRegistry). `requestLength` is the
/// frame length of the request; `last` is echoed by
/// "scannerProcessingSocketPartSend". `capabilities`, when given, becomes
/// the "capabilities" member.
void createAnswer(const JsonValue* request, uint32_t requestLength, uint32_t code,
                  const std::u16string& status, const std::u16string& description,
                  const std::vector<std::string>& pages, const ScannerList& scanners, bool last,
                  std::string* out, const SourceCapabilities* capabilities = nullptr);

/// Appends the page item for the file at `path` (ANSI) to `pagesText`, which
/// ends in the "pages" array's '[' or in an earlier item (then a comma goes
/// first), with
/// number `*counter`; then deletes the file whatever the read gave, and
/// advances the counter. An unreadable file gives the item with
/// "description": "Error create page", and so does a page whose text would
/// make `pagesText` longer than `limit` bytes (the answer's memory budget).
void createItemPage(const std::string& path, std::string* pagesText, uint32_t* counter,
                    uint64_t limit = UINT64_MAX);

/// Text after the last '.' anywhere in `path`; "unknow" when there is none.
std::string fileExtensionOf(const std::string& path);

}  // namespace lumra
