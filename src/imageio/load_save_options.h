// The internal options of one load or save, created zero-filled by the
// export that runs the pipeline and owned by it.
#pragma once

#include <cstdint>

#include "vgm/vgm_common.h"

// The load warnings in the order their lines appear in the notice.
enum LoadWarning : int {
  kWarnLayersDropped = 0,       // mask 0x001
  kWarnInvalidLayerTypes,       // 0x002
  kWarnInvalidBlendModes,       // 0x004
  kWarnDataNotTransferred,      // 0x008
  kWarnTransparencyRemoved,     // 0x010
  kWarnThumbnailOnly,           // 0x020
  kWarnTimeout,                 // 0x100, also set by result code -98
  kWarnNonStandardExtension,    // 0x080
  kWarnResized,                 // 0x040
  kWarnExtensionMismatch,       // 0x200
  kWarnExtensionMissing,        // 0x400
  kWarningCount
};

struct LoadSaveOptions {
  // Sizes: the image in the file, and what the caller gets.
  uint32_t sourceWidth;
  uint32_t sourceHeight;
  uint32_t layerCount;
  uint32_t resultWidth;
  uint32_t resultHeight;

  // The document as the reader reports it, read by flattening: kind 0
  // composite, 1 image list, 2 frame animation, 3 object animation; the
  // option byte (sub-kind) marks pages (kind 0) or companion composition (kind 1).
  uint8_t documentKind;
  uint8_t documentSubKind;

  // Flattening choices.
  int32_t wantedWidth;   // the box to fit into
  int32_t wantedHeight;
  uint8_t fitInside;
  uint8_t exactSize;
  uint8_t sheet;
  uint8_t useFrameIndex;
  int32_t frameIndex;
  int32_t frameInterval;  // ms between frames of a sheet; outside 5..200 means 40
  uint8_t frameComposition;

  // The caller.
  uint8_t quiet;          // no owner window: no notices, plug-ins get no window
  uint8_t preview;        // plug-in request flag 0x100
  uint8_t noMarkup;       // plug-in request flag 0x200
  uint8_t extra;          // plug-in request flag 0x400
  uint8_t heapLayers;     // layers in plain memory blocks, which a load can hand to its caller as they are
  HWND ownerWindow;
  uint32_t timeLimitMs;
  const char16_t *optionsText;  // lines of key=value that plug-ins query
  CmioProgressCallback progress;
  uintptr_t progressUser;
  HGLOBAL *markupOut;     // where a load stores the markup block; null = not wanted

  // Save only.
  uint8_t flattenAllowed;
  uint8_t flatImageWanted;   // a plug-in answered -15
  uint8_t imageModeInvalid;  // a plug-in answered -14

  // Outcome.
  uint8_t handled;
  uint8_t outOfMemory;
  uint8_t passwordRequired;
  uint8_t cancelled;
  uint8_t notAnImage;
  uint8_t warnings[kWarningCount];
  uint8_t pluginFlagBit1;
  char16_t message[480];          // the error text of the last failure
  char16_t reportingModule[96];   // file name of the plug-in that read or failed
  char16_t shortText[8];

  // Native documents.
  uint32_t thumbnailCount;          // thumbnails wanted; no export sets it yet
  char16_t formatDescription[96];   // "KV5 v4 rev 11" and the like
  uint8_t passwordProtected;        // a legacy document asked for a password
  uint32_t documentFlags;           // kDoc* bits of the last native read
  uint8_t defaultSettings;          // saves ignore the suite settings (compression level 4); no export sets it
};

// What the native document reader reports besides its messages.
enum : uint32_t {
  kDocFileIsKv5 = 1u << 0,
  kDocError = 1u << 1,
  kDocLayerError = 1u << 2,
  kDocTooManyLayers = 1u << 3,
  kDocThumbnailLoaded = 1u << 4,
  kDocPropertiesApplied = 1u << 5,
  kDocPropertiesOutOfMemory = 1u << 6,
  kDocExtensionMismatch = 1u << 7,
  kDocNoExtension = 1u << 8,
};
