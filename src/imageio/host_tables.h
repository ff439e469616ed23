// The host-service tables that plug-ins reach through their request records.
#pragma once

#include "vgm/vgm_plugin.h"

// Points the table fields of a request record at the host's tables.
void io_AttachHostTables(FltLoadRequest *request);
void io_AttachHostTables(FltSaveRequest *request);

// The colour table.
const pi_BasicColor *io_BasicColorTable();
