#include "imageio/host_tables.h"

// No host services yet: plug-ins see null tables, which they must tolerate.
void io_AttachHostTables(FltLoadRequest *request) { request->basic_color = io_BasicColorTable(); }
void io_AttachHostTables(FltSaveRequest *request) { request->basic_color = io_BasicColorTable(); }
