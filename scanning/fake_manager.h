// Test support: an in-process stand-in for the Data Source Manager and its
// source, installed by pointing ImageScanning's entry at it. It records every
// operation (with the container a capability carried) and answers through a
// handler the test sets.
#pragma once

#include <cstring>
#include <functional>
#include <set>
#include <vector>

#include "platform/memory.h"
#include "scanning/image_scanning.h"

namespace lumra::test {

/// One operation the engine sent.
struct FakeCall {
  TW_UINT32 destinationId = 0;
  bool toSource = false;  ///< destination was not null
  TW_UINT32 dg = 0;
  TW_UINT16 dat = 0;
  TW_UINT16 msg = 0;
  TW_UINT16 cap = 0;       ///< DAT_CAPABILITY only
  TW_UINT16 itemType = 0;  ///< DAT_CAPABILITY only
  TW_UINT32 item = 0;      ///< DAT_CAPABILITY only
  TW_HANDLE container = nullptr;
  bool containerLive = false;  ///< the container was a live block during the call
};

/// The stand-in. One per test; install() points the engine at it.
class FakeManager {
 public:
  using Handler = std::function<TW_UINT16(const FakeCall&, TW_MEMREF data)>;

  FakeManager() { current() = this; }
  ~FakeManager() {
    ImageScanning::dsmEntryProc = nullptr;
    std::memset(&ImageScanning::entryPoints, 0, sizeof(ImageScanning::entryPoints));
    std::memset(&ImageScanning::sourceIdentity, 0, sizeof(ImageScanning::sourceIdentity));
    std::memset(&ImageScanning::appIdentity, 0, sizeof(ImageScanning::appIdentity));
    std::memset(&ImageScanning::lastStatus, 0, sizeof(ImageScanning::lastStatus));
    ImageScanning::sourceState = 0;
    current() = nullptr;
  }
  FakeManager(const FakeManager&) = delete;
  FakeManager& operator=(const FakeManager&) = delete;

  /// Makes the engine send to this fake through dsmEntryProc; with
  /// `withMemory` it also hands out counting memory entry points.
  void install(bool withMemory) {
    ImageScanning::dsmEntryProc = &Entry;
    std::memset(&ImageScanning::entryPoints, 0, sizeof(ImageScanning::entryPoints));
    if (withMemory) {
      ImageScanning::entryPoints.Size = sizeof(TW_ENTRYPOINT);
      ImageScanning::entryPoints.DSM_MemAllocate = &MemAllocate;
      ImageScanning::entryPoints.DSM_MemFree = &MemFree;
      ImageScanning::entryPoints.DSM_MemLock = &MemLock;
      ImageScanning::entryPoints.DSM_MemUnlock = &MemUnlock;
    }
    ImageScanning::appIdentity.Id = 1;
    ImageScanning::sourceIdentity.Id = 42;
  }

  /// Answers every operation; the default accepts everything.
  Handler handler = [](const FakeCall&, TW_MEMREF) { return TW_UINT16(TWRC_SUCCESS); };
  /// Condition code the status fetch reports; `statusResult` is its own code.
  TW_UINT16 conditionCode = TWCC_SUCCESS;
  TW_UINT16 statusResult = TWRC_SUCCESS;

  std::vector<FakeCall> calls;      ///< everything but the status fetches
  std::vector<FakeCall> statusCalls;
  int allocations = 0, frees = 0, locks = 0, unlocks = 0;
  bool failAllocation = false;
  std::set<TW_HANDLE> liveBlocks;  ///< blocks of the memory entry points not yet freed
  std::set<TW_HANDLE> liveBitmaps;  ///< bitmaps of newBitmap() not yet freed
  int strayFrees = 0;               ///< frees of blocks that were not live (double frees)

  /// A block for a bitmap the fake source hands over: the manager's memory
  /// (as the published manager allocates it) when the engine has its memory
  /// functions, else a Global block.
  TW_HANDLE newBitmap(size_t size) {
    if (ImageScanning::entryPoints.DSM_MemFree == nullptr) return GlobalAlloc(GHND, size);
    TW_HANDLE block = twainMemAllocate(static_cast<TW_UINT32>(size));
    liveBitmaps.insert(block);
    return block;
  }

  /// Operations matching dat/msg.
  std::vector<FakeCall> sent(TW_UINT16 dat, TW_UINT16 msg) const {
    std::vector<FakeCall> out;
    for (const auto& c : calls) {
      if (c.dat == dat && c.msg == msg) out.push_back(c);
    }
    return out;
  }

 private:
  static FakeManager*& current() {
    static FakeManager* fake = nullptr;
    return fake;
  }

  static TW_UINT16 PASCAL Entry(pTW_IDENTITY, pTW_IDENTITY destination, TW_UINT32 dg,
                                TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
    FakeManager* self = current();
    FakeCall call;
    call.toSource = destination != nullptr;
    call.destinationId = destination != nullptr ? destination->Id : 0;
    call.dg = dg;
    call.dat = dat;
    call.msg = msg;
    if (dat == DAT_STATUS) {
      self->statusCalls.push_back(call);
      if (self->statusResult == TWRC_SUCCESS) {
        static_cast<TW_STATUS*>(data)->ConditionCode = self->conditionCode;
      }
      return self->statusResult;
    }
    if (dat == DAT_CAPABILITY && data != nullptr) {
      auto* capability = static_cast<TW_CAPABILITY*>(data);
      call.cap = capability->Cap;
      TW_HANDLE container = capability->hContainer;  // packed member, read by value
      call.container = container;
      const void* block = nullptr;
      if (ImageScanning::entryPoints.DSM_MemLock != nullptr) {
        call.containerLive = self->liveBlocks.count(container) != 0;
        block = call.containerLive ? container : nullptr;
      } else {
        call.containerLive = GlobalSize(container) >= sizeof(TW_ONEVALUE);
        block = call.containerLive ? GlobalLock(container) : nullptr;
      }
      if (block != nullptr) {
        TW_ONEVALUE value;
        std::memcpy(&value, block, sizeof(value));
        call.itemType = value.ItemType;
        call.item = value.Item;
      }
      if (block != nullptr && ImageScanning::entryPoints.DSM_MemLock == nullptr) {
        GlobalUnlock(container);
      }
    }
    self->calls.push_back(call);
    return self->handler(call, data);
  }

  // Blocks are plain heap memory here, so a Global* call on them would be
  // refused: the tests see which family the engine used.
  static TW_HANDLE PASCAL MemAllocate(TW_UINT32 size) {
    FakeManager* self = current();
    ++self->allocations;
    if (self->failAllocation) return nullptr;
    TW_HANDLE block = ::operator new(size);
    std::memset(block, 0xAB, size);
    self->liveBlocks.insert(block);
    return block;
  }
  static void PASCAL MemFree(TW_HANDLE handle) {
    FakeManager* self = current();
    ++self->frees;
    if (self->liveBlocks.erase(handle) != 0) {
      ::operator delete(handle);
    } else if (self->liveBitmaps.erase(handle) != 0) {
      twainMemFree(handle);
    } else {
      ++self->strayFrees;
    }
  }
  static TW_MEMREF PASCAL MemLock(TW_HANDLE handle) {
    ++current()->locks;
    return handle;
  }
  static void PASCAL MemUnlock(TW_HANDLE) { ++current()->unlocks; }
};

}  // namespace lumra::test
