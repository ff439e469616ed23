// Probing plug-ins for the load and save pipelines: the scores of a probe
// reply, the trap probes that catch plug-ins claiming everything, and the
// sorted candidate lists. Every call into a plug-in runs under the fault
// guard on a helper thread that is given kProbeAnswerMs to answer: a plug-in
// that faults or does not answer is blacklisted, logged, left loaded (its
// code may still be running) and leaves a fault record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os.h"
#include "vgm/vgm_plugin.h"

inline constexpr uint32_t kProbeAnswerMs = 2000;
inline constexpr size_t kMaxCandidates = 256;

struct io_Candidate {
  int32_t score;
  uint32_t flags;  // reply byte 127
  std::u16string path;
};

// Score of a load probe's reply: 0 when strength a is 0, else a + b + c plus
// 1000 for each weak flag that is clear; 0 becomes 1.
int32_t io_LoadScore(const FltProbe &probe);
// Score of a save probe's reply: 0 when strength a is 0, else a + b + c (0 becomes 1).
int32_t io_SaveScore(const FltProbe &probe);
// A probe record for an extension (cut to 31 units) and header bytes (up to 32).
void io_FillProbe(FltProbe *probe, std::u16string_view extension, const uint8_t *header, size_t header_size);

enum class io_CallOutcome { answered, faulted, timedOut };
// Calls a probe entry point under the guard with `limit_ms` to answer.
// When answered, `*result` holds its result and `*probe` its reply.
io_CallOutcome io_CallProbeEntry(int32_t(VGM_API *entry)(FltProbe *), FltProbe *probe, int32_t *result,
                                 uint32_t limit_ms, int *signal);

struct io_FaultRecord {
  std::u16string plugin;    // full path
  std::string entryPoint;   // "flt_CheckLoad", ...
  int signal;               // 0 for a timeout
  bool timedOut;
};
// The fault a plug-in left in this process, if any.
bool io_FaultRecordFor(std::u16string_view plugin_path, io_FaultRecord *record);
// Blacklists, logs and records a plug-in that faulted or hung in `entry_point`.
void io_ReportPluginFault(std::u16string_view plugin_path, const char *entry_point, io_CallOutcome outcome, int signal);

// Every installed plug-in that exports flt_LoadImage, scored against the
// file's extension and first bytes, highest first, discovery order among
// equal scores. Plug-ins that claim the load trap are blacklisted and come
// last with score -1.
std::vector<io_Candidate> io_CollectLoadCandidates(std::u16string_view extension, const uint8_t *header,
                                                   size_t header_size);
// Every installed plug-in that exports flt_SaveImage and accepts the
// extension with a score above 0, sorted the same way. Plug-ins that claim a
// save trap are blacklisted and left out.
std::vector<io_Candidate> io_CollectSaveCandidates(std::u16string_view extension);
// A loaded save plug-in's check: with `traps`, it must refuse every save
// trap first. The save score of the real extension, 0 when refused, -1 when
// it claimed a trap or faulted (after a fault the module must stay loaded:
// see io_FaultRecordFor).
int32_t io_CheckSavePlugin(os_Module *module, std::u16string_view plugin_path, std::u16string_view extension,
                           bool traps);
