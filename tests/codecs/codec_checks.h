// Checks shared by the codec tests (on top of the recording host).
#pragma once

#include <string>
#include <vector>

#include "codecs/recording_host.h"
#include "support/test_support.h"

namespace vgmtest {

// Every pixel of `layer` within `tolerance` per channel of `expected`
// (row by row, width * height), and nothing written past a row.
void expectPixels(const RecordedLayer &layer, const std::vector<uint32_t> &expected, int tolerance);
// Progress rose to its total without a gap wider than 1/64 of it.
void expectSteadyProgress(const RecordingHost &host);
// The load fails with a negative code and a message, or succeeds with the
// damaged-data warning; either way every layer it began is fully written.
void expectErrorOrDamaged(RecordingHost &host, const std::string &path);
// Loads `bytes` from a temporary file whose name ends with `ext`.
int32_t loadBytes(RecordingHost &host, const std::string &bytes, const std::string &ext);
// The file cut at ten lengths (extension `ext`) loads as expectErrorOrDamaged says.
void expectCutsFailCleanly(RecordingHost &host, const std::string &bytes, const std::string &ext);
// A layer's pixels without the row padding.
std::vector<uint32_t> pixelsOf(const RecordedLayer &layer);
// `pixels` (`width` wide) shrunk by averaging `factor` x `factor` blocks, colour weighted by alpha.
std::vector<uint32_t> averageBlocks(const std::vector<uint32_t> &pixels, uint32_t width, uint32_t factor);
// Peak signal to noise ratio over B, G, R, and with `alpha` T too (where `expected` is invisible, only T counts).
double psnr(const RecordedLayer &layer, const std::vector<uint32_t> &expected, bool alpha = false);
// A sample's size and layer count as an outside reader reports them.
struct Sample {
  const char *file;
  uint32_t width, height;
  size_t layers;
  bool allSameSize = true;  // else only the first layer has the sample's size
};
// Loads `folder/file`: success without warnings, the sample's layer count,
// layers of its size; false when the load or the count differs.
bool loadSample(RecordingHost &host, const std::string &folder, const Sample &sample);
// Loads `path`, expecting success and one layer, and returns it.
RecordedLayer loadOnly(RecordingHost &host, const std::string &path);

}  // namespace vgmtest
